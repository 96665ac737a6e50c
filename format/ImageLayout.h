#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "ByteSource.h"

namespace qpk {

// Field positions and values of the PE/COFF headers the launcher reads.
namespace pe {
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kDosMagicOffset = 0;
constexpr std::uint16_t kDosMagic = 0x5A4D;  // "MZ"
constexpr std::size_t kLfanewOffset = 60;
constexpr std::int32_t kMinLfanew = 1;
constexpr std::int32_t kMaxLfanew = 4096;

// Signature, file header and the 224-byte PE32 optional header, read as one block.
constexpr std::size_t kNtHeadersSize = 248;
constexpr std::size_t kSignatureOffset = 0;
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kMachineOffset = 4;
constexpr std::size_t kNumberOfSectionsOffset = 6;
constexpr std::size_t kSizeOfOptionalHeaderOffset = 20;
constexpr std::size_t kCharacteristicsOffset = 22;
constexpr std::size_t kOptionalHeaderOffset = 24;
constexpr std::size_t kOptionalMagicOffset = kOptionalHeaderOffset + 0;
constexpr std::uint16_t kPe32Magic = 0x010B;
constexpr std::size_t kCheckSumOffset = kOptionalHeaderOffset + 64;
constexpr std::size_t kNumberOfRvaAndSizesOffset = kOptionalHeaderOffset + 92;
constexpr std::size_t kSecurityEntryOffset = kOptionalHeaderOffset + 96 + 4 * 8;  // data directory 4
constexpr std::size_t kSecurityAddressOffset = kSecurityEntryOffset;
constexpr std::size_t kSecuritySizeOffset = kSecurityEntryOffset + 4;

constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSizeOfRawDataOffset = 16;
constexpr std::size_t kPointerToRawDataOffset = 20;

// What the launcher's 32-bit fields can address: the largest file it accepts
// (below 4 GiB) and the largest payload.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu;
constexpr std::int64_t kMaxPayloadSize = 0x7FFFFFFF;
}  // namespace pe

// The launcher's messages for a malformed own image.
namespace image_messages {
constexpr const char* kMissingMz = "The file is not a valid executable: missing 'MZ' magic";
constexpr const char* kBadLfanew = "The file is not a valid executable: PE header offset is wrong";
constexpr const char* kMissingPe = "The file is not a valid executable: missing 'PE' signature";
constexpr const char* kNotPe32 = "The file is not a valid executable: wrong 32-bit PE magic";
constexpr const char* kNotSigned = "The file does not have a digital signature";
constexpr const char* kBadFileSize = "The file size is infcorrect";
constexpr const char* kNoPayload = "The installer data is missing";
}  // namespace image_messages

// What the headers say, as far as the launcher reads them.
struct PeHeaders {
    std::int32_t lfanew = 0;
    std::uint16_t numberOfSections = 0;
    std::uint32_t certificateOffset = 0;
    std::uint32_t certificateSize = 0;
};

// Where the regions of a validated package lie.
struct ImageLayout {
    std::uint32_t certificateOffset = 0;
    std::uint32_t certificateSize = 0;
    std::uint32_t payloadOffset = 0;
    std::int32_t payloadSize = 0;
};

// File offset of the security data-directory entry for the given e_lfanew.
inline std::uint64_t SecurityEntryPosition(std::int32_t lfanew) {
    return static_cast<std::uint64_t>(lfanew) + pe::kSecurityEntryOffset;
}

// Reads and checks the DOS header and the NT header block (MZ magic, e_lfanew
// range, PE signature, PE32 magic) in that order. Raises PeFormatException with
// the message of the first failing test; a field whose bytes are missing fails
// its own test. Does not look at the security entry's values.
PeHeaders ReadPeHeaders(ByteSource& file);

// Walks the section table behind the NT block and returns the image end: the
// raw-data end of the section placed farthest into the file (the first of equal
// pointers; pointer 0 or beyond fileSize skipped), 0 when none qualifies. The
// sum is 64-bit. Raises "The installer data is missing" when the table is cut
// short by the end of the file.
std::uint64_t FindImageEnd(ByteSource& file, const PeHeaders& headers, std::uint64_t fileSize);

// Validates a package and locates its payload and certificate table, with the
// tests in the launcher's order. fileSize is asked once, after the signature
// test. Raises PeFormatException; whatever fileSize raises passes through.
ImageLayout ReadImageLayout(ByteSource& file, const std::function<std::uint64_t()>& fileSize);

// ReadImageLayout for headers that ReadPeHeaders already read from file: the
// tests from the signature test on. Raises as ReadImageLayout.
ImageLayout LayoutFromHeaders(ByteSource& file, const PeHeaders& headers,
                              const std::function<std::uint64_t()>& fileSize);

}  // namespace qpk
