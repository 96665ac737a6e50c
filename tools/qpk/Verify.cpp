#include "Verify.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>

#include "LittleEndian.h"
#include "PackageTrailer.h"
#include "PeChecksum.h"
#include "PeFormatException.h"
#include "SignedPackage.h"

namespace qpk {

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* object) const { Free(object); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Freer<T, Free>>;

using Pkcs7 = Owned<PKCS7, PKCS7_free>;
using Bio = Owned<BIO, BIO_free_all>;
using Store = Owned<X509_STORE, X509_STORE_free>;
using StoreContext = Owned<X509_STORE_CTX, X509_STORE_CTX_free>;
using Object = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
using DigestInfo = Owned<X509_SIG, X509_SIG_free>;
using DigestContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;

struct TypeStackFree {
    void operator()(STACK_OF(ASN1_TYPE) * stack) const { sk_ASN1_TYPE_pop_free(stack, ASN1_TYPE_free); }
};
using TypeStack = std::unique_ptr<STACK_OF(ASN1_TYPE), TypeStackFree>;

// The signers' list; the certificates in it belong to the PKCS #7 structure.
struct SignerStackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using SignerStack = std::unique_ptr<STACK_OF(X509), SignerStackFree>;

// A check that does not hold, with what was found.
struct CheckFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";  // SPC_INDIRECT_DATA_OBJID
constexpr const char* kPeImageDataOid = "1.3.6.1.4.1.311.2.1.15";  // SPC_PE_IMAGE_DATAOBJ
constexpr std::size_t kPiece = 1 << 20;
// ASN1_get_object's result has this bit set when the header cannot be parsed.
constexpr int kAsn1HeaderError = 0x80;
// Signature entries are a few KiB; a larger one is not read into memory.
constexpr std::uint32_t kMaxSignatureEntry = 16u << 20;

// OpenSSL's queued errors, oldest first, on one line; empties the queue.
std::string OpenSslErrors() {
    std::string text;
    for (unsigned long error; (error = ERR_get_error()) != 0;) {
        char line[256];
        ERR_error_string_n(error, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text.empty() ? "no details" : text;
}

bool IsOid(const ASN1_OBJECT* object, const char* oid) {
    const Object expected(OBJ_txt2obj(oid, 1));
    return expected && object != nullptr && OBJ_cmp(object, expected.get()) == 0;
}

// The elements of a DER SEQUENCE, parsed by OpenSSL. Raises CheckFailed.
TypeStack SequenceElements(const ASN1_STRING* sequence, const char* what) {
    const unsigned char* cursor = ASN1_STRING_get0_data(sequence);
    TypeStack elements(d2i_ASN1_SEQUENCE_ANY(nullptr, &cursor, ASN1_STRING_length(sequence)));
    if (!elements) throw CheckFailed(std::string(what) + " cannot be parsed: " + OpenSslErrors());
    return elements;
}

// What an Authenticode signature signs: the digest of the image, and the
// SpcIndirectDataContent octets that the signature's messageDigest covers.
struct SignedDigest {
    const EVP_MD* digestType = nullptr;
    std::string algorithm;
    Bytes digest;
    Bytes content;
};

// Reads the SpcIndirectDataContent of a signature. Raises CheckFailed.
SignedDigest ReadSignedDigest(PKCS7* signature) {
    if (PKCS7_type_is_signed(signature) == 0) throw CheckFailed("the signature is not PKCS #7 signed data");
    const PKCS7* contents = signature->d.sign->contents;
    if (contents == nullptr || !IsOid(contents->type, kIndirectDataOid) || contents->d.other == nullptr ||
        contents->d.other->type != V_ASN1_SEQUENCE)
        throw CheckFailed("the signature holds no Authenticode digest (SpcIndirectDataContent)");
    const ASN1_STRING* der = contents->d.other->value.sequence;

    SignedDigest result;
    // The signature's messageDigest covers the SEQUENCE's content, not its tag and length.
    const unsigned char* content = ASN1_STRING_get0_data(der);
    long contentLength = 0;
    int tag = 0, tagClass = 0;
    const int header = ASN1_get_object(&content, &contentLength, &tag, &tagClass, ASN1_STRING_length(der));
    if ((header & kAsn1HeaderError) != 0 || tag != V_ASN1_SEQUENCE)
        throw CheckFailed("the Authenticode digest cannot be parsed: " + OpenSslErrors());
    result.content.assign(content, content + contentLength);

    const TypeStack fields = SequenceElements(der, "the Authenticode digest");
    if (sk_ASN1_TYPE_num(fields.get()) < 2) throw CheckFailed("the Authenticode digest has too few fields");
    const ASN1_TYPE* data = sk_ASN1_TYPE_value(fields.get(), 0);
    const ASN1_TYPE* digestInfo = sk_ASN1_TYPE_value(fields.get(), 1);
    if (data->type != V_ASN1_SEQUENCE || digestInfo->type != V_ASN1_SEQUENCE)
        throw CheckFailed("the Authenticode digest has fields of the wrong type");

    const TypeStack attribute = SequenceElements(data->value.sequence, "the signed data's type");
    const ASN1_TYPE* type = sk_ASN1_TYPE_num(attribute.get()) > 0 ? sk_ASN1_TYPE_value(attribute.get(), 0) : nullptr;
    if (type == nullptr || type->type != V_ASN1_OBJECT || !IsOid(type->value.object, kPeImageDataOid))
        throw CheckFailed("the signed digest is not one of a PE image");

    const unsigned char* cursor = ASN1_STRING_get0_data(digestInfo->value.sequence);
    const DigestInfo info(d2i_X509_SIG(nullptr, &cursor, ASN1_STRING_length(digestInfo->value.sequence)));
    if (!info) throw CheckFailed("the signed digest cannot be parsed: " + OpenSslErrors());
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(info.get(), &algorithm, &digest);
    const ASN1_OBJECT* algorithmId = nullptr;
    X509_ALGOR_get0(&algorithmId, nullptr, nullptr, algorithm);
    result.digestType = EVP_get_digestbyobj(algorithmId);
    if (result.digestType == nullptr) throw CheckFailed("the signed digest's algorithm is not known");
    result.algorithm = OBJ_nid2ln(EVP_MD_get_type(result.digestType));
    const unsigned char* digestBytes = ASN1_STRING_get0_data(digest);
    result.digest.assign(digestBytes, digestBytes + ASN1_STRING_length(digest));
    return result;
}

struct Sums {
    Bytes digest;                  // empty when no digest type was given
    std::uint32_t checkSum = 0;    // of the package as signed
    std::uint32_t storedCheckSum = 0;
};

// One pass over the package as it was signed (the strip plan's output): the
// Authenticode digest of its hashed ranges and its PE CheckSum.
Sums SumUp(InputFile& file, const SignedPackage& package, const EVP_MD* digestType) {
    const EditPlan signedForm = PlanStrip(package);
    const Bytes head = PlannedHead(file, signedForm);
    Sums sums;
    sums.storedCheckSum = LittleEndianView(head).U32(static_cast<std::size_t>(package.CheckSumOffset())).value_or(0);

    PeChecksum checkSum(package.CheckSumOffset());
    const std::vector<ByteRange> ranges = AuthenticodeRanges(package);
    DigestContext context(EVP_MD_CTX_new());
    if (!context) throw std::runtime_error("out of memory: " + OpenSslErrors());
    if (digestType != nullptr && EVP_DigestInit_ex(context.get(), digestType, nullptr) != 1)
        throw std::runtime_error("cannot start the digest: " + OpenSslErrors());

    auto feed = [&](std::uint64_t at, const std::uint8_t* data, std::size_t size) {
        checkSum.Add(data, size);
        if (digestType == nullptr) return;
        for (const ByteRange& range : ranges) {
            const std::uint64_t from = std::max(at, range.offset);
            const std::uint64_t to = std::min(at + size, range.offset + range.size);
            if (from < to) EVP_DigestUpdate(context.get(), data + (from - at), static_cast<std::size_t>(to - from));
        }
    };
    feed(0, head.data(), head.size());
    Bytes buffer(kPiece);
    for (std::uint64_t at = head.size(); at < signedForm.keep;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, signedForm.keep - at));
        if (file.ReadAt(at, buffer.data(), want) != want) throw std::runtime_error("the input ended early");
        feed(at, buffer.data(), want);
        at += want;
    }
    sums.checkSum = checkSum.Value();
    if (digestType != nullptr) {
        sums.digest.resize(static_cast<std::size_t>(EVP_MD_get_size(digestType)));
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context.get(), sums.digest.data(), &length) != 1)
            throw std::runtime_error("cannot finish the digest: " + OpenSslErrors());
        sums.digest.resize(length);
    }
    return sums;
}

std::string Hex32(std::uint32_t value) {
    const char* digits = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

std::string Subject(X509* certificate) {
    const Bio memory(BIO_new(BIO_s_mem()));
    if (!memory ||
        X509_NAME_print_ex(memory.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return "(unreadable subject)";
    char* text = nullptr;
    const long length = BIO_get_mem_data(memory.get(), &text);
    return std::string(text, static_cast<std::size_t>(length));
}

Store TrustStore(const std::string& caFile) {
    Store store(X509_STORE_new());
    if (!store) throw std::runtime_error("out of memory: " + OpenSslErrors());
    if (caFile.empty()) {
        if (X509_STORE_set_default_paths(store.get()) != 1)
            throw std::runtime_error("cannot load the system's certificate store: " + OpenSslErrors());
    } else if (X509_STORE_load_file(store.get(), caFile.c_str()) != 1) {
        throw std::runtime_error("cannot load the certificates in " + caFile + ": " + OpenSslErrors());
    }
    return store;
}

// The launcher's verdict on stamped data, as a description. Raises
// PeFormatException with the launcher's message.
std::string StampedData(InputFile& file, const SignedPackage& package) {
    if (!package.Stamped()) return "signed, without per-download data";
    std::int32_t version = 0;
    const Bytes params = ReadParams(file, package.Table(), version);
    std::string detail = "signed and stamped, version " + std::to_string(version) + ": " +
                         std::to_string(package.trailer->paramsSize) + " bytes of parameters text";
    if (version == 2) {
        const Region picture = PictureRegion(*package.trailer, package.Table());
        const Region icon = IconRegion(*package.trailer, package.Table());
        detail += ", a " + std::to_string(picture.size) + "-byte picture, a " + std::to_string(icon.size) + "-byte icon";
    }
    return detail;
}

}  // namespace

bool VerifyReport::Passed() const {
    return !checks.empty() && std::all_of(checks.begin(), checks.end(), [](const VerifyCheck& c) { return c.passed; });
}

VerifyReport VerifyPackage(InputFile& file, const std::string& caFile) {
    const Store store = TrustStore(caFile);
    VerifyReport report;
    auto add = [&](const char* name, bool passed, const std::string& detail) {
        report.checks.push_back({name, passed, detail});
    };
    auto notMade = [&](std::initializer_list<const char*> names, const std::string& because) {
        for (const char* name : names) add(name, false, "not checked: " + because);
    };

    SignedPackage package;
    try {
        package = ReadSignedPackage(file, file.Size());
    } catch (const PeFormatException& error) {
        add("layout", false, error.what());
        notMade({"image hash", "signature", "chain", "checksum"}, "the layout is not sound");
        return report;
    }
    try {
        add("layout", true, StampedData(file, package));
    } catch (const PeFormatException& error) {
        add("layout", false, std::string("the launcher refuses the per-download data: ") + error.what());
    }

    Pkcs7 signature;
    std::optional<SignedDigest> signedDigest;
    std::string digestFault;
    if (package.signatureLength > kMaxSignatureEntry) {
        digestFault = "the signature entry (" + std::to_string(package.signatureLength) + " bytes) is over 16 MiB";
    } else {
        const Bytes der = file.Read(std::uint64_t{package.layout.certificateOffset} + wincert::kHeaderSize,
                                    package.signatureLength - wincert::kHeaderSize);
        const unsigned char* cursor = der.data();
        signature.reset(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
        if (!signature) {
            digestFault = "the signature entry holds no PKCS #7 structure: " + OpenSslErrors();
        } else {
            try {
                signedDigest = ReadSignedDigest(signature.get());
            } catch (const CheckFailed& error) {
                digestFault = error.what();
            }
        }
    }

    const Sums sums = SumUp(file, package, signedDigest ? signedDigest->digestType : nullptr);
    if (!signedDigest) {
        add("image hash", false, digestFault);
    } else if (sums.digest == signedDigest->digest) {
        add("image hash", true, signedDigest->algorithm + " of the image and the payload matches the signed digest");
    } else {
        add("image hash", false,
            signedDigest->algorithm + " of the image and the payload differs from the signed digest: the signed "
                                      "bytes have changed");
    }

    if (!signedDigest) {
        notMade({"signature", "chain"}, "no signed digest");
    } else {
        const SignerStack signers(PKCS7_get0_signers(signature.get(), nullptr, 0));
        X509* signer = signers && sk_X509_num(signers.get()) > 0 ? sk_X509_value(signers.get(), 0) : nullptr;
        if (signer != nullptr) report.signer = Subject(signer);
        ERR_clear_error();

        const Bio content(BIO_new_mem_buf(signedDigest->content.data(), static_cast<int>(signedDigest->content.size())));
        if (content && PKCS7_verify(signature.get(), nullptr, nullptr, content.get(), nullptr,
                                    PKCS7_NOVERIFY | PKCS7_BINARY) == 1)
            add("signature", true, "the PKCS #7 signature over the digest is valid");
        else
            add("signature", false, "the PKCS #7 signature does not verify: " + OpenSslErrors());

        if (signer == nullptr) {
            add("chain", false, "the signer's certificate is not in the signature");
        } else {
            const StoreContext context(X509_STORE_CTX_new());
            if (!context || X509_STORE_CTX_init(context.get(), store.get(), signer, signature->d.sign->cert) != 1)
                throw std::runtime_error("cannot check the chain: " + OpenSslErrors());
            X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY);
            const std::string source = caFile.empty() ? "the system's store" : caFile;
            if (X509_verify_cert(context.get()) != 1) {
                add("chain", false,
                    std::string("not trusted through ") + source + ": " +
                        X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
            } else if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) != 0 &&
                       (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) == 0) {
                add("chain", false, "the signer's certificate is not for code signing");
            } else {
                add("chain", true, "trusted through " + source);
            }
            ERR_clear_error();
        }
    }

    if (sums.storedCheckSum == 0)
        add("checksum", true, "not set");
    else if (sums.storedCheckSum == sums.checkSum)
        add("checksum", true, Hex32(sums.checkSum) + ", that of the package as signed");
    else
        add("checksum", false,
            Hex32(sums.storedCheckSum) + " differs from " + Hex32(sums.checkSum) + ", that of the package as signed");
    return report;
}

}  // namespace qpk
