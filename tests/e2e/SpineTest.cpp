// Own-file validation as the user sees it: one box with the exact text, or
// nothing under "/S", and the exit status.
#include <gtest/gtest.h>

#include <string>

#include "Harness.h"

namespace e2e {
namespace {

// The program to run, made in folder.
using Make = fs::path (*)(const fs::path& folder);

struct SpineCase {
    const char* name;
    Make make;
    const char* message;  // the box's text; empty for a run that succeeds
};

void PrintTo(const SpineCase& c, std::ostream* os) { *os << c.name; }

fs::path BareImage(const fs::path&) { return LauncherImage(); }

fs::path ByteAppended(const fs::path& folder) {
    const fs::path package = BuildSignedPackage(folder, ReadBytes(ProbeInstaller()));
    std::vector<std::uint8_t> bytes = ReadBytes(package);
    bytes.push_back(0);
    WriteBytes(package, bytes);
    return package;
}

fs::path WithoutPayload(const fs::path& folder) { return BuildSignedPackage(folder, {}); }

fs::path NotStamped(const fs::path& folder) { return BuildSignedPackage(folder, ReadBytes(ProbeInstaller())); }

fs::path Valid(const fs::path& folder) { return BuildPackage(folder, ReadBytes(ProbeInstaller()), {"e30", {}, {}, 1}); }

class Spine : public testing::TestWithParam<std::tuple<SpineCase, bool>> {};

TEST_P(Spine, OneBoxWithTheTextOrNothingWhenSilent) {
    const auto& [spine, silent] = GetParam();
    const fs::path folder = TestFolder();
    RunOptions options;
    options.tempDir = folder;
    options.tail = silent ? "/S" : "";
    const RunResult result = RunProgram(spine.make(folder), options);
    if (*spine.message == '\0') {
        EXPECT_EQ(result.status, 0) << result.log;
        ExpectNoBox(result);
    } else if (silent) {
        EXPECT_EQ(result.status, 1);
        ExpectNoBox(result);
    } else {
        ExpectFailureBox(result, "MessageBoxA", spine.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Spine,
    testing::Combine(testing::Values(SpineCase{"BareImage", BareImage, "The file does not have a digital signature"},
                                     SpineCase{"ByteAppended", ByteAppended, "The file size is infcorrect"},
                                     SpineCase{"WithoutPayload", WithoutPayload, "The installer data is missing"},
                                     SpineCase{"NotStamped", NotStamped, "Not a QPK package"},
                                     SpineCase{"Valid", Valid, ""}),
                     testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<SpineCase, bool>>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_Silent" : "_Shown");
    });

}  // namespace
}  // namespace e2e
