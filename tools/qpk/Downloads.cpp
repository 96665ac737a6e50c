#include "Downloads.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>

#include "Base64.h"
#include "PackageTrailer.h"
#include "PeFormatException.h"

namespace qpk::serve {

namespace {

constexpr std::size_t kMaxNameLength = 128;
constexpr std::size_t kMaxKeySize = 64 * 1024;
constexpr std::size_t kSignatureDigits = 64;
// Up to 18 digits always fit a signed 64-bit number.
constexpr std::size_t kMaxTimestampDigits = 18;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// SHA-256 over a sequence of byte strings, fed one after the other.
class Sha256 {
public:
    Sha256() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("cannot start a SHA-256 digest");
    }
    void Add(const std::uint8_t* data, std::size_t size) {
        if (EVP_DigestUpdate(context_.get(), data, size) != 1) throw std::runtime_error("SHA-256 failed");
    }
    void Add(const Bytes& bytes) { Add(bytes.data(), bytes.size()); }
    void AddNumber(std::uint64_t value, int bytes) {
        std::uint8_t little[8] = {};
        for (int i = 0; i < bytes; ++i) little[i] = static_cast<std::uint8_t>(value >> (8 * i));
        Add(little, static_cast<std::size_t>(bytes));
    }
    Digest Finish() {
        Digest digest{};
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &size) != 1 || size != digest.size())
            throw std::runtime_error("SHA-256 failed");
        return digest;
    }

private:
    DigestContext context_;
};

Digest DigestOf(const Bytes& bytes) {
    Sha256 sha;
    sha.Add(bytes);
    return sha.Finish();
}

bool IsBase64UrlCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

bool AllOf(std::string_view text, int (*test)(int)) {
    return std::all_of(text.begin(), text.end(), [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
    const char* digits = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A decimal number; saturates at the largest value instead of wrapping.
std::optional<std::uint64_t> Decimal(std::string_view digits) {
    if (digits.empty() || !AllOf(digits, std::isdigit)) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-';
    });
}

Bytes ReadKeyFile(const std::string& path) {
    InputFile file(path);
    if (file.Size() > kMaxKeySize) throw std::runtime_error("the HMAC key file " + path + " is over 64 KiB");
    Bytes key = file.Read(0, static_cast<std::size_t>(file.Size()));
    if (key.size() != file.Size()) throw std::runtime_error("cannot read the HMAC key file " + path);
    if (!key.empty() && key.back() == '\n') key.pop_back();
    if (key.empty()) throw std::runtime_error("the HMAC key file " + path + " is empty");
    return key;
}

ServedPackage LoadPackage(const std::string& name, const std::string& path) {
    ServedPackage served;
    served.name = name;
    served.fileName = name.size() >= 4 && StartsWithNoCase(name.substr(name.size() - 4), ".exe") ? name : name + ".exe";
    served.file = std::make_unique<InputFile>(path);
    InputFile& file = *served.file;
    try {
        served.package = ReadSignedPackage(file, file.Size());
    } catch (const PeFormatException& error) {
        throw std::runtime_error("the package " + path + " is not a signed package: " + error.what());
    }
    if (served.package.Stamped())
        throw std::runtime_error("the package " + path +
                                 " already carries per-download data: serve it as it was signed (qpk strip)");
    const std::uint64_t prefixSize = served.package.SizeFieldOffset() + 4;
    served.prefix = file.Read(0, static_cast<std::size_t>(prefixSize));
    if (served.prefix.size() != prefixSize) throw std::runtime_error("cannot read the package " + path);

    Sha256 sha;
    Bytes buffer(1 << 20);
    for (std::uint64_t offset = 0; offset < file.Size();) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.Size() - offset));
        if (file.ReadAt(offset, buffer.data(), want) != want) throw std::runtime_error("cannot read the package " + path);
        sha.Add(buffer.data(), want);
        offset += want;
    }
    served.digest = sha.Finish();
    return served;
}

ServedBlob LoadBlob(const std::string& path, const char* what) {
    InputFile file(path);
    if (file.Size() > static_cast<std::uint64_t>(trailer::kMaxBlobSize))
        throw std::runtime_error(std::string("the ") + what + " " + path + " is over the launcher's limit of 20 MiB");
    auto bytes = std::make_shared<Bytes>(file.Read(0, static_cast<std::size_t>(file.Size())));
    if (bytes->size() != file.Size()) throw std::runtime_error(std::string("cannot read the ") + what + " " + path);
    ServedBlob blob;
    blob.digest = DigestOf(*bytes);
    blob.bytes = std::move(bytes);
    return blob;
}

DownloadLink ParseLink(std::string_view target) {
    // The absolute form a client sends to a proxy: the authority is dropped.
    for (std::string_view scheme : {"http://", "https://"}) {
        if (!StartsWithNoCase(target, scheme)) continue;
        const std::size_t slash = target.find('/', scheme.size());
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
        break;
    }
    if (target.empty() || target.front() != '/' || target.find('#') != std::string_view::npos)
        throw Refusal(400, "malformed request target");
    const std::size_t question = target.find('?');
    DownloadLink link;
    link.name = std::string(target.substr(1, question == std::string_view::npos ? std::string_view::npos : question - 1));
    std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

    bool seenParams = false, seenTs = false, seenSig = false;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos) throw Refusal(400, "malformed query parameter");
        const std::string_view key = pair.substr(0, equals);
        const std::string value(pair.substr(equals + 1));
        auto once = [](bool& seen) {
            if (seen) throw Refusal(400, "repeated query parameter");
            seen = true;
        };
        if (key == "params") {
            once(seenParams);
            link.params = value;
        } else if (key == "ts") {
            once(seenTs);
            link.ts = value;
        } else if (key == "sig") {
            once(seenSig);
            link.sig = value;
        } else if (key == "picture" || key == "icon") {
            std::optional<std::string>& slot = key == "picture" ? link.picture : link.icon;
            if (slot) throw Refusal(400, "repeated query parameter");
            slot = value;
        } else {
            throw Refusal(400, "unknown query parameter");
        }
    }
    if (!seenParams || !seenTs || !seenSig) throw Refusal(400, "the link needs params, ts and sig");
    if (!std::all_of(link.params.begin(), link.params.end(), IsBase64UrlCharacter) || link.params.size() % 4 == 1)
        throw Refusal(400, "params is not base64url without padding");
    if (link.ts.empty() || link.ts.size() > kMaxTimestampDigits || !AllOf(link.ts, std::isdigit))
        throw Refusal(400, "ts is not a time in Unix seconds");
    if (link.sig.size() != kSignatureDigits || !AllOf(link.sig, std::isxdigit))
        throw Refusal(400, "sig is not a hexadecimal HMAC-SHA256");
    return link;
}

Download PlanDownload(const Catalog& catalog, const DownloadLink& link, std::int64_t now) {
    const auto package = catalog.packages.find(link.name);
    if (package == catalog.packages.end()) throw Refusal(404, "unknown package");
    const ServedBlob* picture = nullptr;
    const ServedBlob* icon = nullptr;
    if (link.picture) {
        const auto found = catalog.pictures.find(*link.picture);
        if (found == catalog.pictures.end()) throw Refusal(404, "unknown picture");
        picture = &found->second;
    }
    if (link.icon) {
        const auto found = catalog.icons.find(*link.icon);
        if (found == catalog.icons.end()) throw Refusal(404, "unknown icon");
        icon = &found->second;
    }

    const std::string signedText = link.params + "." + link.ts;
    std::uint8_t expected[EVP_MAX_MD_SIZE];
    unsigned int expectedSize = 0;
    if (HMAC(EVP_sha256(), catalog.key.data(), static_cast<int>(catalog.key.size()),
             reinterpret_cast<const unsigned char*>(signedText.data()), signedText.size(), expected,
             &expectedSize) == nullptr ||
        expectedSize * 2 != link.sig.size())
        throw std::runtime_error("HMAC-SHA256 failed");
    std::uint8_t given[EVP_MAX_MD_SIZE];
    for (unsigned int i = 0; i < expectedSize; ++i)
        given[i] = static_cast<std::uint8_t>(HexValue(link.sig[2 * i]) << 4 | HexValue(link.sig[2 * i + 1]));
    if (CRYPTO_memcmp(expected, given, expectedSize) != 0) throw Refusal(403, "the signature does not match");
    const auto ts = static_cast<std::int64_t>(*Decimal(link.ts));
    if (ts < now - catalog.maxAge) throw Refusal(403, "the link has expired");
    if (ts > now + kClockSkew) throw Refusal(403, "the link's time lies in the future");

    // Base64url carries 3 bytes in 4 characters.
    if (link.params.size() > (kMaxParamsSize + 2) / 3 * 4) throw Refusal(413, "the parameters are too large");
    std::string standard = link.params;
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    const Bytes params = Base64Decode(standard);
    if (params.size() > kMaxParamsSize) throw Refusal(413, "the parameters are too large");

    // What `qpk stamp --params FILE` stamps: the bytes Base64-encoded without
    // pads, then the picture and icon as they are.
    PerDownloadData data;
    data.version = picture != nullptr || icon != nullptr ? 2 : 1;
    const std::string text = Base64Encode(params);
    data.paramsText.assign(text.begin(), text.end());
    if (picture != nullptr) data.picture = *picture->bytes;
    if (icon != nullptr) data.icon = *icon->bytes;
    const ServedPackage& served = package->second;
    EditPlan plan;
    try {
        plan = PlanStamp(served.package, std::move(data));
    } catch (const PeFormatException&) {
        throw Refusal(413, "the parameters are over the stamping limits");
    }

    Download download;
    download.package = &served;
    download.size = plan.OutputSize();
    MemorySource prefix(served.prefix);
    auto head = std::make_shared<const Bytes>(PlannedHead(prefix, plan));
    const std::uint64_t headSize = head->size();
    download.segments.push_back({std::move(head), 0, headSize});
    download.segments.push_back({nullptr, headSize, plan.keep - headSize});

    Sha256 etag;
    etag.Add(served.digest.data(), served.digest.size());
    etag.AddNumber(plan.sizeFieldValue, 4);
    for (Bytes& piece : plan.tail) {
        // The plan holds its own copies of the picture and the icon; the
        // response sends the shared ones, so that a connection holds only
        // its parameters and trailer however large those blobs are.
        const ServedBlob* shared = nullptr;
        for (const ServedBlob* blob : {picture, icon})
            if (blob != nullptr && shared == nullptr && *blob->bytes == piece) shared = blob;
        etag.AddNumber(piece.size(), 8);
        const Digest digest = shared != nullptr ? shared->digest : DigestOf(piece);
        etag.Add(digest.data(), digest.size());
        if (piece.empty()) continue;
        const std::uint64_t size = piece.size();
        download.segments.push_back(
            {shared != nullptr ? shared->bytes : std::make_shared<const Bytes>(std::move(piece)), 0, size});
    }
    const Digest tag = etag.Finish();
    download.etag = "\"" + Hex(tag.data(), tag.size()) + "\"";
    download.freshFor = std::max<std::int64_t>(0, ts + catalog.maxAge - now);
    return download;
}

std::vector<Segment> Slice(const std::vector<Segment>& segments, std::uint64_t first, std::uint64_t count) {
    std::vector<Segment> slice;
    for (const Segment& segment : segments) {
        if (count == 0) break;
        if (first >= segment.size) {
            first -= segment.size;
            continue;
        }
        const std::uint64_t take = std::min(count, segment.size - first);
        slice.push_back({segment.bytes, segment.offset + first, take});
        count -= take;
        first = 0;
    }
    return slice;
}

std::optional<ByteSpan> ParseRange(std::string_view value, std::uint64_t size) {
    value = Trim(value);
    const std::size_t equals = value.find('=');
    if (equals == std::string_view::npos || !StartsWithNoCase(value, "bytes") || Trim(value.substr(0, equals)).size() != 5)
        return std::nullopt;
    const std::string_view byteRange = Trim(value.substr(equals + 1));
    if (byteRange.find(',') != std::string_view::npos) return std::nullopt;
    const std::size_t dash = byteRange.find('-');
    if (dash == std::string_view::npos) throw Refusal(416, "malformed range");
    const std::string_view from = byteRange.substr(0, dash);
    const std::string_view to = byteRange.substr(dash + 1);
    if (from.empty()) {
        const auto suffix = Decimal(to);
        if (!suffix) throw Refusal(416, "malformed range");
        if (*suffix == 0 || size == 0) throw Refusal(416, "the range lies outside the package");
        const std::uint64_t take = std::min(*suffix, size);
        return ByteSpan{size - take, take};
    }
    const auto first = Decimal(from);
    if (!first) throw Refusal(416, "malformed range");
    std::uint64_t last = size == 0 ? 0 : size - 1;
    if (!to.empty()) {
        const auto given = Decimal(to);
        if (!given || *given < *first) throw Refusal(416, "malformed range");
        last = std::min(last, *given);
    }
    if (*first >= size) throw Refusal(416, "the range lies outside the package");
    return ByteSpan{*first, last - *first + 1};
}

bool EtagListMatches(std::string_view value, std::string_view etag) {
    value = Trim(value);
    if (value == "*") return true;
    while (!value.empty()) {
        if (value.front() == ',' || value.front() == ' ' || value.front() == '\t') {
            value.remove_prefix(1);
            continue;
        }
        if (value.substr(0, 2) == "W/") value.remove_prefix(2);
        if (value.empty() || value.front() != '"') return false;
        const std::size_t close = value.find('"', 1);
        if (close == std::string_view::npos) return false;
        if (value.substr(0, close + 1) == etag) return true;
        value.remove_prefix(close + 1);
    }
    return false;
}

}  // namespace qpk::serve
