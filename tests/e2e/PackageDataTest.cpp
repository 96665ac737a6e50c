// Per-download data as the installer receives it: files in the temporary
// folder, byte for byte, and the parts of its command line that name them.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "Base64.h"
#include "Harness.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"

using namespace qpk;

namespace e2e {
namespace {


std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class PackageData : public testing::Test {
protected:
    void SetUp() override {
        folder = TestFolder();
        options = OptionsIn(folder);
        data.paramsText = Base64Encode(params);
        data.picture = Bytes("BM\x01\x02 picture");
        data.icon = std::vector<std::uint8_t>{0, 0, 1, 0, 0xFF, 0x80, 0, 7};
    }

    RunResult Run() { return RunProgram(BuildPackage(folder, ReadBytes(ProbeInstaller()), data), options); }

    std::string CommandLine() const { return ReadUtf16File(options.recordDir / "cmdline.bin"); }

    // A generated part for name_<guid>.ext in the temporary folder.
    std::string Part(const std::string& option, const std::string& stem, const std::string& extension) const {
        return option + "\"" + RegexLiteral(WindowsPath(options.tempDir) + "\\" + stem) + "_" + kGuidPattern +
               RegexLiteral(extension) + "\" ";
    }

    std::string CopyPart() const { return Part("", "setup", ".exe"); }

    // Names in the temporary folder, each with its GUID replaced by "*".
    std::multiset<std::string> TempFiles() const {
        std::multiset<std::string> names;
        for (const std::string& name : FileNames(options.tempDir))
            names.insert(std::regex_replace(name, std::regex(kGuidPattern), "*"));
        return names;
    }

    fs::path folder;
    RunOptions options;
    const std::vector<std::uint8_t> params = Bytes(R"({"ResellerId":"42","ProductName":"Ünïcode"})");
    StampData data;
};

TEST_F(PackageData, Version2HandsOverAllThreeFiles) {
    options.tail = "/S tail";
    const RunResult result = Run();
    ASSERT_EQ(result.status, 0) << result.log;
    std::smatch m;
    const std::string commandLine = CommandLine();
    ASSERT_TRUE(std::regex_match(commandLine, m,
                                 std::regex("\"" + CopyPart().substr(1) + Part("/pi=", "InstallerParams", ".json") +
                                            Part("/pic=", "picture", ".bmp") + Part("/ico=", "ico", ".ico") +
                                            "/S tail")))
        << commandLine;
    EXPECT_EQ((std::set<std::string>{m[2], m[3], m[4]}.size()), 3u) << "three different GUIDs";
    EXPECT_EQ(ReadBytes(options.recordDir / "pi.bin"), params);
    EXPECT_EQ(ReadBytes(options.recordDir / "pic.bin"), data.picture);
    EXPECT_EQ(ReadBytes(options.recordDir / "ico.bin"), data.icon);
    // The copy is deleted; the data files stay for the installer.
    EXPECT_EQ(TempFiles(), (std::multiset<std::string>{"InstallerParams_*.json", "ico_*.ico", "picture_*.bmp"}));
}

struct SwitchCase {
    const char* tail;
    const char* expectedParts;  // which generated parts remain: p, c (picture), i
};

class OwnSwitch : public PackageData, public testing::WithParamInterface<SwitchCase> {};

TEST_P(OwnSwitch, SuppressesOnlyItsOwnPart) {
    options.tail = GetParam().tail;
    const RunResult result = Run();
    ASSERT_EQ(result.status, 0) << result.log;
    const std::string parts = GetParam().expectedParts;
    std::string pattern = "\"" + CopyPart().substr(1);
    if (parts.find('p') != std::string::npos) pattern += Part("/pi=", "InstallerParams", ".json");
    if (parts.find('c') != std::string::npos) pattern += Part("/pic=", "picture", ".bmp");
    if (parts.find('i') != std::string::npos) pattern += Part("/ico=", "ico", ".ico");
    pattern += RegexLiteral(options.tail);
    EXPECT_TRUE(std::regex_match(CommandLine(), std::regex(pattern))) << CommandLine();
    // The parameters file is written whatever the switches say.
    EXPECT_EQ(TempFiles().count("InstallerParams_*.json"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, OwnSwitch,
                         testing::Values(SwitchCase{"/pi=C:\\mine.json", "ci"}, SwitchCase{"/pic=C:\\mine.bmp", "pi"},
                                         SwitchCase{"/ico=C:\\mine.ico", "pc"},
                                         SwitchCase{"/ico= /pic= /pi=", ""}, SwitchCase{"/pic /ico /pi", "pci"}),
                         [](const testing::TestParamInfo<SwitchCase>& info) {
                             return "Case" + std::to_string(info.index);
                         });

TEST_F(PackageData, Version1NeverExtractsPictureOrIcon) {
    data.version = 1;
    const RunResult result = Run();
    ASSERT_EQ(result.status, 0) << result.log;
    EXPECT_TRUE(std::regex_match(CommandLine(),
                                 std::regex("\"" + CopyPart().substr(1) + Part("/pi=", "InstallerParams", ".json"))))
        << CommandLine();
    EXPECT_EQ(ReadBytes(options.recordDir / "pi.bin"), params);
    EXPECT_EQ(TempFiles(), (std::multiset<std::string>{"InstallerParams_*.json"}));
}

TEST_F(PackageData, EmptyPictureGivesNoPartAndNoFile) {
    data.picture.clear();
    const RunResult result = Run();
    ASSERT_EQ(result.status, 0) << result.log;
    EXPECT_TRUE(std::regex_match(CommandLine(), std::regex("\"" + CopyPart().substr(1) +
                                                           Part("/pi=", "InstallerParams", ".json") +
                                                           Part("/ico=", "ico", ".ico"))))
        << CommandLine();
    EXPECT_EQ(TempFiles(), (std::multiset<std::string>{"InstallerParams_*.json", "ico_*.ico"}));
}

// A damaged trailer field and the message the user sees.
struct DamageCase {
    const char* name;
    std::size_t back;  // the field, counted back from the end of the file
    std::uint32_t value;
    const char* message;
};

class DamagedData : public PackageData, public testing::WithParamInterface<std::tuple<DamageCase, bool>> {};

TEST_P(DamagedData, OneBoxOrNothingAndNoInstaller) {
    const auto& [damage, silent] = GetParam();
    const fs::path package = BuildPackage(folder, ReadBytes(ProbeInstaller()), data);
    std::vector<std::uint8_t> bytes = ReadBytes(package);
    PutU32(bytes, bytes.size() - damage.back, damage.value);
    WriteBytes(package, bytes);
    options.tail = silent ? "/S" : "";
    const RunResult result = RunProgram(package, options);
    EXPECT_EQ(result.status, 1);
    if (silent) {
        ExpectNoBox(result);
    } else {
        ExpectFailureBox(result, "MessageBoxA", damage.message);
    }
    EXPECT_FALSE(fs::exists(options.recordDir / "cmdline.bin"));
}

using namespace trailer;
using namespace trailer_messages;

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedData,
    testing::Combine(testing::Values(DamageCase{"Magic", kMagicBack, 0x43495051 ^ 0x20, kNotPackage},
                                     DamageCase{"Version3", kVersionBack, 3, kParamsVersion},
                                     DamageCase{"Version0", kVersionBack, 0, kParamsVersion},
                                     DamageCase{"ParamsTooBig", kParamsSizeBack, 0x1400001, kParamsTooBig},
                                     DamageCase{"ParamsNegative", kParamsSizeBack, 0x80000000, kParamsTooBig},
                                     DamageCase{"PictureTooBig", kPictureSizeBack, 0x1400001, kPictureTooBig},
                                     DamageCase{"IconTooBig", kIconSizeBack, 0x1400001, kIconTooBig},
                                     DamageCase{"IconNegative", kIconSizeBack, 0x80000000, kIconTooBig},
                                     DamageCase{"SignatureNegative", kSignatureSizeBack, 0xFFFFF000, kCorrupt},
                                     DamageCase{"ParamsPastTheEnd", kParamsSizeBack, 0x10000, kCorrupt}),
                     testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<DamageCase, bool>>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_Silent" : "_Shown");
    });

// Blob sizes the parameters read accepts, but whose own operation refuses them.
TEST_F(PackageData, OversizedBlobsAreRefusedByTheirOwnOperation) {
    struct {
        std::size_t back;
        const char* message;
    } cases[] = {{kPictureSizeBack, kPictureTooBig}, {kIconSizeBack, kIconTooBig}};
    for (const auto& c : cases) {
        // The size goes one over the limit, and the signature size down by as
        // much, so that the parameters text (and the picture) stay where they are.
        const fs::path package = BuildPackage(folder, ReadBytes(ProbeInstaller()), data);
        std::vector<std::uint8_t> bytes = ReadBytes(package);
        const LittleEndianView view(bytes);
        const std::int32_t size = *view.I32(bytes.size() - c.back);
        const std::int32_t signature = *view.I32(bytes.size() - kSignatureSizeBack);
        const std::int32_t oversized = kMaxBlobSize + 1;
        PutU32(bytes, bytes.size() - c.back, static_cast<std::uint32_t>(oversized));
        PutU32(bytes, bytes.size() - kSignatureSizeBack, static_cast<std::uint32_t>(signature + size - oversized));
        WriteBytes(package, bytes);
        const RunResult result = RunProgram(package, options);
        EXPECT_EQ(result.status, 1);
        ASSERT_EQ(result.boxes.size(), 1u) << result.log;
        EXPECT_EQ(result.boxes[0].text, c.message);
    }
}

}  // namespace
}  // namespace e2e
