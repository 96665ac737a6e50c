#include "Commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Base64.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"
#include "TestImage.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

struct Result {
    int status;
    std::string out;
    std::string err;
};

// A launcher image of 0x600 bytes (headers, one section), a payload, and a
// certificate table holding one 0x40-byte WIN_CERTIFICATE, built in code.
class Qpk : public testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("qpk-test-" + std::to_string(getpid()) + "-" +
                                              testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);

        TestImage image;
        image.sections = {{0x400, 0x200}};
        launcher = image.Headers();
        launcher.resize(0x600, 0xCC);
        WriteFile(folder / "launcher.exe", launcher);

        TestImage installer;
        installer.lfanew = 0x40;
        payload = installer.Headers();
        payload.resize(0x333, 0x77);
        WriteFile(folder / "payload.exe", payload);

        signedPackage = launcher;
        signedPackage.insert(signedPackage.end(), payload.begin(), payload.end());
        signedPackage.resize(0x938, 0);  // signing aligns the table to 8 bytes
        const std::uint32_t tableOffset = static_cast<std::uint32_t>(signedPackage.size());
        Bytes certificate(kSignatureLength, 0x5E);
        PutU32(certificate, 0, kSignatureLength);
        PutU16(certificate, 4, 0x0200);
        PutU16(certificate, 6, 0x0002);
        signedPackage.insert(signedPackage.end(), certificate.begin(), certificate.end());
        PutU32(signedPackage, 0x80 + pe::kSecurityAddressOffset, tableOffset);
        PutU32(signedPackage, 0x80 + pe::kSecuritySizeOffset, kSignatureLength);
        WriteFile(folder / "signed.exe", signedPackage);

        picture = Text("BM fake picture");
        icon = Bytes{0, 0, 1, 0, 1, 0, 0xFF};
        WriteFile(folder / "picture.bmp", picture);
        WriteFile(folder / "icon.ico", icon);
        WriteFile(folder / "params.json", Text("{\"ResellerId\":\"7\"}"));
    }

    void TearDown() override { fs::remove_all(folder); }

    Result Run(std::vector<std::string> args) {
        for (std::string& arg : args)
            if (arg.rfind("@", 0) == 0) arg = (folder / arg.substr(1)).string();
        std::ostringstream out, err;
        const int status = qpk::RunQpk(args, out, err);
        return {status, out.str(), err.str()};
    }

    // The folder holds exactly the names given plus the fixture's inputs.
    void ExpectNoOutputBut(std::vector<std::string> extra = {}) {
        std::vector<std::string> names = {"icon.ico", "launcher.exe", "params.json", "payload.exe", "picture.bmp",
                                          "signed.exe"};
        names.insert(names.end(), extra.begin(), extra.end());
        std::sort(names.begin(), names.end());
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, names);
    }

    static constexpr std::uint32_t kSignatureLength = 0x40;
    fs::path folder;
    Bytes launcher, payload, signedPackage, picture, icon;
};

TEST_F(Qpk, BuildAppendsThePayloadToTheBareImage) {
    ASSERT_EQ(Run({"build", "--launcher", "@launcher.exe", "--payload", "@payload.exe", "-o", "@out.exe"}).status, 0);
    Bytes expected = launcher;
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(ReadFile(folder / "out.exe"), expected);
}

TEST_F(Qpk, BuildTakesA64BitInstaller) {
    Bytes installer = payload;
    PutU16(installer, 0x40 + pe::kOptionalMagicOffset, 0x020B);
    WriteFile(folder / "payload.exe", installer);
    EXPECT_EQ(Run({"build", "--launcher", "@launcher.exe", "--payload", "@payload.exe", "-o", "@out.exe"}).status, 0);
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    const char* error;  // part of the message
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class QpkRefusal : public Qpk, public testing::WithParamInterface<RefusalCase> {};

TEST_P(QpkRefusal, FailsWithAClearMessageAndWritesNothing) {
    WriteFile(folder / "launcher+tail.exe", [&] { Bytes b = launcher; b.push_back(0); return b; }());
    WriteFile(folder / "stamped.exe", signedPackage);
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@stamped.exe", "--params-text", "e30"}).status, 0);
    WriteFile(folder / "big.bin", Bytes(trailer::kMaxBlobSize + 1, 1));
    const Result result = Run(GetParam().args);
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find(GetParam().error), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << "one line: " << result.err;
    ExpectNoOutputBut({"big.bin", "launcher+tail.exe", "stamped.exe"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, QpkRefusal,
    testing::Values(
        RefusalCase{"MissingLauncher", {"build", "--launcher", "@none.exe", "--payload", "@payload.exe", "-o", "@o"},
                    "cannot open"},
        RefusalCase{"SignedLauncher", {"build", "--launcher", "@signed.exe", "--payload", "@payload.exe", "-o", "@o"},
                    "is signed"},
        RefusalCase{"LauncherWithTail",
                    {"build", "--launcher", "@launcher+tail.exe", "--payload", "@payload.exe", "-o", "@o"},
                    "1 bytes behind its image end"},
        RefusalCase{"PayloadNotPe", {"build", "--launcher", "@launcher.exe", "--payload", "@params.json", "-o", "@o"},
                    "not a PE file"},
        RefusalCase{"StampUnsigned", {"stamp", "@launcher.exe", "-o", "@o"}, "The file does not have a digital signature"},
        RefusalCase{"StampTwice", {"stamp", "@stamped.exe", "-o", "@o"}, "already carries per-download data"},
        RefusalCase{"PictureOverLimit", {"stamp", "@signed.exe", "-o", "@o", "--picture", "@big.bin"}, "20 MiB"},
        RefusalCase{"ParamsOverLimit", {"stamp", "@signed.exe", "-o", "@o", "--params", "@big.bin"}, "20 MiB"},
        RefusalCase{"ParamsNotBase64", {"stamp", "@signed.exe", "-o", "@o", "--params-text", "e30 x"},
                    "stop decoding at character 3"},
        RefusalCase{"PictureInVersion1", {"stamp", "@signed.exe", "-o", "@o", "--picture", "@picture.bmp", "--format", "1"},
                    "version 1"},
        RefusalCase{"UnwritableOutput", {"stamp", "@signed.exe", "-o", "@no/such/folder/o"}, "cannot create"},
        RefusalCase{"StripUnstamped", {"strip", "@signed.exe", "-o", "@o"}, "no per-download data"},
        RefusalCase{"StripMissingFile", {"strip", "@none.exe", "-o", "@o"}, "cannot open"},
        RefusalCase{"InspectMissingFile", {"inspect", "@none.exe"}, "cannot open"},
        RefusalCase{"ExtractMissingFile", {"extract", "@none.exe", "--payload", "@o"}, "cannot open"},
        RefusalCase{"ExtractUnwritable", {"extract", "@stamped.exe", "--params", "@no/such/o"}, "cannot create"},
        RefusalCase{"ExtractPictureOfVersion1", {"extract", "@stamped.exe", "--picture", "@o"},
                    "Unsupported QPK package version for ExtractPicture"},
        RefusalCase{"UnknownOption", {"stamp", "@signed.exe", "-o", "@o", "--colour"}, "unknown option --colour"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(Qpk, StampVersion2AndStripBack) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v2.exe", "--params", "@params.json", "--picture", "@picture.bmp",
                   "--icon", "@icon.ico"})
                  .status,
              0);
    const Bytes stamped = ReadFile(folder / "v2.exe");
    const std::string text = Base64Encode(Text("{\"ResellerId\":\"7\"}"));
    ASSERT_EQ(text.find('='), std::string::npos);
    // Signed bytes unchanged, then icon, picture, text and the 24-byte trailer.
    ASSERT_EQ(stamped.size(), signedPackage.size() + icon.size() + picture.size() + text.size() + 24);
    Bytes expected = signedPackage;
    const std::uint32_t tableSize = kSignatureLength + static_cast<std::uint32_t>(stamped.size() - signedPackage.size());
    PutU32(expected, 0x80 + pe::kSecuritySizeOffset, tableSize);
    for (const Bytes& part : {icon, picture, Text(text)}) expected.insert(expected.end(), part.begin(), part.end());
    const Bytes trailer = {7, 0, 0, 0, 15, 0, 0, 0, static_cast<std::uint8_t>(text.size()), 0, 0, 0,
                           0x40, 0, 0, 0, 2, 0, 0, 0, 'Q', 'P', 'I', 'C'};
    expected.insert(expected.end(), trailer.begin(), trailer.end());
    EXPECT_EQ(stamped, expected);

    ASSERT_EQ(Run({"strip", "@v2.exe", "-o", "@back.exe"}).status, 0);
    EXPECT_EQ(ReadFile(folder / "back.exe"), signedPackage);
}

TEST_F(Qpk, VersionFollowsTheData) {
    const struct {
        std::vector<std::string> extra;
        int version;
    } cases[] = {{{"--params-text", "e30"}, 1}, {{"--format", "2"}, 2}, {{"--icon", "@icon.ico"}, 2}, {{}, 1}};
    for (const auto& c : cases) {
        std::vector<std::string> args = {"stamp", "@signed.exe", "-o", "@out.exe"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        fs::remove(folder / "out.exe");
        ASSERT_EQ(Run(args).status, 0);
        const Bytes stamped = ReadFile(folder / "out.exe");
        EXPECT_EQ(*LittleEndianView(stamped).I32(stamped.size() - trailer::kVersionBack), c.version);
    }
}

TEST_F(Qpk, ReplaceStripsFirst) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@first.exe", "--params-text", "QUJD", "--icon", "@icon.ico"}).status, 0);
    ASSERT_EQ(Run({"stamp", "@first.exe", "-o", "@again.exe", "--params-text", "e30", "--replace"}).status, 0);
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@once.exe", "--params-text", "e30"}).status, 0);
    EXPECT_EQ(ReadFile(folder / "again.exe"), ReadFile(folder / "once.exe"));
}

TEST_F(Qpk, StampToStandardOutput) {
    const Result result = Run({"stamp", "@signed.exe", "-o", "-", "--params-text", "e30", "--picture", "@picture.bmp"});
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@file.exe", "--params-text", "e30", "--picture", "@picture.bmp"}).status,
              0);
    EXPECT_EQ(Text(result.out), ReadFile(folder / "file.exe"));
}

TEST_F(Qpk, InspectReportsLayoutTrailerAndParameters) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v2.exe", "--params", "@params.json", "--picture", "@picture.bmp"})
                  .status,
              0);
    const Result v2 = Run({"inspect", "@v2.exe", "--json"});
    EXPECT_EQ(v2.status, 0);
    EXPECT_EQ(v2.out,
              "{\"accepted\": true, \"fileSize\": 2487, \"imageEnd\": 1536, \"payloadOffset\": 1536, "
              "\"payloadSize\": 824, \"certificateOffset\": 2360, \"certificateSize\": 127, \"signatureLength\": 64, "
              "\"version\": 2, \"signatureSize\": 64, \"paramsSize\": 24, \"pictureSize\": 15, \"iconSize\": 0, "
              "\"params\": \"{\\\"ResellerId\\\":\\\"7\\\"}\"}\n");

    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v1.exe", "--params-text", "QUJD"}).status, 0);
    const Result v1 = Run({"inspect", "@v1.exe", "--json"});
    EXPECT_EQ(v1.status, 0);
    EXPECT_NE(v1.out.find("\"version\": 1, \"signatureSize\": 64, \"paramsSize\": 4, \"params\": \"ABC\"}"),
              std::string::npos)
        << v1.out;
}

struct DamageCase {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* message;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class QpkInspectDamage : public Qpk, public testing::WithParamInterface<DamageCase> {};

TEST_P(QpkInspectDamage, ShowsTheLaunchersMessage) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v2.exe", "--params-text", "QUJD", "--icon", "@icon.ico"}).status, 0);
    Bytes bytes = ReadFile(folder / "v2.exe");
    GetParam().damage(bytes);
    WriteFile(folder / "v2.exe", bytes);
    const Result result = Run({"inspect", "@v2.exe", "--json"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find(std::string("\"accepted\": false, \"message\": \"") + GetParam().message + "\""),
              std::string::npos)
        << result.out;
}

using namespace image_messages;
using namespace trailer_messages;

INSTANTIATE_TEST_SUITE_P(
    Table, QpkInspectDamage,
    testing::Values(
        DamageCase{"NoMz", [](Bytes& b) { b[0] = 'X'; }, kMissingMz},
        DamageCase{"BadLfanew", [](Bytes& b) { PutU32(b, 60, 5000); }, kBadLfanew},
        DamageCase{"NoPe", [](Bytes& b) { b[0x80] = 'X'; }, kMissingPe},
        DamageCase{"Pe32Plus", [](Bytes& b) { PutU16(b, 0x80 + 24, 0x20B); }, kNotPe32},
        DamageCase{"Unsigned", [](Bytes& b) { PutU32(b, 0x80 + 156, 0); }, kNotSigned},
        DamageCase{"ByteAppended", [](Bytes& b) { b.push_back(0); }, kBadFileSize},
        DamageCase{"NoPayload", [](Bytes& b) { PutU32(b, 0x80 + 248 + 16, 0x900); }, kNoPayload},
        DamageCase{"Magic", [](Bytes& b) { b.back() = 'c'; }, kNotPackage},
        DamageCase{"Version", [](Bytes& b) { PutU32(b, b.size() - 8, 3); }, kParamsVersion},
        DamageCase{"ParamsTooBig", [](Bytes& b) { PutU32(b, b.size() - 16, 0x1400001); }, kParamsTooBig},
        DamageCase{"IconTooBig",
                   [](Bytes& b) {
                       PutU32(b, b.size() - 24, 0x1400001);
                       PutU32(b, b.size() - 12, 0x40 + 7 - 0x1400001);
                   },
                   kIconTooBig},
        DamageCase{"Corrupt", [](Bytes& b) { PutU32(b, b.size() - 12, 0x7FFFFFF0); }, kCorrupt}),
    [](const testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

TEST_F(Qpk, ExtractGivesBackWhatWentIn) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v2.exe", "--params", "@params.json", "--picture", "@picture.bmp",
                   "--icon", "@icon.ico"})
                  .status,
              0);
    ASSERT_EQ(Run({"extract", "@v2.exe", "--payload", "@p", "--params", "@j", "--picture", "@b", "--icon", "@i"}).status,
              0);
    Bytes paddedPayload = payload;
    paddedPayload.resize(0x938 - 0x600, 0);  // the installer as far as the table starts
    EXPECT_EQ(ReadFile(folder / "p"), paddedPayload);
    EXPECT_EQ(ReadFile(folder / "j"), Text("{\"ResellerId\":\"7\"}"));
    EXPECT_EQ(ReadFile(folder / "b"), picture);
    EXPECT_EQ(ReadFile(folder / "i"), icon);
}

TEST_F(Qpk, EveryCommandHasHelp) {
    for (const char* command : {"build", "stamp", "strip", "inspect", "extract"}) {
        const Result result = Run({command, "--help"});
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.out.rfind(std::string("usage: qpk ") + command, 0), 0u) << result.out;
    }
    EXPECT_EQ(Run({"frobnicate"}).status, 2);
}

}  // namespace
