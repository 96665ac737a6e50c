// Own-file validation as the user sees it: one box with the exact text, or
// nothing under "/S", and the exit status.
#include <gtest/gtest.h>

#include "Harness.h"

namespace e2e {
namespace {

TEST(Spine, BareImageIsNotSigned) {
    const fs::path folder = TestFolder();
    RunOptions options;
    options.tempDir = folder;
    ExpectFailureBox(RunProgram(LauncherImage(), options), "MessageBoxA", "The file does not have a digital signature");
}

TEST(Spine, SilentRunShowsNothing) {
    const fs::path folder = TestFolder();
    RunOptions options;
    options.tempDir = folder;
    options.tail = "/S";
    const RunResult result = RunProgram(LauncherImage(), options);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.boxes.empty()) << result.log;
}

TEST(Spine, ByteAppendedBehindTheSignature) {
    const fs::path folder = TestFolder();
    const fs::path package = BuildSignedPackage(folder, ReadBytes(ProbeInstaller()));
    std::vector<std::uint8_t> bytes = ReadBytes(package);
    bytes.push_back(0);
    WriteBytes(package, bytes);
    RunOptions options;
    options.tempDir = folder;
    ExpectFailureBox(RunProgram(package, options), "MessageBoxA", "The file size is infcorrect");
}

TEST(Spine, SignedImageWithoutPayload) {
    const fs::path folder = TestFolder();
    const fs::path package = BuildSignedPackage(folder, {});
    RunOptions options;
    options.tempDir = folder;
    ExpectFailureBox(RunProgram(package, options), "MessageBoxA", "The installer data is missing");
}

TEST(Spine, SignedButNotStamped) {
    const fs::path folder = TestFolder();
    const fs::path package = BuildSignedPackage(folder, ReadBytes(ProbeInstaller()));
    RunOptions options;
    options.tempDir = folder;
    ExpectFailureBox(RunProgram(package, options), "MessageBoxA", "Not a QPK package");
}

TEST(Spine, ValidPackageRunsItsInstaller) {
    const fs::path folder = TestFolder();
    const fs::path package = BuildPackage(folder, ReadBytes(ProbeInstaller()), {"e30", {}, {}, 1});
    RunOptions options;
    options.tempDir = folder;
    const RunResult result = RunProgram(package, options);
    EXPECT_EQ(result.status, 0) << result.log;
    EXPECT_TRUE(result.boxes.empty());
}

}  // namespace
}  // namespace e2e
