// The release pipeline on the real tools: qpk build, osslsigncode sign and
// verify, qpk stamp, qpk strip, and the stamped package run under Wine.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Harness.h"
#include "ImageLayout.h"
#include "LittleEndian.h"

using namespace qpk;

namespace e2e {
namespace {

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

bool Verifies(const fs::path& package) {
    return Shell("osslsigncode verify -CAfile " + Quote(fs::path(QPK_E2E_KEYS) / "cert.pem") + " -in " +
                 Quote(package)) == 0;
}

// The bytes the Authenticode hash covers: all but CheckSum, the security entry
// and the certificate table.
std::vector<std::uint8_t> HashedBytes(std::vector<std::uint8_t> bytes) {
    const LittleEndianView view(bytes);
    const std::size_t nt = *view.U32(pe::kLfanewOffset);
    const std::uint32_t table = *view.U32(nt + pe::kSecurityAddressOffset);
    bytes.resize(table);
    bytes.erase(bytes.begin() + nt + pe::kSecurityAddressOffset, bytes.begin() + nt + pe::kSecurityAddressOffset + 8);
    bytes.erase(bytes.begin() + nt + pe::kCheckSumOffset, bytes.begin() + nt + pe::kCheckSumOffset + 4);
    return bytes;
}

TEST(Pipeline, BuildSignStampStripAndRun) {
    const fs::path folder = TestFolder();
    const std::string qpk = Quote(QPK_TOOL);
    const fs::path built = folder / "built.exe", signed_ = folder / "setup.exe", stamped = folder / "stamped.exe",
                   stripped = folder / "stripped.exe";
    ASSERT_EQ(Shell(qpk + " build --launcher " + Quote(LauncherImage()) + " --payload " + Quote(ProbeInstaller()) +
                    " -o " + Quote(built)),
              0);
    Sign(built, signed_);
    ASSERT_TRUE(Verifies(signed_));

    const std::vector<std::uint8_t> params = {'{', '"', 'a', '"', ':', '1', '}', '\n'};
    const std::vector<std::uint8_t> picture(3000, 0x42), icon(700, 0x17);
    WriteBytes(folder / "params.json", params);
    WriteBytes(folder / "picture.bmp", picture);
    WriteBytes(folder / "icon.ico", icon);
    ASSERT_EQ(Shell(qpk + " stamp " + Quote(signed_) + " -o " + Quote(stamped) + " --params " +
                    Quote(folder / "params.json") + " --picture " + Quote(folder / "picture.bmp") + " --icon " +
                    Quote(folder / "icon.ico")),
              0);
    EXPECT_EQ(HashedBytes(ReadBytes(stamped)), HashedBytes(ReadBytes(signed_)));
    EXPECT_EQ(Shell(qpk + " inspect " + Quote(stamped)), 0);

    ASSERT_EQ(Shell(qpk + " strip " + Quote(stamped) + " -o " + Quote(stripped)), 0);
    EXPECT_EQ(ReadBytes(stripped), ReadBytes(signed_));
    EXPECT_TRUE(Verifies(stripped));

    RunOptions options;
    options.tempDir = folder / "temp";
    options.recordDir = folder / "record";
    fs::create_directories(options.tempDir);
    fs::create_directories(options.recordDir);
    const RunResult result = RunProgram(stamped, options);
    ASSERT_EQ(result.status, 0) << result.log;
    EXPECT_EQ(ReadBytes(options.recordDir / "pi.bin"), params);
    EXPECT_EQ(ReadBytes(options.recordDir / "pic.bin"), picture);
    EXPECT_EQ(ReadBytes(options.recordDir / "ico.bin"), icon);
}

TEST(Pipeline, ExtractedInstallerIsThePayloadWithItsSignature) {
    const fs::path folder = TestFolder();
    const fs::path payload = Sign(ProbeInstaller(), folder / "installer.exe");
    const fs::path package = BuildPackage(folder, ReadBytes(payload), {"e30", {}, {}, 1});
    ASSERT_EQ(Shell(Quote(QPK_TOOL) + " extract " + Quote(package) + " --payload " + Quote(folder / "out.exe")), 0);
    EXPECT_EQ(ReadBytes(folder / "out.exe"), ReadBytes(payload));
}

}  // namespace
}  // namespace e2e
