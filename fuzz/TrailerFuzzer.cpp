// The trailer and blob readers over arbitrary certificate tables. The input is
// the file; the table is taken in four ways: the whole input, the input behind
// a prefix of input[0] bytes, {offset, size} from the first 8 bytes (anywhere,
// also beyond the end of the data), and the security entry when the input has
// valid PE headers. Only PeFormatException may come out; every region handed
// out must lie inside the table, and the readers must agree with each other.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Base64.h"
#include "FuzzCheck.h"
#include "ImageLayout.h"
#include "PackageTrailer.h"
#include "PeFormatException.h"

using namespace qpk;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Regions reaching farther than this beyond the data are not read back here:
// they read as zeros, and touching up to 20 MiB per input would only slow the
// fuzzer down. (ReadParams still reads its own region whatever its place.)
constexpr std::uint64_t kReadBackSlack = 4096;

std::uint32_t U32At(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void CheckRegion(const Region& region, const CertificateTable& table) {
    FUZZ_CHECK(region.size <= static_cast<std::uint32_t>(trailer::kMaxBlobSize));
    FUZZ_CHECK(region.offset >= table.offset);
    FUZZ_CHECK(region.offset + region.size <= std::uint64_t{table.offset} + table.size);
}

// ReadRegion delivers the region's bytes, zero where the data ends.
void CheckReadBack(ByteSource& file, const Bytes& bytes, const Region& region) {
    if (region.offset + region.size > bytes.size() + kReadBackSlack) return;
    const Bytes read = ReadRegion(file, region);
    FUZZ_CHECK(read.size() == region.size);
    for (std::size_t i = 0; i < read.size(); ++i) {
        const std::uint64_t at = region.offset + i;
        FUZZ_CHECK(read[i] == (at < bytes.size() ? bytes[static_cast<std::size_t>(at)] : 0));
    }
}

template <typename Locate>
std::optional<Region> TryRegion(Locate locate, const PackageTrailer& fields, const CertificateTable& table) {
    try {
        return locate(fields, table);
    } catch (const PeFormatException&) {
        return std::nullopt;
    }
}

void Exercise(const Bytes& bytes, const CertificateTable& table) {
    MemorySource file(bytes);

    std::optional<PackageTrailer> fields;
    try {
        fields = ReadTrailer(file, table);
    } catch (const PeFormatException&) {
    }

    constexpr std::int32_t kUntouched = 0x5A5A5A5A;
    std::int32_t version = kUntouched;
    std::optional<Bytes> params;
    try {
        params = ReadParams(file, table, version);
    } catch (const PeFormatException&) {
    }

    if (!fields) {
        FUZZ_CHECK(!params);
        FUZZ_CHECK(version == kUntouched);
        return;
    }

    // A trailer is read only from a table holding it whole, inside the data,
    // closed by the magic.
    const std::uint64_t end = std::uint64_t{table.offset} + table.size;
    FUZZ_CHECK(table.size >= trailer::kReadSize);
    FUZZ_CHECK(end <= bytes.size());
    FUZZ_CHECK(std::memcmp(bytes.data() + end - trailer::kMagicBack, trailer::kMagic, 4) == 0);
    FUZZ_CHECK(fields->version == static_cast<std::int32_t>(U32At(bytes.data() + end - trailer::kVersionBack)));
    FUZZ_CHECK(version == fields->version);

    const auto paramsRegion = TryRegion(ParamsRegion, *fields, table);
    const auto pictureRegion = TryRegion(PictureRegion, *fields, table);
    const auto iconRegion = TryRegion(IconRegion, *fields, table);
    FUZZ_CHECK(!paramsRegion || fields->version == 1 || fields->version == 2);
    FUZZ_CHECK(!pictureRegion || fields->version == 2);
    FUZZ_CHECK(!iconRegion || fields->version == 2);

    // A blob placed behind one whose size is over the limit reads as empty.
    const auto withinLimit = [](std::int32_t size) { return size >= 0 && size <= trailer::kMaxBlobSize; };
    const bool paramsPlaced = fields->version != 2 || (withinLimit(fields->iconSize) && withinLimit(fields->pictureSize));

    // ReadParams is ReadTrailer, ParamsRegion and a decode of the text.
    FUZZ_CHECK(params.has_value() == paramsRegion.has_value());
    if (paramsRegion) {
        CheckRegion(*paramsRegion, table);
        FUZZ_CHECK(paramsRegion->size == (paramsPlaced ? static_cast<std::uint32_t>(fields->paramsSize) : 0u));
        CheckReadBack(file, bytes, *paramsRegion);
        FUZZ_CHECK(params->size() <= std::uint64_t{paramsRegion->size} * 3 / 4 + 2);
        if (paramsRegion->offset + paramsRegion->size <= bytes.size()) {
            const auto text = bytes.begin() + static_cast<std::ptrdiff_t>(paramsRegion->offset);
            const auto textEnd = std::find(text, text + paramsRegion->size, std::uint8_t{0});
            FUZZ_CHECK(*params == Base64Decode(std::string(text, textEnd)));
        }
    }
    if (pictureRegion) {
        CheckRegion(*pictureRegion, table);
        FUZZ_CHECK(pictureRegion->size ==
                   (withinLimit(fields->iconSize) ? static_cast<std::uint32_t>(fields->pictureSize) : 0u));
        CheckReadBack(file, bytes, *pictureRegion);
    }
    if (iconRegion) {
        CheckRegion(*iconRegion, table);
        FUZZ_CHECK(iconRegion->size == static_cast<std::uint32_t>(fields->iconSize));
        CheckReadBack(file, bytes, *iconRegion);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    const Bytes bytes(data, data + size);
    const auto total = static_cast<std::uint32_t>(size);

    Exercise(bytes, {0, total});
    if (size > 0 && data[0] < size) Exercise(bytes, {data[0], total - data[0]});
    if (size >= 8) Exercise(bytes, {U32At(data), U32At(data + 4)});

    MemorySource file(bytes);
    try {
        const PeHeaders headers = ReadPeHeaders(file);
        Exercise(bytes, {headers.certificateOffset, headers.certificateSize});
    } catch (const PeFormatException&) {
    }
    return 0;
}
