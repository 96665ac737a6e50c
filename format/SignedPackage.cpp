#include "SignedPackage.h"

#include <algorithm>

#include "LittleEndian.h"
#include "PeFormatException.h"

namespace qpk {

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Number(std::uint64_t value) { return std::to_string(value); }

std::string Hex16(std::uint16_t value) {
    const char* digits = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

// True when the count bytes at offset were read and are all zero.
bool ZerosAt(ByteSource& file, std::uint64_t offset, std::size_t count) {
    const Bytes bytes = file.Read(offset, count);
    return bytes.size() == count && std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::optional<PackageTrailer> TryTrailer(ByteSource& file, const CertificateTable& table) {
    try {
        return ReadTrailer(file, table);
    } catch (const PeFormatException&) {
        return std::nullopt;
    }
}

// The file's first bytes, read from the file once and then served from
// memory, so that the reader's checks of the headers and the launcher's read
// the same bytes without a second read. Reads reaching beyond the headers'
// largest extent go to the file.
class HeaderBytes : public ByteSource {
public:
    explicit HeaderBytes(ByteSource& file) : file_(file) {}

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override {
        const std::uint64_t end = offset + count;
        if (end > kLargest) return file_.ReadAt(offset, out, count);
        if (end > bytes_.size() && !complete_) {
            const std::size_t have = bytes_.size();
            bytes_.resize(static_cast<std::size_t>(end));
            const std::size_t got = file_.ReadAt(have, bytes_.data() + have, bytes_.size() - have);
            bytes_.resize(have + got);
            complete_ = bytes_.size() < end;  // the file ends here
        }
        if (offset >= bytes_.size()) return 0;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, bytes_.size() - offset));
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, out);
        return n;
    }

private:
    // e_lfanew at most 4096, the NT block, and 65,535 section headers.
    static constexpr std::uint64_t kLargest = 4096 + pe::kNtHeadersSize + 65535 * pe::kSectionHeaderSize;
    ByteSource& file_;
    Bytes bytes_;
    bool complete_ = false;
};

void CheckBlob(const Bytes& blob, const char* what) {
    if (blob.size() > static_cast<std::size_t>(trailer::kMaxBlobSize))
        ThrowFormatError(std::string(what) + " (" + Number(blob.size()) + " bytes) is over the launcher's limit of 20 MiB");
}

}  // namespace

SignedPackage ReadSignedPackage(ByteSource& file, std::uint64_t fileSize) {
    SignedPackage package;
    package.fileSize = fileSize;
    HeaderBytes headerBytes(file);
    package.headers = ReadPeHeaders(headerBytes);
    package.layout = LayoutFromHeaders(headerBytes, package.headers, [fileSize] { return fileSize; });

    const std::uint64_t offset = package.layout.certificateOffset;
    const std::uint32_t tableSize = package.layout.certificateSize;
    // The security entry and the CheckSum must lie in front of the table, in
    // the bytes that the signature covers and stamping keeps.
    const std::uint64_t sectionTable = static_cast<std::uint64_t>(package.headers.lfanew) + pe::kNtHeadersSize;
    const std::uint64_t headersEnd =
        sectionTable + std::uint64_t{package.headers.numberOfSections} * pe::kSectionHeaderSize;
    if (offset < headersEnd)
        ThrowFormatError("the certificate table starts at " + Number(offset) + ", inside the headers, which end at " +
             Number(headersEnd));
    // The launcher skips sections whose raw data starts beyond the file's end,
    // so a section starting behind the table would take part or not as
    // stamping and stripping change the file's size, and move the image end.
    const Bytes sections = headerBytes.Read(sectionTable, static_cast<std::size_t>(headersEnd - sectionTable));
    const LittleEndianView sectionView(sections);
    for (std::size_t i = 0; i < package.headers.numberOfSections; ++i) {
        const auto pointer = sectionView.U32(i * pe::kSectionHeaderSize + pe::kPointerToRawDataOffset);
        if (!pointer || *pointer > offset)
            ThrowFormatError("section " + Number(i + 1) + "'s raw data starts behind the certificate table, at " +
                 Number(pointer.value_or(0)));
    }

    if (tableSize < wincert::kHeaderSize)
        ThrowFormatError("the certificate table (" + Number(tableSize) + " bytes) is too small for a signature entry");
    const Bytes header = file.Read(offset, wincert::kHeaderSize);
    const LittleEndianView entry(header);
    const auto length = entry.U32(wincert::kLengthOffset);
    const auto revision = entry.U16(wincert::kRevisionOffset);
    const auto type = entry.U16(wincert::kTypeOffset);
    if (!length || !revision || !type) ThrowFormatError("the signature entry cannot be read");
    if (*revision != wincert::kRevision2)
        ThrowFormatError("the signature entry's revision is " + Hex16(*revision) + ", not 0x0200");
    if (*type != wincert::kTypePkcsSignedData)
        ThrowFormatError("the signature entry's type is " + Number(*type) + ", not 2 (PKCS #7 signed data)");
    if (*length < wincert::kHeaderSize || *length > tableSize)
        ThrowFormatError("the signature entry's length (" + Number(*length) + ") does not fit the certificate table (" +
             Number(tableSize) + " bytes)");
    package.signatureLength = *length;

    const std::uint32_t behind = tableSize - *length;
    if (behind < wincert::kAlignment && ZerosAt(file, offset + *length, behind)) {
        package.signedTableSize = tableSize;
        return package;
    }

    const std::optional<PackageTrailer> found = TryTrailer(file, package.Table());
    if (!found)
        ThrowFormatError("the certificate table holds " + Number(behind) +
             " bytes behind the signature entry that are no per-download data");
    // The data begins behind the signature entry and the zeros that align it;
    // at least a version 1 trailer follows.
    const std::int64_t signedSize = found->signatureSize;
    const std::int64_t padding = signedSize - *length;
    if (padding < 0 || padding >= std::int64_t{wincert::kAlignment} ||
        signedSize + static_cast<std::int64_t>(trailer::kVersion1Size) > std::int64_t{tableSize} ||
        !ZerosAt(file, offset + *length, static_cast<std::size_t>(padding)))
        ThrowFormatError("the trailer's signature size (" + std::to_string(signedSize) +
             ") does not match the signature entry (length " + Number(*length) + ")");
    package.signedTableSize = static_cast<std::uint32_t>(signedSize);
    package.trailer = found;
    return package;
}

std::uint64_t EditPlan::OutputSize() const {
    std::uint64_t size = keep;
    for (const Bytes& piece : tail) size += piece.size();
    return size;
}

EditPlan PlanStamp(const SignedPackage& package, PerDownloadData data) {
    if (data.version != 1 && data.version != 2)
        ThrowFormatError("there is no package version " + std::to_string(data.version) + ": only 1 and 2");
    if (data.version == 1 && (!data.picture.empty() || !data.icon.empty()))
        ThrowFormatError("a version 1 package carries no picture and no icon");
    CheckBlob(data.paramsText, "the parameters text");
    CheckBlob(data.picture, "the picture");
    CheckBlob(data.icon, "the icon");
    if (package.signedTableSize > static_cast<std::uint32_t>(pe::kMaxPayloadSize))
        ThrowFormatError("the signature entry (" + Number(package.signedTableSize) + " bytes) is too large for the trailer");

    PackageTrailer fields;
    fields.version = data.version;
    fields.signatureSize = static_cast<std::int32_t>(package.signedTableSize);
    fields.paramsSize = static_cast<std::int32_t>(data.paramsText.size());
    fields.pictureSize = static_cast<std::int32_t>(data.picture.size());
    fields.iconSize = static_cast<std::int32_t>(data.icon.size());
    Bytes encoded = EncodeTrailer(fields);

    const std::uint64_t tableSize = std::uint64_t{package.signedTableSize} + data.icon.size() + data.picture.size() +
                                    data.paramsText.size() + encoded.size();
    if (std::uint64_t{package.layout.certificateOffset} + tableSize > pe::kMaxFileSize)
        ThrowFormatError("the stamped package would not stay below 4 GiB");

    EditPlan plan;
    plan.keep = package.SignedEnd();
    plan.sizeFieldOffset = package.SizeFieldOffset();
    plan.sizeFieldValue = static_cast<std::uint32_t>(tableSize);
    if (data.version == 2) {
        plan.tail.push_back(std::move(data.icon));
        plan.tail.push_back(std::move(data.picture));
    }
    plan.tail.push_back(std::move(data.paramsText));
    plan.tail.push_back(std::move(encoded));
    return plan;
}

EditPlan PlanStrip(const SignedPackage& package) {
    EditPlan plan;
    plan.keep = package.SignedEnd();
    plan.sizeFieldOffset = package.SizeFieldOffset();
    plan.sizeFieldValue = package.signedTableSize;
    return plan;
}

std::vector<std::uint8_t> PlannedHead(ByteSource& file, const EditPlan& plan) {
    const std::uint64_t headSize = plan.sizeFieldOffset + 4;
    if (headSize > plan.keep) ThrowFormatError("the size field lies behind the bytes the edit keeps");
    Bytes head = file.Read(0, static_cast<std::size_t>(headSize));
    if (head.size() != headSize) ThrowFormatError("the file ends before the security entry");
    PutU32(head, static_cast<std::size_t>(plan.sizeFieldOffset), plan.sizeFieldValue);
    return head;
}

std::vector<std::uint8_t> ApplyPlan(const std::vector<std::uint8_t>& file, const EditPlan& plan) {
    if (file.size() < plan.keep) ThrowFormatError("the file ends before the bytes the edit keeps");
    MemorySource source(file);
    Bytes out = PlannedHead(source, plan);
    out.reserve(static_cast<std::size_t>(plan.OutputSize()));
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(out.size()),
               file.begin() + static_cast<std::ptrdiff_t>(plan.keep));
    for (const Bytes& piece : plan.tail) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

BuildPlan PlanBuild(std::uint64_t imageEnd, std::uint64_t payloadSize, bool pad) {
    if (payloadSize == 0) ThrowFormatError("the payload is empty");
    const std::uint64_t end = imageEnd + payloadSize;
    const auto gap = static_cast<std::uint32_t>((wincert::kAlignment - end % wincert::kAlignment) % wincert::kAlignment);
    // The launcher counts the alignment zeros as part of the payload.
    if (payloadSize + gap > static_cast<std::uint64_t>(pe::kMaxPayloadSize))
        ThrowFormatError("the payload (" + Number(payloadSize) + " bytes" +
             (gap != 0 ? ", " + Number(payloadSize + gap) + " with the zeros that align it" : std::string()) +
             ") is over the launcher's limit of " + Number(static_cast<std::uint64_t>(pe::kMaxPayloadSize)) +
             " bytes");
    const std::uint64_t room = kSignatureAllowance + kLargestPerDownloadData;
    if (end + gap > pe::kMaxFileSize || pe::kMaxFileSize - (end + gap) < room)
        ThrowFormatError("the package (" + Number(end + gap) +
             " bytes) would not stay below 4 GiB once signed and stamped: a signature of up to 1 MiB and the "
             "largest per-download data need " +
             Number(room) + " bytes more");
    BuildPlan plan;
    plan.padding = pad ? gap : 0;
    plan.alignmentGap = pad ? 0 : gap;
    return plan;
}

std::vector<ByteRange> AuthenticodeRanges(const SignedPackage& package) {
    const std::uint64_t checkSum = package.CheckSumOffset();
    const std::uint64_t security = SecurityEntryPosition(package.headers.lfanew);
    const std::uint64_t table = package.layout.certificateOffset;
    return {{0, checkSum},
            {checkSum + 4, security - (checkSum + 4)},
            {security + 8, table - (security + 8)}};
}

}  // namespace qpk
