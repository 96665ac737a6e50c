// Seed inputs for the fuzzers:
//   fuzz_seedgen synth DIR        minimal packages, tables and texts written from scratch
//   fuzz_seedgen compact IN OUT   a real package shrunk: its headers, sections scaled
//                                 down, a short payload, its certificate table whole
//   fuzz_seedgen table IN OUT     the certificate table of a package
//   fuzz_seedgen params IN OUT    the parameters text of a stamped package
//   fuzz_seedgen stamp IN OUT     a stamp fuzzer input: control bytes, then the package
// Plain tool code, not fuzzed. It finds fields and regions with the format
// code's own readers and writes packages with its stamp plan.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "ByteSource.h"
#include "ImageLayout.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"
#include "SignedPackage.h"

using namespace qpk;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::uint32_t Field(const LittleEndianView& view, std::size_t at) {
    const auto value = view.U32(at);
    if (!value) throw std::runtime_error("field beyond the end of the file");
    return *value;
}

// The certificate table's place, from the security entry.
CertificateTable TableOf(const Bytes& file) {
    MemorySource source(file);
    const PeHeaders headers = ReadPeHeaders(source);
    const CertificateTable table{headers.certificateOffset, headers.certificateSize};
    if (table.size == 0 || std::uint64_t{table.offset} + table.size > file.size())
        throw std::runtime_error("no certificate table inside the file");
    return table;
}

// A package shrunk to a few KiB: the real headers, each section's pointer and
// size scaled down (order kept), the first bytes of the payload, and the real
// certificate table with its trailer, the security entry pointing at it.
Bytes Compact(const Bytes& file) {
    constexpr std::uint32_t kScale = 64;
    constexpr std::uint32_t kPayloadKept = 512;
    MemorySource source(file);
    const PeHeaders headers = ReadPeHeaders(source);
    const LittleEndianView view(file);
    const std::size_t sectionTable = static_cast<std::size_t>(headers.lfanew) + pe::kNtHeadersSize;
    const std::size_t headersEnd = sectionTable + std::size_t{headers.numberOfSections} * pe::kSectionHeaderSize;
    if (headersEnd > file.size()) throw std::runtime_error("section table beyond the end of the file");
    auto header = [&](std::size_t i) { return sectionTable + i * pe::kSectionHeaderSize; };

    const std::uint32_t base = static_cast<std::uint32_t>((headersEnd + 0x1FF) & ~std::size_t{0x1FF});
    std::uint32_t lowest = UINT32_MAX;
    for (std::size_t i = 0; i < headers.numberOfSections; ++i) {
        const std::uint32_t pointer = Field(view, header(i) + pe::kPointerToRawDataOffset);
        if (pointer != 0) lowest = std::min(lowest, pointer);
    }

    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(headersEnd));
    out.resize(base);
    std::uint32_t imageEnd = base;
    std::uint32_t farthest = 0, realImageEnd = 0;
    for (std::size_t i = 0; i < headers.numberOfSections; ++i) {
        const std::uint32_t pointer = Field(view, header(i) + pe::kPointerToRawDataOffset);
        const std::uint32_t size = Field(view, header(i) + pe::kSizeOfRawDataOffset);
        if (pointer == 0) continue;
        const std::uint32_t newPointer = base + (pointer - lowest) / kScale;
        const std::uint32_t newSize = size / kScale;
        PutU32(out, header(i) + pe::kPointerToRawDataOffset, newPointer);
        PutU32(out, header(i) + pe::kSizeOfRawDataOffset, newSize);
        if (out.size() < newPointer + newSize) out.resize(newPointer + newSize);
        if (pointer < file.size())
            std::copy_n(file.begin() + pointer, std::min<std::size_t>(newSize, file.size() - pointer),
                        out.begin() + newPointer);
        if (pointer > farthest) {
            farthest = pointer;
            realImageEnd = pointer + size;
            imageEnd = newPointer + newSize;
        }
    }
    out.resize(imageEnd);

    CertificateTable table;
    try {
        table = TableOf(file);
    } catch (const std::runtime_error&) {
        return out;  // unsigned: the image alone
    }
    if (realImageEnd < table.offset) {
        const std::uint32_t kept = std::min(kPayloadKept, table.offset - realImageEnd);
        out.insert(out.end(), file.begin() + realImageEnd, file.begin() + realImageEnd + kept);
    }
    out.resize((out.size() + wincert::kAlignment - 1) / wincert::kAlignment * wincert::kAlignment, 0);
    PutU32(out, SecurityEntryPosition(headers.lfanew), static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), file.begin() + table.offset, file.begin() + table.offset + table.size);
    return out;
}

Bytes CutTable(const Bytes& file) {
    const CertificateTable table = TableOf(file);
    return Bytes(file.begin() + table.offset, file.begin() + table.offset + table.size);
}

// The parameters text where the launcher finds it.
Bytes ParamsText(const Bytes& file) {
    const CertificateTable table = TableOf(file);
    MemorySource source(file);
    return ReadRegion(source, ParamsRegion(ReadTrailer(source, table), table));
}

// A stamp fuzzer input: the control bytes that say what to stamp (see
// StampFuzzer.cpp), then the package.
Bytes StampInput(std::uint8_t flags, std::uint8_t icon, std::uint8_t picture, std::uint8_t text, const Bytes& file) {
    Bytes input = {flags, icon, picture, text};
    input.insert(input.end(), file.begin(), file.end());
    return input;
}

// A minimal PE32 image with two sections and a payload, signed with a
// placeholder signature entry of entryLength bytes, padded with zeros to the
// table's alignment (no table when entryLength is 0).
Bytes SynthPackage(std::uint32_t entryLength) {
    constexpr std::int32_t lfanew = 64;
    const std::size_t nt = lfanew;
    Bytes pe(0x600, 0);
    PutU16(pe, pe::kDosMagicOffset, pe::kDosMagic);
    PutU32(pe, pe::kLfanewOffset, lfanew);
    PutU32(pe, nt + pe::kSignatureOffset, pe::kPeSignature);
    PutU16(pe, nt + pe::kMachineOffset, 0x014C);  // i386
    PutU16(pe, nt + pe::kNumberOfSectionsOffset, 2);
    PutU16(pe, nt + pe::kSizeOfOptionalHeaderOffset, 224);
    PutU16(pe, nt + pe::kCharacteristicsOffset, 0x0102);
    PutU16(pe, nt + pe::kOptionalMagicOffset, pe::kPe32Magic);
    PutU32(pe, nt + pe::kNumberOfRvaAndSizesOffset, 16);
    const char* names[2] = {".text", ".data"};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t header = nt + pe::kNtHeadersSize + i * pe::kSectionHeaderSize;
        std::copy_n(names[i], 5, pe.begin() + static_cast<std::ptrdiff_t>(header));
        PutU32(pe, header + pe::kSizeOfRawDataOffset, 0x200);
        PutU32(pe, header + pe::kPointerToRawDataOffset, static_cast<std::uint32_t>(0x200 * (i + 1)));
    }
    Bytes payload(256, 0);
    const Bytes mark = Text("payload");
    payload.insert(payload.end(), mark.begin(), mark.end());
    pe.insert(pe.end(), payload.begin(), payload.end());
    if (entryLength == 0) return pe;
    pe.resize((pe.size() + wincert::kAlignment - 1) / wincert::kAlignment * wincert::kAlignment, 0);
    const std::uint32_t tableSize = (entryLength + wincert::kAlignment - 1) / wincert::kAlignment * wincert::kAlignment;
    PutU32(pe, SecurityEntryPosition(lfanew), static_cast<std::uint32_t>(pe.size()));
    PutU32(pe, SecurityEntryPosition(lfanew) + 4, tableSize);
    Bytes entry(entryLength, 0x30);
    PutU32(entry, wincert::kLengthOffset, entryLength);
    PutU16(entry, wincert::kRevisionOffset, wincert::kRevision2);
    PutU16(entry, wincert::kTypeOffset, wincert::kTypePkcsSignedData);
    entry.resize(tableSize, 0);
    pe.insert(pe.end(), entry.begin(), entry.end());
    return pe;
}

// A signed package stamped with the format code's own plan.
Bytes SynthStamped(std::uint32_t entryLength, std::int32_t version, const std::string& icon,
                   const std::string& picture, const std::string& params) {
    const Bytes file = SynthPackage(entryLength);
    MemorySource source(file);
    return ApplyPlan(file, PlanStamp(ReadSignedPackage(source, file.size()),
                                     {version, Text(params), Text(picture), Text(icon)}));
}

void Synth(const std::string& dir) {
    const std::string params = "eyJpZCI6NDIsIm5hbWUiOiJkZW1vIn0";  // {"id":42,"name":"demo"}
    const Bytes v1 = SynthStamped(64, 1, "", "", params);
    const Bytes v2 = SynthStamped(64, 2, std::string(16, 'I'), std::string(16, 'P'), params);
    const Bytes v2empty = SynthStamped(64, 2, "", "", "");

    WriteFile(dir + "/image_layout/synth-unsigned.bin", SynthPackage(0));
    WriteFile(dir + "/image_layout/synth-v1.bin", v1);
    WriteFile(dir + "/image_layout/synth-v2.bin", v2);
    Bytes huge = v1;  // its last 8 bytes claim a size of 4 GiB + its own
    const std::uint64_t claimed = (std::uint64_t{1} << 32) + huge.size() + 8;
    for (int i = 0; i < 8; ++i) huge.push_back(static_cast<std::uint8_t>(claimed >> (8 * i)));
    WriteFile(dir + "/image_layout/synth-4gib-size.bin", huge);

    WriteFile(dir + "/trailer/synth-table-v1.bin", CutTable(v1));
    WriteFile(dir + "/trailer/synth-table-v2.bin", CutTable(v2));
    WriteFile(dir + "/trailer/synth-table-v2-empty.bin", CutTable(v2empty));
    WriteFile(dir + "/trailer/synth-package-v2.bin", v2);
    const Bytes table = CutTable(v2);
    Bytes located;  // {offset, size} in front of the table
    PutU32(located, 0, 8);
    PutU32(located, 4, static_cast<std::uint32_t>(table.size()));
    located.insert(located.end(), table.begin(), table.end());
    WriteFile(dir + "/trailer/synth-located-v2.bin", located);

    WriteFile(dir + "/stamp/synth-signed.bin", StampInput(0x01, 16, 16, 31, SynthPackage(64)));
    WriteFile(dir + "/stamp/synth-entry-unpadded.bin", StampInput(0x00, 0, 0, 8, SynthPackage(61)));
    WriteFile(dir + "/stamp/synth-v1.bin", StampInput(0x01, 3, 5, 12, v1));
    WriteFile(dir + "/stamp/synth-v2.bin", StampInput(0x00, 0, 0, 0, v2));

    const char* texts[] = {"e30", "e30=", "eyJhIjoxfQ==", params.c_str(), "QUJD\nREVG", "TWFu TWFu", "A", "////",
                           "AB=CD"};
    int n = 0;
    for (const char* text : texts) WriteFile(dir + "/base64/synth-" + std::to_string(n++) + ".txt", Text(text));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "synth" && argc == 3) {
            Synth(argv[2]);
        } else if (command == "compact" && argc == 4) {
            WriteFile(argv[3], Compact(ReadFile(argv[2])));
        } else if (command == "table" && argc == 4) {
            WriteFile(argv[3], CutTable(ReadFile(argv[2])));
        } else if (command == "params" && argc == 4) {
            WriteFile(argv[3], ParamsText(ReadFile(argv[2])));
        } else if (command == "stamp" && argc == 4) {
            WriteFile(argv[3], StampInput(0x01, 24, 40, 16, Compact(ReadFile(argv[2]))));
        } else {
            std::fprintf(stderr, "usage: fuzz_seedgen synth DIR | compact|table|params|stamp IN OUT\n");
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seedgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
