// Hostile packages: 500 mutations of a valid version 2 package (random bytes
// and boundary values in the trailer, the security entry, the section table
// and the DOS header, cut or lengthened files). Whatever the bytes, the
// launcher never crashes or hangs, and its outcome is the one the format
// code's verdict gives: refused with that message (none under "/S"), or
// accepted and running its installer. Some mutations break the image for the
// system's loader, which then refuses to start it: the launcher's code never
// runs, and only a hang would be a fault.
// Whether it ran shows in the trace: its first call restricts the DLL search.
// The raw-data pointers of the sections the program runs from are left alone:
// changed, they give the system another program (other code and data) to run;
// the last section, which places the image end, is mutated.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "Harness.h"
#include "ImageLayout.h"
#include "LauncherVerdict.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"

using namespace qpk;

namespace e2e {
namespace {

constexpr int kShards = 10;
constexpr int kPerShard = 50;

using Bytes = std::vector<std::uint8_t>;

// Applies mutation number n (deterministic) to a copy of the package.
class Mutator {
public:
    Mutator(const Bytes& package, unsigned seed) : bytes_(package), random_(seed) {
        const LittleEndianView view(bytes_);
        nt_ = *view.U32(pe::kLfanewOffset);
        tableOffset_ = *view.U32(nt_ + pe::kSecurityAddressOffset);
        tableSize_ = *view.U32(nt_ + pe::kSecuritySizeOffset);
        sections_ = *view.U16(nt_ + pe::kNumberOfSectionsOffset);
    }

    Bytes Mutate(std::string& description) {
        const std::uint32_t size = static_cast<std::uint32_t>(bytes_.size());
        const std::int32_t signature = *LittleEndianView(bytes_).I32(size - trailer::kSignatureSizeBack);
        switch (Pick(7)) {
            case 0: {  // a trailer field
                const std::size_t backs[] = {trailer::kIconSizeBack, trailer::kPictureSizeBack,
                                             trailer::kParamsSizeBack, trailer::kSignatureSizeBack,
                                             trailer::kVersionBack};
                const std::size_t back = backs[Pick(5)];
                const std::uint32_t value = Boundary({0, 1, 2, 3, 0x1400000, 0x1400001, tableSize_, tableSize_ - 24,
                                                      tableSize_ + 1, static_cast<std::uint32_t>(signature),
                                                      static_cast<std::uint32_t>(signature) - 1,
                                                      static_cast<std::uint32_t>(signature) + 1, size});
                description = "trailer field -" + std::to_string(back) + " = " + std::to_string(value);
                return With(size - back, value);
            }
            case 1: {  // random bytes at the end
                Bytes mutated = bytes_;
                const std::size_t count = 1 + Pick(8);
                for (std::size_t i = 0; i < count; ++i) mutated[size - 1 - Pick(64)] = static_cast<std::uint8_t>(Pick(256));
                description = std::to_string(count) + " random bytes near the end";
                return mutated;
            }
            case 2: {  // the security entry
                const std::size_t field = nt_ + pe::kSecurityAddressOffset + 4 * Pick(2);
                const std::uint32_t value = Boundary({0, 1, tableOffset_ - 1, tableOffset_ + 1, tableSize_ - 1,
                                                      tableSize_ + 1, size, size - 1, 0x80000000u, 0xFFFFFFFFu});
                description = "security entry +" + std::to_string(field - nt_) + " = " + std::to_string(value);
                return With(field, value);
            }
            case 3: {  // the section table
                if (Pick(4) == 0) {
                    const std::uint32_t count = Boundary({0, 1, 96, 0xFFFF, sections_ + 1u});
                    description = "NumberOfSections = " + std::to_string(count & 0xFFFF);
                    Bytes mutated = bytes_;
                    PutU16(mutated, nt_ + pe::kNumberOfSectionsOffset, static_cast<std::uint16_t>(count));
                    return mutated;
                }
                const std::size_t header = nt_ + pe::kNtHeadersSize + (sections_ - 1) * pe::kSectionHeaderSize;
                const std::size_t field = header + (Pick(2) ? pe::kPointerToRawDataOffset : pe::kSizeOfRawDataOffset);
                const std::uint32_t value =
                    Boundary({0, 1, size, size + 1, tableOffset_, tableOffset_ - 1, 0x80000000u, 0xFFFFFFFFu});
                description = "section field at " + std::to_string(field) + " = " + std::to_string(value);
                return With(field, value);
            }
            case 4: {  // e_lfanew
                const std::uint32_t value = Boundary({0, 1, 4096, 4097, 0xFFFFFFFFu, size, nt_ + 4, nt_ - 4});
                description = "e_lfanew = " + std::to_string(value);
                return With(pe::kLfanewOffset, value);
            }
            case 5: {  // cut or lengthened
                Bytes mutated = bytes_;
                if (Pick(2)) {
                    mutated.resize(tableOffset_ + Pick(tableSize_));  // inside the certificate table
                    description = "cut to " + std::to_string(mutated.size());
                } else {
                    mutated.resize(size + 1 + Pick(100), static_cast<std::uint8_t>(Pick(256)));
                    description = "lengthened to " + std::to_string(mutated.size());
                }
                return mutated;
            }
            default: {  // random bytes in the DOS header and stub
                Bytes mutated = bytes_;
                const std::size_t count = 1 + Pick(4);
                for (std::size_t i = 0; i < count; ++i) mutated[Pick(nt_)] = static_cast<std::uint8_t>(Pick(256));
                description = std::to_string(count) + " random bytes in the DOS header";
                return mutated;
            }
        }
    }

private:
    std::size_t Pick(std::size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    // One of the boundary values, a signed extreme, or a random value.
    std::uint32_t Boundary(std::vector<std::uint32_t> values) {
        values.push_back(0x7FFFFFFFu);
        values.push_back(0x80000000u);
        values.push_back(0xFFFFFFFFu);
        if (Pick(5) == 0) return static_cast<std::uint32_t>(random_());
        return values[Pick(values.size())];
    }

    Bytes With(std::size_t offset, std::uint32_t value) {
        Bytes mutated = bytes_;
        PutU32(mutated, offset, value);
        return mutated;
    }

    const Bytes& bytes_;
    std::mt19937 random_;
    std::uint32_t nt_, tableOffset_, tableSize_, sections_;
};

class Mutations : public testing::TestWithParam<int> {};

// True when the payload that layout locates in bytes is exactly installer.
bool PayloadIs(const Bytes& bytes, const ImageLayout& layout, const Bytes& installer) {
    const std::uint64_t start = layout.payloadOffset;
    const std::uint64_t size = static_cast<std::uint64_t>(layout.payloadSize);
    return size == installer.size() && start + size <= bytes.size() &&
           std::equal(installer.begin(), installer.end(), bytes.begin() + static_cast<std::ptrdiff_t>(start));
}

TEST_P(Mutations, AgreeWithTheFormatCodeAndNeverCrashOrHang) {
    const fs::path folder = TestFolder();
    StampData data;
    data.paramsText = "eyJSZXNlbGxlcklkIjoiNDIifQ";
    data.picture = Bytes(300, 0x42);
    data.icon = Bytes(200, 0x17);
    const Bytes installer = ReadBytes(ProbeInstaller());
    const Bytes package = ReadBytes(BuildPackage(folder, installer, data));
    Mutator mutator(package, 7919u * static_cast<unsigned>(GetParam() + 1));
    RunOptions options;
    options.tempDir = folder / "temp";
    // A run of the launcher starts three Wine processes, the trivial run two.
    options.hangLimit = {5, 20};
    int ran = 0, refused = 0;
    for (int i = 0; i < kPerShard; ++i) {
        std::string description;
        fs::remove_all(options.tempDir);
        fs::create_directories(options.tempDir);
        const Bytes mutated = mutator.Mutate(description);
        WriteBytes(folder / "mutated.exe", mutated);
        const bool silent = i % 2 == 1;
        options.tail = silent ? "/S" : "";
        const RunResult result = RunProgram(folder / "mutated.exe", options);
        SCOPED_TRACE("mutation " + std::to_string(i) + ": " + description);
        if (!LauncherTraced(result.log)) continue;  // the loader refused the image
        ++ran;
        EXPECT_FALSE(CrashReported(result.log)) << result.log.substr(0, 4000);

        MemorySource source(mutated);
        const LauncherVerdict verdict = JudgeAsLauncher(source, mutated.size());
        if (!verdict.Accepted()) {
            // Refused: the format code's message, or nothing when silent.
            ++refused;
            EXPECT_EQ(result.status, 1) << verdict.message;
            if (silent)
                EXPECT_TRUE(result.boxes.empty()) << verdict.message;
            else
                ExpectFailureBox(result, "MessageBoxA", verdict.message);
        } else if (PayloadIs(mutated, *verdict.layout, installer)) {
            // Accepted with the probe as its installer: the status is the probe's.
            EXPECT_EQ(result.status, 0) << result.log.substr(0, 4000);
            EXPECT_TRUE(result.boxes.empty()) << result.log.substr(0, 4000);
        } else {
            // Accepted, but the bytes it takes for the installer are not the probe:
            // no format message; starting them may fail with the system's text.
            EXPECT_TRUE(result.status == 0 || result.status == 1) << "status " << result.status;
            EXPECT_LE(result.boxes.size(), silent ? 0u : 1u);
            for (const Box& box : result.boxes) EXPECT_EQ(box.function, "MessageBoxW") << box.text;
        }
    }
    // Most mutations reach the launcher's own checks.
    EXPECT_GT(ran, kPerShard / 2);
    std::printf("%d of %d mutated packages ran the launcher's code, %d of them refused\n", ran, kPerShard, refused);
}

INSTANTIATE_TEST_SUITE_P(Shards, Mutations, testing::Range(0, kShards));

}  // namespace
}  // namespace e2e
