#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ByteSource.h"

namespace qpk {

// The per-download data inside the certificate table: behind the signature
// entry the blobs (version 2: icon, picture, then the parameters text; version
// 1: the text only), and the trailer closing the table. Trailer fields are
// 32-bit little-endian, at fixed places counted back from the table's end.
namespace trailer {
constexpr std::size_t kReadSize = 24;  // always read whole, whatever the version
constexpr std::size_t kIconSizeBack = 24;
constexpr std::size_t kPictureSizeBack = 20;
constexpr std::size_t kParamsSizeBack = 16;
constexpr std::size_t kSignatureSizeBack = 12;
constexpr std::size_t kVersionBack = 8;
constexpr std::size_t kMagicBack = 4;
constexpr std::size_t kVersion1Size = 16;
constexpr std::size_t kVersion2Size = 24;
constexpr std::uint8_t kMagic[4] = {'Q', 'P', 'I', 'C'};
constexpr std::int32_t kMaxBlobSize = 0x1400000;  // 20 MiB, accepted exactly
}  // namespace trailer

namespace trailer_messages {
constexpr const char* kNotPackage = "Not a QPK package";
constexpr const char* kParamsVersion = "Unsupported QPK package version for ReadData";
constexpr const char* kParamsTooBig = "Package data too big";
constexpr const char* kPictureVersion = "Unsupported QPK package version for ExtractPicture";
constexpr const char* kPictureTooBig = "Picture data too big";
constexpr const char* kIconVersion = "Unsupported QPK package version for ExtractIco";
constexpr const char* kIconTooBig = "Ico data too big";
constexpr const char* kCorrupt = "The package data is corrupt";
}  // namespace trailer_messages

struct PackageTrailer {
    std::int32_t iconSize = 0;
    std::int32_t pictureSize = 0;
    std::int32_t paramsSize = 0;
    std::int32_t signatureSize = 0;
    std::int32_t version = 0;
};

// The certificate table: file offset and size (the security entry's values).
struct CertificateTable {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

// A blob's place in the file.
struct Region {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
};

// Reads the last 24 bytes of the table and splits them into the fields.
// Raises PeFormatException "Not a QPK package" when the magic does not match,
// the bytes cannot be read, or the table is too small to hold them.
PackageTrailer ReadTrailer(ByteSource& file, const CertificateTable& table);

// Where the parameters text, the picture and the icon lie. Each tests, in this
// order, the version, the size (above 20 MiB or negative) and that the region
// lies inside the table (an empty one always does), and raises
// PeFormatException with the operation's message ("The package data is
// corrupt" for a region outside the table). A blob placed behind another whose
// size is over the limit is empty: that size is reported by its own operation.
Region ParamsRegion(const PackageTrailer& trailer, const CertificateTable& table);
Region PictureRegion(const PackageTrailer& trailer, const CertificateTable& table);
Region IconRegion(const PackageTrailer& trailer, const CertificateTable& table);

// Reads a region; bytes a short read does not deliver stay zero.
std::vector<std::uint8_t> ReadRegion(ByteSource& file, const Region& region);

// The parameters: trailer, then the text up to its first zero byte, decoded.
// version receives the trailer's version as soon as the magic matched, also
// when the version is then refused. Raises as ReadTrailer and ParamsRegion.
std::vector<std::uint8_t> ReadParams(ByteSource& file, const CertificateTable& table, std::int32_t& version);

// The trailer's bytes as a package writer places them: 16 for version 1
// (iconSize and pictureSize are not written), 24 for any other version.
std::vector<std::uint8_t> EncodeTrailer(const PackageTrailer& trailer);

}  // namespace qpk
