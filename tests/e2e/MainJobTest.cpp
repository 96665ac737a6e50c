// The main job: the payload runs from a unique copy in the temporary folder
// with the launcher's tail, its exit code becomes the status, and the copy goes.
#include <gtest/gtest.h>

#include <regex>

#include "Harness.h"

namespace e2e {
namespace {


class MainJob : public testing::Test {
protected:
    void SetUp() override {
        folder = TestFolder();
        options = OptionsIn(folder);
    }

    // A version 1 package whose parameters are "{}".
    fs::path Package(const std::string& name = "setup.exe") {
        return BuildPackage(folder, ReadBytes(ProbeInstaller()), {"e30", {}, {}, 1}, name);
    }

    // The probe's command line: the quoted copy path, one blank, the parameters
    // part, then rest.
    void ExpectCommandLine(const std::string& copyStem, const std::string& rest) {
        const std::string temp = RegexLiteral(WindowsPath(options.tempDir) + "\\");
        const std::string pattern = "\"" + temp + RegexLiteral(copyStem) + "_" + kGuidPattern + "\\.exe\" /pi=\"" + temp +
                                    "InstallerParams_" + kGuidPattern + "\\.json\" " + RegexLiteral(rest);
        const std::string commandLine = ReadUtf16File(options.recordDir / "cmdline.bin");
        EXPECT_TRUE(std::regex_match(commandLine, std::regex(pattern))) << commandLine;
    }

    bool InstallerStarted() const { return fs::exists(options.recordDir / "cmdline.bin"); }

    // The installer copy is gone; the parameters file stays for the installer.
    void ExpectNoCopyLeft() const {
        for (const std::string& name : FileNames(options.tempDir))
            EXPECT_EQ(name.rfind("InstallerParams_", 0), 0u) << name;
    }

    fs::path folder;
    RunOptions options;
};

class CommandLine : public MainJob, public testing::WithParamInterface<const char*> {};

TEST_P(CommandLine, TailReachesTheInstallerUnchanged) {
    options.tail = GetParam();
    const RunResult result = RunProgram(Package(), options);
    EXPECT_EQ(result.status, 0) << result.log;
    ExpectNoBox(result);
    ExpectCommandLine("setup", options.tail);
    ExpectNoCopyLeft();
}

INSTANTIATE_TEST_SUITE_P(Tails, CommandLine,
                         testing::Values("", "one", "a  b   c ", "\"quoted arg\" \"x\\\"y\" 'single'",
                                         "ünïcödé ẞ 日本", "/S", "/s /S1 /Silent /pic /ico"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return "Tail" + std::to_string(info.index);
                         });

struct ExitCase {
    const char* code;
    int status;
};

class ExitCodes : public MainJob, public testing::WithParamInterface<ExitCase> {};

TEST_P(ExitCodes, OnlyZeroIsSuccess) {
    options.probeExit = GetParam().code;
    const RunResult result = RunProgram(Package(), options);
    EXPECT_EQ(result.status, GetParam().status);
    ExpectNoBox(result);
    EXPECT_TRUE(InstallerStarted());
    ExpectNoCopyLeft();
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitCodes,
                         testing::Values(ExitCase{"0", 0}, ExitCase{"1", 1}, ExitCase{"3010", 1},
                                         ExitCase{"0xFFFFFFFF", 1}),
                         [](const testing::TestParamInfo<ExitCase>& info) {
                             return std::string("Code_") + info.param.code;
                         });

TEST_F(MainJob, CopyIsNamedAfterTheLauncher) {
    const fs::path place = folder / "dir with blanks ünï";
    fs::create_directories(place);
    const fs::path package = Package("my set.up.exe");
    fs::rename(package, place / "my set.up.exe");
    options.tail = "x";
    const RunResult result = RunProgram(place / "my set.up.exe", options);
    EXPECT_EQ(result.status, 0) << result.log;
    ExpectCommandLine("my set.up", "x");
}

class NotRunnable : public MainJob, public testing::WithParamInterface<bool> {};

TEST_P(NotRunnable, ShowsTheSystemTextAndLeavesNoCopy) {
    const bool silent = GetParam();
    options.tail = silent ? "/S" : "";
    std::vector<std::uint8_t> payload(5000, 'x');
    const fs::path package = BuildPackage(folder, payload, {"e30", {}, {}, 1});
    const RunResult result = RunProgram(package, options);
    EXPECT_EQ(result.status, 1);
    if (silent) {
        ExpectNoBox(result);
    } else {
        ExpectFailureBox(result, "MessageBoxW");
        if (!result.boxes.empty()) {
            EXPECT_EQ(result.boxes[0].text.find("Failed to start installer"), std::string::npos);
        }
    }
    ExpectNoCopyLeft();
}

INSTANTIATE_TEST_SUITE_P(Both, NotRunnable, testing::Bool(), [](const testing::TestParamInfo<bool>& info) {
    return info.param ? "Silent" : "Shown";
});

// The installer's command line, its terminator included, may take 32,766
// characters: "copy" /pi="parameters" tail.
TEST_F(MainJob, CommandLineLimit) {
    const std::size_t temp = WindowsPath(options.tempDir).size() + 1;  // with its backslash
    const std::size_t copy = temp + std::string("setup_").size() + 36 + std::string(".exe").size();
    const std::size_t params = temp + std::string("InstallerParams_").size() + 36 + std::string(".json").size();
    const std::size_t fixed = 1 + copy + 2 + std::string("/pi=\"").size() + params + 2 + 1;
    const fs::path package = Package();

    options.tail = std::string(32766 - fixed, 'a');
    const RunResult at = RunProgram(package, options);
    EXPECT_EQ(at.status, 0) << at.log;
    ExpectNoBox(at);
    ASSERT_TRUE(InstallerStarted());
    EXPECT_EQ(ReadUtf16File(options.recordDir / "cmdline.bin").size(), 32765u);

    fs::remove_all(options.recordDir);
    fs::create_directories(options.recordDir);
    options.tail += 'a';
    const RunResult over = RunProgram(package, options);
    constexpr std::uint32_t kFilenameExceedsRange = 206;
    ExpectFailureBox(over, "MessageBoxW", SystemMessage(kFilenameExceedsRange));
    EXPECT_FALSE(InstallerStarted());
    ExpectNoCopyLeft();
}

TEST_F(MainJob, FullDiskWhileCopyingStartsNoInstaller) {
    std::vector<std::uint8_t> payload = ReadBytes(ProbeInstaller());
    payload.resize(payload.size() + 3 * 1048576, 0xA5);
    const fs::path package = BuildPackage(folder, payload, {"e30", {}, {}, 1});
    options.fileSizeLimit = 1048576 + 4096;
    const RunResult result = RunProgram(package, options);
    EXPECT_EQ(result.status, 1) << result.log;
    ASSERT_EQ(result.boxes.size(), 1u) << result.log;
    EXPECT_EQ(result.boxes[0].function, "MessageBoxW");
    EXPECT_FALSE(InstallerStarted());
}

}  // namespace
}  // namespace e2e
