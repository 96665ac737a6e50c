// Seed inputs for the fuzzers:
//   fuzz_seedgen synth DIR        minimal packages, tables and texts written from scratch
//   fuzz_seedgen compact IN OUT   a real package shrunk: its headers, sections scaled
//                                 down, a short payload, its certificate table whole
//   fuzz_seedgen table IN OUT     the certificate table of a package
//   fuzz_seedgen params IN OUT    the parameters text of a stamped package
// Plain tool code, not fuzzed; it reads the fields itself and trusts its input
// only as far as it checks it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// PE32 field positions, as the launcher reads them.
constexpr std::size_t kLfanew = 60;
constexpr std::size_t kNtSize = 248;
constexpr std::size_t kSectionSize = 40;
constexpr std::size_t kSecurityEntry = 152;  // from e_lfanew
constexpr std::size_t kTrailerSize = 24;

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

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    if (at + 4 > b.size()) throw std::runtime_error("field beyond the end of the file");
    return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
           (std::uint32_t{b[at + 3]} << 24);
}

std::uint16_t Get16(const Bytes& b, std::size_t at) {
    if (at + 2 > b.size()) throw std::runtime_error("field beyond the end of the file");
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Append(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

struct Table {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

Table CertificateTable(const Bytes& file) {
    const std::uint32_t lfanew = Get32(file, kLfanew);
    Table table{Get32(file, lfanew + kSecurityEntry), Get32(file, lfanew + kSecurityEntry + 4)};
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
    const std::uint32_t lfanew = Get32(file, kLfanew);
    const std::uint16_t sections = Get16(file, lfanew + 6);
    const std::size_t headersEnd = lfanew + kNtSize + std::size_t{sections} * kSectionSize;
    if (headersEnd > file.size()) throw std::runtime_error("section table beyond the end of the file");

    const std::uint32_t base = static_cast<std::uint32_t>((headersEnd + 0x1FF) & ~std::size_t{0x1FF});
    std::uint32_t lowest = UINT32_MAX;
    for (std::size_t i = 0; i < sections; ++i) {
        const std::uint32_t pointer = Get32(file, lfanew + kNtSize + i * kSectionSize + 20);
        if (pointer != 0) lowest = std::min(lowest, pointer);
    }

    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(headersEnd));
    out.resize(base);
    std::uint32_t imageEnd = base;
    std::uint32_t farthest = 0, realImageEnd = 0;
    for (std::size_t i = 0; i < sections; ++i) {
        const std::size_t header = lfanew + kNtSize + i * kSectionSize;
        const std::uint32_t pointer = Get32(file, header + 20);
        const std::uint32_t size = Get32(file, header + 16);
        if (pointer == 0) continue;
        const std::uint32_t newPointer = base + (pointer - lowest) / kScale;
        const std::uint32_t newSize = size / kScale;
        Put32(out, header + 20, newPointer);
        Put32(out, header + 16, newSize);
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

    Table table{0, 0};
    try {
        table = CertificateTable(file);
    } catch (const std::runtime_error&) {
        return out;  // unsigned: the image alone
    }
    if (realImageEnd < table.offset) {
        const std::uint32_t kept = std::min(kPayloadKept, table.offset - realImageEnd);
        out.insert(out.end(), file.begin() + realImageEnd, file.begin() + realImageEnd + kept);
    }
    Put32(out, lfanew + kSecurityEntry, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), file.begin() + table.offset, file.begin() + table.offset + table.size);
    return out;
}

Bytes CutTable(const Bytes& file) {
    const Table table = CertificateTable(file);
    return Bytes(file.begin() + table.offset, file.begin() + table.offset + table.size);
}

Bytes ParamsText(const Bytes& file) {
    const Bytes table = CutTable(file);
    if (table.size() < kTrailerSize) throw std::runtime_error("table too small for a trailer");
    const std::size_t t = table.size() - kTrailerSize;
    const std::uint32_t icon = Get32(table, t), picture = Get32(table, t + 4), params = Get32(table, t + 8);
    const std::uint32_t signature = Get32(table, t + 12), version = Get32(table, t + 16);
    const std::uint64_t start = std::uint64_t{signature} + (version == 2 ? std::uint64_t{icon} + picture : 0);
    if (start + params > table.size()) throw std::runtime_error("parameters outside the table");
    return Bytes(table.begin() + static_cast<std::ptrdiff_t>(start),
                 table.begin() + static_cast<std::ptrdiff_t>(start + params));
}

// A trailer as a package writer places it: 16 bytes for version 1, else 24.
Bytes Trailer(std::uint32_t icon, std::uint32_t picture, std::uint32_t params, std::uint32_t signature,
              std::uint32_t version) {
    Bytes b;
    Put32(b, 0, icon);
    Put32(b, 4, picture);
    Put32(b, 8, params);
    Put32(b, 12, signature);
    Put32(b, 16, version);
    Append(b, "QPIC");
    if (version == 1) b.erase(b.begin(), b.begin() + 8);
    return b;
}

// A certificate table: a placeholder signature entry, then the blobs and trailer.
Bytes SynthTable(std::uint32_t version, const std::string& icon, const std::string& picture,
                 const std::string& params) {
    constexpr std::uint32_t kSignatureSize = 64;
    Bytes table;
    Put32(table, 0, kSignatureSize);
    Put16(table, 4, 0x0200);  // revision 2
    Put16(table, 6, 0x0002);  // PKCS#7 signed data
    table.resize(kSignatureSize, 0x30);
    if (version == 2) {
        Append(table, icon);
        Append(table, picture);
    }
    Append(table, params);
    const Bytes trailer = Trailer(static_cast<std::uint32_t>(icon.size()), static_cast<std::uint32_t>(picture.size()),
                                  static_cast<std::uint32_t>(params.size()), kSignatureSize, version);
    table.insert(table.end(), trailer.begin(), trailer.end());
    return table;
}

// A minimal PE32 image with two sections, a payload and the given table (none
// when empty).
Bytes SynthPackage(const Bytes& table) {
    constexpr std::uint32_t lfanew = 64;
    Bytes pe(0x600, 0);
    Put16(pe, 0, 0x5A4D);
    Put32(pe, kLfanew, lfanew);
    Put32(pe, lfanew, 0x00004550);
    Put16(pe, lfanew + 4, 0x014C);  // i386
    Put16(pe, lfanew + 6, 2);
    Put16(pe, lfanew + 20, 224);
    Put16(pe, lfanew + 22, 0x0102);
    Put16(pe, lfanew + 24, 0x010B);
    Put32(pe, lfanew + 24 + 92, 16);  // NumberOfRvaAndSizes
    const char* names[2] = {".text", ".data"};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t header = lfanew + kNtSize + i * kSectionSize;
        std::copy_n(names[i], 5, pe.begin() + static_cast<std::ptrdiff_t>(header));
        Put32(pe, header + 16, 0x200);
        Put32(pe, header + 20, static_cast<std::uint32_t>(0x200 * (i + 1)));
    }
    Bytes payload(256, 0);
    Append(payload, "payload");
    pe.insert(pe.end(), payload.begin(), payload.end());
    if (!table.empty()) {
        Put32(pe, lfanew + kSecurityEntry, static_cast<std::uint32_t>(pe.size()));
        Put32(pe, lfanew + kSecurityEntry + 4, static_cast<std::uint32_t>(table.size()));
        pe.insert(pe.end(), table.begin(), table.end());
    }
    return pe;
}

void Synth(const std::string& dir) {
    const std::string params = "eyJpZCI6NDIsIm5hbWUiOiJkZW1vIn0";  // {"id":42,"name":"demo"}
    const Bytes v1 = SynthTable(1, "", "", params);
    const Bytes v2 = SynthTable(2, std::string(16, 'I'), std::string(16, 'P'), params);
    const Bytes v2empty = SynthTable(2, "", "", "");

    WriteFile(dir + "/image_layout/synth-unsigned.bin", SynthPackage({}));
    WriteFile(dir + "/image_layout/synth-v1.bin", SynthPackage(v1));
    WriteFile(dir + "/image_layout/synth-v2.bin", SynthPackage(v2));
    Bytes huge = SynthPackage(v1);  // its last 8 bytes claim a size of 4 GiB + its own
    const std::uint64_t claimed = (std::uint64_t{1} << 32) + huge.size() + 8;
    for (int i = 0; i < 8; ++i) huge.push_back(static_cast<std::uint8_t>(claimed >> (8 * i)));
    WriteFile(dir + "/image_layout/synth-4gib-size.bin", huge);

    WriteFile(dir + "/trailer/synth-table-v1.bin", v1);
    WriteFile(dir + "/trailer/synth-table-v2.bin", v2);
    WriteFile(dir + "/trailer/synth-table-v2-empty.bin", v2empty);
    WriteFile(dir + "/trailer/synth-package-v2.bin", SynthPackage(v2));
    Bytes located;  // {offset, size} in front of the table
    Put32(located, 0, 8);
    Put32(located, 4, static_cast<std::uint32_t>(v2.size()));
    located.insert(located.end(), v2.begin(), v2.end());
    WriteFile(dir + "/trailer/synth-located-v2.bin", located);

    const char* texts[] = {"e30", "e30=", "eyJhIjoxfQ==", params.c_str(), "QUJD\nREVG", "TWFu TWFu", "A", "////",
                           "AB=CD"};
    int n = 0;
    for (const char* text : texts) {
        Bytes b;
        Append(b, text);
        WriteFile(dir + "/base64/synth-" + std::to_string(n++) + ".txt", b);
    }
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
        } else {
            std::fprintf(stderr, "usage: fuzz_seedgen synth DIR | compact|table|params IN OUT\n");
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seedgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
