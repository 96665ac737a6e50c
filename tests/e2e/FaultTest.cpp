// Faults of a real machine, end to end: a full disk, an unwritable or odd
// temporary folder, an installer that crashes, is killed or leaves a child
// behind, a locked launcher file, and the largest per-download data accepted.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "Base64.h"
#include "Harness.h"
#include "PackageTrailer.h"

using namespace qpk;

namespace e2e {
namespace {

class Fault : public testing::Test {
public:
    void SetUp() override {
        folder = TestFolder();
        options = OptionsIn(folder);
        data.paramsText = "e30";
        data.picture = std::vector<std::uint8_t>(5000, 0x42);
        data.icon = std::vector<std::uint8_t>(3000, 0x17);
    }

    void TearDown() override {
        if (mounted) umount2(options.tempDir.c_str(), MNT_DETACH);
    }

    fs::path Package() { return BuildPackage(folder, payload, data); }

    // Makes the temporary folder a file system of its own that holds about bytes.
    void MountSmallTemporaryFolder(std::uint64_t bytes) {
        const std::string size = "size=" + std::to_string(bytes);
        ASSERT_EQ(mount("tmpfs", options.tempDir.c_str(), "tmpfs", 0, size.c_str()), 0)
            << "mounting a small tmpfs for a full disk needs root: " << std::strerror(errno);
        mounted = true;
    }

    bool InstallerStarted() const { return fs::exists(options.recordDir / "cmdline.bin"); }

    std::size_t CopiesLeft() const {
        std::size_t copies = 0;
        for (const std::string& name : FileNames(options.tempDir)) copies += name.rfind("setup_", 0) == 0;
        return copies;
    }

    fs::path folder;
    RunOptions options;
    StampData data;
    std::vector<std::uint8_t> payload = ReadBytes(ProbeInstaller());
    bool mounted = false;
};

// Which per-download file meets the full disk.
enum class Full { Params, Picture, Icon };

std::string FullName(Full which) {
    return which == Full::Params ? "Params" : which == Full::Picture ? "Picture" : "Icon";
}

using DiskFullCase = std::tuple<Full, bool>;

class DiskFull : public Fault, public testing::WithParamInterface<DiskFullCase> {};

TEST_P(DiskFull, WhileWritingDataStartsNoInstaller) {
    const auto [which, silent] = GetParam();
    const std::vector<std::uint8_t> big(2 * 1048576, 0x5A);
    if (which == Full::Params) data.paramsText = Base64Encode(big);
    if (which == Full::Picture) data.picture = big;
    if (which == Full::Icon) data.icon = big;
    options.fileSizeLimit = 1048576;  // the installer copy fits, the big file does not
    options.tail = silent ? "/S" : "";
    const RunResult result = RunProgram(Package(), options);
    if (silent) {
        EXPECT_EQ(result.status, 1);
        ExpectNoBox(result);
    } else {
        ExpectFailureBox(result, "MessageBoxW");
    }
    EXPECT_FALSE(InstallerStarted());
    // A failure after the copy was made leaves the copy behind, and so the files written so far.
    EXPECT_EQ(CopiesLeft(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Files, DiskFull,
                         testing::Combine(testing::Values(Full::Params, Full::Picture, Full::Icon), testing::Bool()),
                         [](const testing::TestParamInfo<DiskFullCase>& info) {
                             return FullName(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_Silent" : "_Shown");
                         });

// Win32 error codes.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kBadExeFormat = 193;

// Faults whose Win32 code is known: the box holds exactly the system's text for
// that code, as FormatMessageW gives it in this prefix, line break included.
struct KnownCodeCase {
    const char* name;
    std::uint32_t code;
    void (*arrange)(Fault& test);
};

void PrintTo(const KnownCodeCase& c, std::ostream* os) { *os << c.name; }

class KnownCode : public Fault, public testing::WithParamInterface<KnownCodeCase> {};

TEST_P(KnownCode, ShowsTheSystemTextForTheCode) {
    GetParam().arrange(*this);
    const RunResult result = RunProgram(Package(), options);
    ExpectFailureBox(result, "MessageBoxW", SystemMessage(GetParam().code));
    EXPECT_FALSE(InstallerStarted());
}

INSTANTIATE_TEST_SUITE_P(
    Table, KnownCode,
    testing::Values(
        // A scanner takes the copy away once written; the picture's size leaves it the time.
        KnownCodeCase{"InstallerGone", kFileNotFound,
                      [](Fault& t) {
                          t.options.deleteCopyOnceWritten = true;
                          t.data.picture = std::vector<std::uint8_t>(4 * 1048576, 0x42);
                      }},
        KnownCodeCase{"NotAnExecutable", kBadExeFormat,
                      [](Fault& t) { t.payload = std::vector<std::uint8_t>(5000, 'x'); }},
        KnownCodeCase{"NoTemporaryFolder", kPathNotFound,
                      [](Fault& t) { t.options.tempDir = t.folder / "missing"; }},
        // A real full file system (a file size limit gives another code): the copy
        // fits in it, the picture does not.
        KnownCodeCase{"DiskFull", kDiskFull,
                      [](Fault& t) {
                          t.data.picture = std::vector<std::uint8_t>(2 * 1048576, 0x42);
                          t.MountSmallTemporaryFolder(t.payload.size() + 512 * 1024);
                      }}),
    [](const testing::TestParamInfo<KnownCodeCase>& info) { return std::string(info.param.name); });

TEST_F(Fault, TemporaryFolderNotWritable) {
    // The folder's path names a file: nothing can be created in it.
    WriteBytes(folder / "not-a-folder", {1});
    options.tempDir = folder / "not-a-folder";
    const RunResult result = RunProgram(Package(), options);
    ExpectFailureBox(result, "MessageBoxW");
    EXPECT_FALSE(InstallerStarted());
}

TEST_F(Fault, LongNonAsciiTemporaryFolder) {
    // Over 200 characters, and room left for the copy's name within MAX_PATH.
    const std::string base = WindowsPath(folder / "ťëmþörärÿ ƒöldér" / "ünïcødé ñämé");
    options.tempDir = folder / "ťëmþörärÿ ƒöldér" / "ünïcødé ñämé" / std::string(205 - base.size(), 'x');
    fs::create_directories(options.tempDir);
    ASSERT_EQ(WindowsPath(options.tempDir).size(), 206u);
    const RunResult result = RunProgram(Package(), options);
    EXPECT_EQ(result.status, 0) << result.log;
    EXPECT_EQ(ReadBytes(options.recordDir / "pic.bin"), data.picture);
    EXPECT_EQ(CopiesLeft(), 0u);
}

TEST_F(Fault, InstallerCrashes) {
    options.probeMode = "crash";
    const RunResult result = RunProgram(Package(), options);
    EXPECT_EQ(result.status, 1) << result.log;
    ExpectNoBox(result);
    EXPECT_TRUE(InstallerStarted());
    EXPECT_EQ(CopiesLeft(), 0u);
}

TEST_F(Fault, InstallerKilled) {
    options.probeMode = "killed";
    options.hangLimit = {20, 20};
    const RunResult result = RunProgram(Package(), options);
    EXPECT_FALSE(result.timedOut) << "the kill did not reach it";
    EXPECT_EQ(result.status, 1) << result.log;
    ExpectNoBox(result);
    EXPECT_EQ(CopiesLeft(), 0u);
}

TEST_F(Fault, ChildHoldingTheCopyOpen) {
    options.probeMode = "hold:3000";
    const RunResult result = RunProgram(Package(), options);
    EXPECT_EQ(result.status, 0) << result.log;
    ExpectNoBox(result);
    // The delete failed silently: the copy is still there while the child holds it.
    EXPECT_EQ(CopiesLeft(), 1u);
    const HangLimit wait = {10, 20};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds(wait));
    while (!fs::exists(options.recordDir / "holder.done") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(fs::exists(options.recordDir / "holder.done")) << "the holder did not end within " << Describe(wait);
}

TEST_F(Fault, OwnFileLockedAgainstWriting) {
    options.lockProgram = true;
    const RunResult result = RunProgram(Package(), options);
    EXPECT_EQ(result.status, 0) << result.log;
    EXPECT_EQ(ReadBytes(options.recordDir / "ico.bin"), data.icon);
    EXPECT_EQ(CopiesLeft(), 0u);
}

TEST_F(Fault, DllSearchIsRestrictedFirst) {
    const RunResult result = RunProgram(Package(), options);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.log.find("SetDefaultDllDirectories(00000800)"), std::string::npos) << result.log;
}

TEST_F(Fault, LargestAcceptedDataStaysWithinMemoryBounds) {
    // The launcher's process holds Wine's share (and an emulator's, where there is
    // one): the same run with the small data of the fixture is the baseline.
    options.probeMode = "sleep:1500";  // the launcher waits meanwhile and is sampled
    options.measureLauncher = true;
    const RunResult small = RunProgram(Package(), options);
    ASSERT_EQ(small.status, 0) << small.log;
    ASSERT_GT(small.launcherPeakKiB, 0u) << "the launcher's process was not found";

    const std::size_t limit = trailer::kMaxBlobSize;
    data.paramsText = std::string(limit, 'A');
    data.picture = std::vector<std::uint8_t>(limit, 0x42);
    data.icon = std::vector<std::uint8_t>(limit, 0x17);
    const RunResult result = RunProgram(Package(), options);
    ASSERT_EQ(result.status, 0) << result.log;
    EXPECT_EQ(fs::file_size(options.recordDir / "pi.bin"), limit / 4 * 3);
    EXPECT_EQ(fs::file_size(options.recordDir / "pic.bin"), limit);
    EXPECT_EQ(fs::file_size(options.recordDir / "ico.bin"), limit);
    ASSERT_GT(result.launcherPeakKiB, 0u) << "the launcher's process was not found";
    // One blob of at most 20 MiB at a time, its decoded form and the copy buffer.
    const std::uint64_t growth = result.launcherPeakKiB - std::min(result.launcherPeakKiB, small.launcherPeakKiB);
    EXPECT_LT(growth, 48u * 1024) << "peak " << result.launcherPeakKiB << " KiB against " << small.launcherPeakKiB
                                  << " KiB with small data";
    std::printf("launcher peak memory: %llu KiB with 3 x 20 MiB of data, %llu KiB with small data\n",
                static_cast<unsigned long long>(result.launcherPeakKiB),
                static_cast<unsigned long long>(small.launcherPeakKiB));
}

}  // namespace
}  // namespace e2e
