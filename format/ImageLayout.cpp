#include "ImageLayout.h"

#include "LittleEndian.h"
#include "PeFormatException.h"

namespace qpk {

PeHeaders ReadPeHeaders(ByteSource& file) {
    const auto dosBytes = file.Read(0, pe::kDosHeaderSize);
    const LittleEndianView dos(dosBytes);

    const auto magic = dos.U16(pe::kDosMagicOffset);
    if (!magic || *magic != pe::kDosMagic) ThrowFormatError(image_messages::kMissingMz);

    const auto lfanew = dos.I32(pe::kLfanewOffset);
    if (!lfanew || *lfanew < pe::kMinLfanew || *lfanew > pe::kMaxLfanew) ThrowFormatError(image_messages::kBadLfanew);

    const auto ntBytes = file.Read(static_cast<std::uint64_t>(*lfanew), pe::kNtHeadersSize);
    const LittleEndianView nt(ntBytes);

    const auto signature = nt.U32(pe::kSignatureOffset);
    if (!signature || *signature != pe::kPeSignature) ThrowFormatError(image_messages::kMissingPe);

    // NumberOfSections lies in front of the magic, so it was read when the magic was.
    const auto optionalMagic = nt.U16(pe::kOptionalMagicOffset);
    if (!optionalMagic || *optionalMagic != pe::kPe32Magic) ThrowFormatError(image_messages::kNotPe32);

    PeHeaders headers;
    headers.lfanew = *lfanew;
    headers.numberOfSections = *nt.U16(pe::kNumberOfSectionsOffset);
    // A block cut short before the security entry reads as an unsigned file.
    headers.certificateOffset = nt.U32(pe::kSecurityAddressOffset).value_or(0);
    headers.certificateSize = nt.U32(pe::kSecuritySizeOffset).value_or(0);
    return headers;
}

std::uint64_t FindImageEnd(ByteSource& file, const PeHeaders& headers, std::uint64_t fileSize) {
    const std::uint64_t tableStart = static_cast<std::uint64_t>(headers.lfanew) + pe::kNtHeadersSize;
    const std::size_t tableSize = std::size_t{headers.numberOfSections} * pe::kSectionHeaderSize;
    const auto tableBytes = file.Read(tableStart, tableSize);
    if (tableBytes.size() != tableSize) ThrowFormatError(image_messages::kNoPayload);
    const LittleEndianView table(tableBytes);

    std::uint32_t bestPointer = 0;
    std::uint32_t bestSize = 0;
    for (std::size_t i = 0; i < headers.numberOfSections; ++i) {
        const std::size_t header = i * pe::kSectionHeaderSize;
        const std::uint32_t pointer = *table.U32(header + pe::kPointerToRawDataOffset);
        if (pointer <= fileSize && pointer > bestPointer) {
            bestPointer = pointer;
            bestSize = *table.U32(header + pe::kSizeOfRawDataOffset);
        }
    }
    return std::uint64_t{bestPointer} + bestSize;
}

ImageLayout ReadImageLayout(ByteSource& file, const std::function<std::uint64_t()>& fileSize) {
    return LayoutFromHeaders(file, ReadPeHeaders(file), fileSize);
}

ImageLayout LayoutFromHeaders(ByteSource& file, const PeHeaders& headers,
                              const std::function<std::uint64_t()>& fileSize) {
    if (headers.certificateOffset == 0 || headers.certificateSize == 0) ThrowFormatError(image_messages::kNotSigned);

    const std::uint64_t size = fileSize();
    const std::uint64_t tableEnd = std::uint64_t{headers.certificateOffset} + headers.certificateSize;
    if (size > pe::kMaxFileSize || tableEnd != size) ThrowFormatError(image_messages::kBadFileSize);

    const std::uint64_t imageEnd = FindImageEnd(file, headers, size);
    const std::int64_t payloadSize = static_cast<std::int64_t>(headers.certificateOffset) -
                                     static_cast<std::int64_t>(imageEnd);
    if (payloadSize < 1 || payloadSize > pe::kMaxPayloadSize) ThrowFormatError(image_messages::kNoPayload);

    ImageLayout layout;
    layout.certificateOffset = headers.certificateOffset;
    layout.certificateSize = headers.certificateSize;
    layout.payloadOffset = static_cast<std::uint32_t>(imageEnd);
    layout.payloadSize = static_cast<std::int32_t>(payloadSize);
    return layout;
}

}  // namespace qpk
