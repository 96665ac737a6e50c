#include "PackageTrailer.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "Base64.h"
#include "LittleEndian.h"
#include "PeFormatException.h"

namespace qpk {

namespace {

using namespace trailer_messages;

bool WithinLimit(std::int32_t size) { return size >= 0 && size <= trailer::kMaxBlobSize; }

void CheckSize(std::int32_t size, const char* message) {
    if (!WithinLimit(size)) ThrowFormatError(message);
}

// A region at offset start (relative to the table) must lie inside the table.
// An empty one reads nothing, so its place does not matter.
Region Inside(const CertificateTable& table, std::int64_t start, std::int32_t size) {
    if (size == 0) return {table.offset, 0};
    if (start < 0 || start + size > static_cast<std::int64_t>(table.size)) ThrowFormatError(kCorrupt);
    return {table.offset + static_cast<std::uint64_t>(start), static_cast<std::uint32_t>(size)};
}

// A blob behind one whose size is over the limit has no place: that size is
// its own operation's failure, with its own message, and this blob reads as
// empty (as the bytes past the end of the file would).
Region Unplaced(const CertificateTable& table) { return {table.offset, 0}; }

}  // namespace

PackageTrailer ReadTrailer(ByteSource& file, const CertificateTable& table) {
    if (table.size < trailer::kReadSize) ThrowFormatError(kNotPackage);
    const std::uint64_t end = std::uint64_t{table.offset} + table.size;
    const std::vector<std::uint8_t> bytes = file.Read(end - trailer::kReadSize, trailer::kReadSize);
    if (bytes.size() != trailer::kReadSize ||
        !std::equal(std::begin(trailer::kMagic), std::end(trailer::kMagic), bytes.end() - trailer::kMagicBack))
        ThrowFormatError(kNotPackage);
    const LittleEndianView view(bytes);
    PackageTrailer trailer;
    trailer.iconSize = *view.I32(trailer::kReadSize - trailer::kIconSizeBack);
    trailer.pictureSize = *view.I32(trailer::kReadSize - trailer::kPictureSizeBack);
    trailer.paramsSize = *view.I32(trailer::kReadSize - trailer::kParamsSizeBack);
    trailer.signatureSize = *view.I32(trailer::kReadSize - trailer::kSignatureSizeBack);
    trailer.version = *view.I32(trailer::kReadSize - trailer::kVersionBack);
    return trailer;
}

Region ParamsRegion(const PackageTrailer& trailer, const CertificateTable& table) {
    if (trailer.version != 1 && trailer.version != 2) ThrowFormatError(kParamsVersion);
    CheckSize(trailer.paramsSize, kParamsTooBig);
    std::int64_t start = trailer.signatureSize;
    if (trailer.version == 2) {
        if (!WithinLimit(trailer.iconSize) || !WithinLimit(trailer.pictureSize)) return Unplaced(table);
        start += std::int64_t{trailer.iconSize} + trailer.pictureSize;
    }
    return Inside(table, start, trailer.paramsSize);
}

Region PictureRegion(const PackageTrailer& trailer, const CertificateTable& table) {
    if (trailer.version != 2) ThrowFormatError(kPictureVersion);
    CheckSize(trailer.pictureSize, kPictureTooBig);
    if (!WithinLimit(trailer.iconSize)) return Unplaced(table);
    return Inside(table, std::int64_t{trailer.signatureSize} + trailer.iconSize, trailer.pictureSize);
}

Region IconRegion(const PackageTrailer& trailer, const CertificateTable& table) {
    if (trailer.version != 2) ThrowFormatError(kIconVersion);
    CheckSize(trailer.iconSize, kIconTooBig);
    return Inside(table, trailer.signatureSize, trailer.iconSize);
}

std::vector<std::uint8_t> ReadRegion(ByteSource& file, const Region& region) {
    std::vector<std::uint8_t> bytes(region.size);
    file.ReadAt(region.offset, bytes.data(), bytes.size());
    return bytes;
}

std::vector<std::uint8_t> ReadParams(ByteSource& file, const CertificateTable& table, std::int32_t& version) {
    const PackageTrailer trailer = ReadTrailer(file, table);
    version = trailer.version;
    const std::vector<std::uint8_t> bytes = ReadRegion(file, ParamsRegion(trailer, table));
    const auto zero = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    // Decoded in place: up to 20 MiB of text is not copied once more.
    return Base64Decode(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<std::size_t>(zero - bytes.begin())));
}

std::vector<std::uint8_t> EncodeTrailer(const PackageTrailer& trailer) {
    std::vector<std::uint8_t> bytes(trailer::kReadSize);
    PutU32(bytes, trailer::kReadSize - trailer::kIconSizeBack, static_cast<std::uint32_t>(trailer.iconSize));
    PutU32(bytes, trailer::kReadSize - trailer::kPictureSizeBack, static_cast<std::uint32_t>(trailer.pictureSize));
    PutU32(bytes, trailer::kReadSize - trailer::kParamsSizeBack, static_cast<std::uint32_t>(trailer.paramsSize));
    PutU32(bytes, trailer::kReadSize - trailer::kSignatureSizeBack, static_cast<std::uint32_t>(trailer.signatureSize));
    PutU32(bytes, trailer::kReadSize - trailer::kVersionBack, static_cast<std::uint32_t>(trailer.version));
    std::copy(std::begin(trailer::kMagic), std::end(trailer::kMagic), bytes.end() - trailer::kMagicBack);
    if (trailer.version == 1) bytes.erase(bytes.begin(), bytes.begin() + (trailer::kReadSize - trailer::kVersion1Size));
    return bytes;
}

}  // namespace qpk
