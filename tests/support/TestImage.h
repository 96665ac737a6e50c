#pragma once

// Builds the header bytes of PE32 images in test code: a DOS header, the NT
// block and a section table, with every field the launcher reads settable.

#include <cstdint>
#include <vector>

#include "ImageLayout.h"
#include "LittleEndian.h"

namespace qpk {

struct TestSection {
    std::uint32_t pointerToRawData;
    std::uint32_t sizeOfRawData;
};

struct TestImage {
    std::int32_t lfanew = 0x80;
    std::uint16_t optionalMagic = pe::kPe32Magic;
    std::uint32_t certificateOffset = 0;
    std::uint32_t certificateSize = 0;
    std::vector<TestSection> sections;

    // Offset of the first byte behind the section table.
    std::uint64_t HeadersEnd() const {
        return static_cast<std::uint64_t>(lfanew) + pe::kNtHeadersSize + sections.size() * pe::kSectionHeaderSize;
    }

    // The header bytes, up to the end of the section table.
    std::vector<std::uint8_t> Headers() const {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(HeadersEnd()));
        PutU16(bytes, pe::kDosMagicOffset, pe::kDosMagic);
        PutU32(bytes, pe::kLfanewOffset, static_cast<std::uint32_t>(lfanew));
        const std::size_t nt = static_cast<std::size_t>(lfanew);
        PutU32(bytes, nt + pe::kSignatureOffset, pe::kPeSignature);
        PutU16(bytes, nt + pe::kMachineOffset, 0x014C);  // i386
        PutU16(bytes, nt + pe::kNumberOfSectionsOffset, static_cast<std::uint16_t>(sections.size()));
        PutU16(bytes, nt + pe::kSizeOfOptionalHeaderOffset, 224);
        PutU16(bytes, nt + pe::kCharacteristicsOffset, 0x0102);
        PutU16(bytes, nt + pe::kOptionalMagicOffset, optionalMagic);
        PutU32(bytes, nt + pe::kNumberOfRvaAndSizesOffset, 16);  // signing tools need the data directory
        PutU32(bytes, nt + pe::kSecurityAddressOffset, certificateOffset);
        PutU32(bytes, nt + pe::kSecuritySizeOffset, certificateSize);
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const std::size_t header = nt + pe::kNtHeadersSize + i * pe::kSectionHeaderSize;
            PutU32(bytes, header + pe::kSizeOfRawDataOffset, sections[i].sizeOfRawData);
            PutU32(bytes, header + pe::kPointerToRawDataOffset, sections[i].pointerToRawData);
        }
        return bytes;
    }
};

}  // namespace qpk
