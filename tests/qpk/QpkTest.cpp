#include "Commands.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "Base64.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"
#include "TestImage.h"

using namespace qpk;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

mode_t ModeOf(const fs::path& path) {
    struct stat info = {};
    lstat(path.c_str(), &info);
    return info.st_mode;
}

struct Result {
    int status;
    std::string out;
    std::string err;
};

// A stream whose every write fails, as on a full disk.
class FullBuffer : public std::streambuf {
protected:
    int overflow(int) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
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

        signedPackage = SignedPackageWith(Certificate(kSignatureLength));
        WriteFile(folder / "signed.exe", signedPackage);

        picture = Text("BM fake picture");
        icon = Bytes{0, 0, 1, 0, 1, 0, 0xFF};
        WriteFile(folder / "picture.bmp", picture);
        WriteFile(folder / "icon.ico", icon);
        WriteFile(folder / "params.json", Text("{\"ResellerId\":\"7\"}"));
    }

    void TearDown() override { fs::remove_all(folder); }

    // A WIN_CERTIFICATE of length bytes.
    static Bytes Certificate(std::uint32_t length) {
        Bytes certificate(length, 0x5E);
        PutU32(certificate, 0, length);
        PutU16(certificate, 4, 0x0200);
        PutU16(certificate, 6, 0x0002);
        return certificate;
    }

    // Launcher, payload, the zeros that align the table, then the table.
    Bytes SignedPackageWith(const Bytes& table) const {
        Bytes bytes = launcher;
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        bytes.resize(kTableOffset, 0);
        bytes.insert(bytes.end(), table.begin(), table.end());
        PutU32(bytes, 0x80 + pe::kSecurityAddressOffset, kTableOffset);
        PutU32(bytes, 0x80 + pe::kSecuritySizeOffset, static_cast<std::uint32_t>(table.size()));
        return bytes;
    }

    std::vector<std::string> Expand(std::vector<std::string> args) const {
        for (std::string& arg : args)
            if (arg.rfind("@", 0) == 0) arg = (folder / arg.substr(1)).string();
        return args;
    }

    Result Run(std::vector<std::string> args) {
        std::ostringstream out, err;
        const int status = qpk::RunQpk(Expand(std::move(args)), out, err);
        return {status, out.str(), err.str()};
    }

    // Runs with standard output on a full disk.
    Result RunToFullOutput(std::vector<std::string> args) {
        FullBuffer full;
        std::ostream out(&full);
        std::ostringstream err;
        const int status = qpk::RunQpk(Expand(std::move(args)), out, err);
        return {status, "", err.str()};
    }

    Json InspectJson(const std::string& name) {
        const Result result = Run({"inspect", "@" + name, "--json"});
        return Json::parse(result.out);
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
    static constexpr std::uint32_t kTableOffset = 0x938;
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

TEST_F(Qpk, BuildReportsAnUnalignedPayloadAndPadsItOnRequest) {
    const struct {
        const char* name;
        std::size_t payloadSize;
        bool pad;
        std::size_t zeros;  // appended by build
        bool warned;
    } cases[] = {{"Aligned", 0x338, false, 0, false},
                 {"Unaligned", 0x333, false, 0, true},
                 {"UnalignedPadded", 0x333, true, 5, false},
                 {"AlignedPadded", 0x338, true, 0, false}};
    for (const auto& c : cases) {
        Bytes installer = payload;
        installer.resize(c.payloadSize, 0x77);
        WriteFile(folder / "payload.exe", installer);
        std::vector<std::string> args = {"build", "--launcher", "@launcher.exe", "--payload", "@payload.exe", "-o",
                                         "@out.exe"};
        if (c.pad) args.push_back("--pad");
        const Result result = Run(args);
        ASSERT_EQ(result.status, 0) << c.name << ": " << result.err;
        Bytes expected = launcher;
        expected.insert(expected.end(), installer.begin(), installer.end());
        expected.resize(expected.size() + c.zeros, 0);
        EXPECT_EQ(ReadFile(folder / "out.exe"), expected) << c.name;
        if (c.warned)
            EXPECT_NE(result.err.find("warning: the package does not end on an 8-byte boundary: signing will add 5 zero "
                                      "bytes"),
                      std::string::npos)
                << c.name << ": " << result.err;
        else
            EXPECT_EQ(result.err, "") << c.name;
    }
}

TEST_F(Qpk, BuildRefusesPayloadsTheLauncherWouldRefuse) {
    // Sparse files: nothing of their size is written, and nothing is copied.
    TestImage image;
    image.sections = {{0x400, 0x80000000u - 0x400}};
    Bytes bigLauncher = image.Headers();
    WriteFile(folder / "big-launcher.exe", bigLauncher);
    fs::resize_file(folder / "big-launcher.exe", 0x80000000u);
    WriteFile(folder / "2g.exe", payload);
    fs::resize_file(folder / "2g.exe", 0x80000000u);
    WriteFile(folder / "largest.exe", payload);
    fs::resize_file(folder / "largest.exe", 0x7FFFFFF0u);

    const struct {
        const char* name;
        const char* launcherFile;
        const char* payloadFile;
        const char* message;
    } cases[] = {
        {"PayloadOver2GiB", "@launcher.exe", "@2g.exe",
         "the payload (2147483648 bytes) is over the launcher's limit of 2147483647 bytes"},
        {"NoRoomForTheSignature", "@big-launcher.exe", "@largest.exe",
         "the package (4294967280 bytes) would not stay below 4 GiB once signed and stamped"},
    };
    for (const auto& c : cases) {
        const Result result = Run({"build", "--launcher", c.launcherFile, "--payload", c.payloadFile, "-o", "@out.exe"});
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << ": " << result.err;
        EXPECT_FALSE(fs::exists(folder / "out.exe")) << c.name;
    }
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
    WriteFile(folder / "launcher-cut.exe", Bytes(launcher.begin(), launcher.begin() + 0x500));
    WriteFile(folder / "stamped.exe", signedPackage);
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@stamped.exe", "--params-text", "e30"}).status, 0);
    WriteFile(folder / "big.bin", Bytes(trailer::kMaxBlobSize + 1, 1));
    const Result result = Run(GetParam().args);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(GetParam().error), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << "one line: " << result.err;
    EXPECT_EQ(result.out, "");
    ExpectNoOutputBut({"big.bin", "launcher+tail.exe", "launcher-cut.exe", "stamped.exe"});
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
        RefusalCase{"TruncatedLauncher",
                    {"build", "--launcher", "@launcher-cut.exe", "--payload", "@payload.exe", "-o", "@o"},
                    "is truncated: its image ends at 1536, but the file has 1280 bytes"},
        RefusalCase{"PayloadNotPe", {"build", "--launcher", "@launcher.exe", "--payload", "@params.json", "-o", "@o"},
                    "not a PE file"},
        RefusalCase{"StampUnsigned", {"stamp", "@launcher.exe", "-o", "@o"}, "The file does not have a digital signature"},
        RefusalCase{"StampTwice", {"stamp", "@stamped.exe", "-o", "@o"}, "already carries per-download data"},
        RefusalCase{"PictureOverLimit", {"stamp", "@signed.exe", "-o", "@o", "--picture", "@big.bin"}, "20 MiB"},
        RefusalCase{"ParamsOverLimit", {"stamp", "@signed.exe", "-o", "@o", "--params", "@big.bin"}, "20 MiB"},
        RefusalCase{"ParamsNotBase64", {"stamp", "@signed.exe", "-o", "@o", "--params-text", "e30 x"},
                    "stop decoding at character 3"},
        RefusalCase{"ParamsLoseTheirLastCharacter", {"stamp", "@signed.exe", "-o", "@o", "--params-text", "QUJDR"},
                    "the launcher would drop its last character"},
        // The value of --params-text is whatever follows it.
        RefusalCase{"HelpAsParamsText", {"stamp", "@signed.exe", "-o", "@o", "--params-text", "--help"},
                    "stop decoding at character 0"},
        RefusalCase{"HelpAsParamsTextAfterEquals", {"stamp", "@signed.exe", "-o", "@o", "--params-text=--help"},
                    "stop decoding at character 0"},
        RefusalCase{"PictureInVersion1", {"stamp", "@signed.exe", "-o", "@o", "--picture", "@picture.bmp", "--format", "1"},
                    "version 1"},
        RefusalCase{"UnwritableOutput", {"stamp", "@signed.exe", "-o", "@no/such/folder/o"}, "cannot create"},
        RefusalCase{"OutputIsAFolder", {"stamp", "@signed.exe", "-o", "@."}, "is a directory"},
        RefusalCase{"StripUnstamped", {"strip", "@signed.exe", "-o", "@o"}, "no per-download data"},
        RefusalCase{"StripMissingFile", {"strip", "@none.exe", "-o", "@o"}, "cannot open"},
        RefusalCase{"InspectMissingFile", {"inspect", "@none.exe"}, "cannot open"},
        RefusalCase{"InspectAfterDashes", {"inspect", "--", "---"}, "cannot open ---"},
        RefusalCase{"ExtractMissingFile", {"extract", "@none.exe", "--payload", "@o"}, "cannot open"},
        RefusalCase{"ExtractUnwritable", {"extract", "@stamped.exe", "--params", "@no/such/o"}, "cannot create"},
        RefusalCase{"ExtractPictureOfVersion1", {"extract", "@stamped.exe", "--picture", "@o"},
                    "Unsupported QPK package version for ExtractPicture"},
        // All or nothing: a part that fails leaves no other part behind.
        RefusalCase{"ExtractPayloadThenUnwritableParams",
                    {"extract", "@stamped.exe", "--payload", "@p", "--params", "@no/such/o"}, "cannot create"},
        RefusalCase{"ExtractPayloadThenPictureOfVersion1",
                    {"extract", "@stamped.exe", "--payload", "@p", "--params", "@j", "--picture", "@b"},
                    "Unsupported QPK package version for ExtractPicture"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* error;  // part of the message
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class QpkUsage : public Qpk, public testing::WithParamInterface<UsageCase> {};

TEST_P(QpkUsage, ExitsWithStatus2AndAHint) {
    const Result result = Run(GetParam().args);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(GetParam().error), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--help)"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
    ExpectNoOutputBut();
}

INSTANTIATE_TEST_SUITE_P(
    Table, QpkUsage,
    testing::Values(UsageCase{"DashesAlone", {"inspect", "--"}, "inspect needs PACKAGE"},
                    UsageCase{"ThreeDashes", {"inspect", "---"}, "unknown option ---"},
                    UsageCase{"ThreeDashesAmongArguments", {"stamp", "@signed.exe", "-o", "@o", "---"},
                              "unknown option ---"},
                    UsageCase{"DashesThenOption", {"stamp", "@signed.exe", "--", "-o", "@o"}, "stamp needs PACKAGE"},
                    UsageCase{"UnknownOption", {"stamp", "@signed.exe", "-o", "@o", "--colour"},
                              "unknown option --colour"},
                    UsageCase{"UnknownShortOption", {"strip", "@signed.exe", "-x"}, "unknown option -x"},
                    UsageCase{"MissingValue", {"stamp", "@signed.exe", "-o"}, "option -o needs a value"},
                    UsageCase{"MissingLongValue", {"stamp", "@signed.exe", "-o", "@o", "--picture"},
                              "option --picture needs a value"},
                    UsageCase{"ValueForAFlag", {"inspect", "@signed.exe", "--json=yes"}, "option --json takes no value"},
                    UsageCase{"GivenTwice", {"strip", "@signed.exe", "-o", "@a", "-o", "@b"}, "option -o given twice"},
                    UsageCase{"BadFormat", {"stamp", "@signed.exe", "-o", "@o", "--format", "3"}, "--format is 1 or 2"},
                    UsageCase{"BothParams",
                              {"stamp", "@signed.exe", "-o", "@o", "--params", "@params.json", "--params-text", "e30"},
                              "not both"},
                    UsageCase{"NothingToExtract", {"extract", "@signed.exe"}, "at least one of"},
                    UsageCase{"ExtractToOneFileTwice", {"extract", "@signed.exe", "--params", "@x", "--icon", "@x"},
                              "is named twice"},
                    UsageCase{"BuildWithoutPayload", {"build", "--launcher", "@launcher.exe", "-o", "@o"},
                              "build needs"}),
    [](const testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

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

TEST_F(Qpk, SignatureEntryWithoutItsAlignmentZeros) {
    // The signing tool left the 5 zeros that align the entry out of dwLength.
    Bytes table = Certificate(kSignatureLength - 5);
    table.resize(kSignatureLength, 0);
    const Bytes package = SignedPackageWith(table);
    WriteFile(folder / "signed.exe", package);
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v1.exe", "--params-text", "QUJD"}).status, 0);
    const Json json = InspectJson("v1.exe");
    EXPECT_EQ(json["accepted"], true) << json;
    EXPECT_EQ(json["signatureLength"], kSignatureLength - 5);
    EXPECT_EQ(json["signatureSize"], kSignatureLength);  // the text starts behind the zeros
    EXPECT_EQ(json["params"], "ABC");
    ASSERT_EQ(Run({"strip", "@v1.exe", "-o", "@back.exe"}).status, 0);
    EXPECT_EQ(ReadFile(folder / "back.exe"), package);
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

// A hostile layout the launcher itself takes: no sections, so the payload
// starts at 0, and a certificate table at 0x40, inside the headers; its trailer
// claims a signature entry of 8 bytes, which ends before the security entry's
// size field.
TEST_F(Qpk, TableInsideTheHeadersIsRefusedBeforeAnythingIsWritten) {
    TestImage image;
    Bytes bytes = image.Headers();
    bytes.resize(0x200, 0);
    PackageTrailer fields;
    fields.version = 1;
    fields.signatureSize = 8;
    const Bytes trailer = EncodeTrailer(fields);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    const Bytes entry = Certificate(8);
    std::copy(entry.begin(), entry.end(), bytes.begin() + 0x40);
    PutU32(bytes, 0x80 + pe::kSecurityAddressOffset, 0x40);
    PutU32(bytes, 0x80 + pe::kSecuritySizeOffset, static_cast<std::uint32_t>(bytes.size() - 0x40));
    WriteFile(folder / "hostile.exe", bytes);

    const Result stamp = Run({"stamp", "@hostile.exe", "-o", "-", "--replace", "--params-text", "e30"});
    EXPECT_EQ(stamp.status, 1);
    EXPECT_EQ(stamp.out, "");
    EXPECT_NE(stamp.err.find("the certificate table starts at 64, inside the headers"), std::string::npos) << stamp.err;
    EXPECT_EQ(Run({"strip", "@hostile.exe", "-o", "-"}).out, "");

    const Result inspect = Run({"inspect", "@hostile.exe", "--json"});
    EXPECT_EQ(inspect.status, 1);
    const Json json = Json::parse(inspect.out);
    EXPECT_EQ(json["accepted"], false);
    EXPECT_EQ(json["launcherAccepts"], true);
    EXPECT_EQ(json["message"].get<std::string>().rfind("the certificate table starts at 64", 0), 0u) << json;
}

TEST_F(Qpk, InspectReportsLayoutTrailerAndParameters) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v2.exe", "--params", "@params.json", "--picture", "@picture.bmp"})
                  .status,
              0);
    const Result v2 = Run({"inspect", "@v2.exe", "--json"});
    EXPECT_EQ(v2.status, 0);
    EXPECT_EQ(Json::parse(v2.out), Json::parse(R"({"accepted": true, "launcherAccepts": true, "fileSize": 2487,
        "imageEnd": 1536, "payloadOffset": 1536, "payloadSize": 824, "certificateOffset": 2360,
        "certificateSize": 127, "version": 2, "signatureSize": 64, "paramsSize": 24, "pictureSize": 15,
        "iconSize": 0, "params": "{\"ResellerId\":\"7\"}", "paramsEncoding": "utf-8", "signatureLength": 64,
        "signedTableSize": 64})"));

    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v1.exe", "--params-text", "QUJD"}).status, 0);
    const Result v1 = Run({"inspect", "@v1.exe"});
    EXPECT_EQ(v1.status, 0);
    EXPECT_NE(v1.out.find("version: 1\nsignatureSize: 64\nparamsSize: 4\nparams: \"ABC\"\n"), std::string::npos)
        << v1.out;
    EXPECT_NE(v1.out.find("the launcher accepts this package\n"), std::string::npos) << v1.out;
}

TEST_F(Qpk, InspectShowsParametersAsTextOnlyWhenTheyAreUtf8) {
    const struct {
        const char* name;
        Bytes params;
        const char* encoding;
    } cases[] = {{"Ascii", Text("{\"a\":1}"), "utf-8"},
                 {"Utf8", Text("{\"n\":\"\xC3\x9Cn\xC3\xAF\"}"), "utf-8"},
                 {"Latin1", Text("{\"n\":\"\xDCn\xEF\"}"), "base64"},
                 {"Binary", Bytes{0x00, 0x80, 0xFF, 0xFE, 0x7F}, "base64"},
                 {"CutSequence", Text("\xE2\x82"), "base64"}};
    for (const auto& c : cases) {
        WriteFile(folder / "p.bin", c.params);
        ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@s.exe", "--params", "@p.bin"}).status, 0) << c.name;
        const Result result = Run({"inspect", "@s.exe", "--json"});
        EXPECT_EQ(result.status, 0) << c.name;
        Json json;
        ASSERT_NO_THROW(json = Json::parse(result.out)) << c.name << ": " << result.out;
        EXPECT_EQ(json["paramsEncoding"], c.encoding) << c.name;
        const std::string shown = json["params"];
        if (std::string(c.encoding) == "utf-8")
            EXPECT_EQ(Text(shown), c.params) << c.name;
        else
            EXPECT_EQ(Base64Decode(shown), c.params) << c.name;
        fs::remove(folder / "s.exe");
    }
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
    const Json json = Json::parse(result.out);
    EXPECT_EQ(json["accepted"], false);
    EXPECT_EQ(json["launcherAccepts"], false);
    EXPECT_EQ(json["message"], GetParam().message);
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
    for (const char* command : {"build", "stamp", "strip", "inspect", "extract", "verify"}) {
        const Result result = Run({command, "--help"});
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.out.rfind(std::string("usage: qpk ") + command, 0), 0u) << result.out;
    }
    EXPECT_EQ(Run({"frobnicate"}).status, 2);
    EXPECT_EQ(Run({}).status, 2);
}

TEST_F(Qpk, OutputThatCannotBeWrittenIsAFailure) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@v1.exe", "--params-text", "QUJD"}).status, 0);
    const std::vector<std::string> commands[] = {
        {"inspect", "@v1.exe"},
        {"inspect", "@v1.exe", "--json"},
        {"stamp", "@signed.exe", "-o", "-", "--params-text", "e30"},
        {"strip", "@v1.exe", "-o", "-"},
        {"extract", "@v1.exe", "--payload", "-"},
        {"verify", "@v1.exe"},
        {"build", "--help"},
        {"--help"},
    };
    for (const auto& args : commands) {
        const Result result = RunToFullOutput(args);
        EXPECT_EQ(result.status, 1) << args[0] << " " << args.back();
        EXPECT_NE(result.err.find("cannot write to standard output"), std::string::npos) << args[0] << ": " << result.err;
    }
    // The real program, with its buffered standard output on a full device.
    const std::string command = "'" QPK_TOOL "' inspect '" + (folder / "v1.exe").string() + "' >/dev/full 2>/dev/null";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// Reads a FIFO while a stamp writes into it through path (the FIFO itself, or
// a link to it); returns what came through and the stamp's result.
std::pair<Bytes, Result> ReadThroughFifo(const fs::path& fifo, const std::function<Result()>& stamp) {
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (reader < 0) return {};
    std::atomic<bool> done{false};
    Result written{};
    std::thread writer([&] {
        written = stamp();
        done = true;
    });
    Bytes received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::uint8_t buffer[4096];
        const ssize_t got = read(reader, buffer, sizeof buffer);
        if (got > 0) received.insert(received.end(), buffer, buffer + got);
        if ((got == 0 && done) || std::chrono::steady_clock::now() > deadline) break;
        pollfd wait = {reader, POLLIN, 0};
        poll(&wait, 1, 10);
    }
    writer.join();
    close(reader);
    return {received, written};
}

// What is at the output's path decides how it is written.
TEST_F(Qpk, OutputsWriteThroughDevicesAndFifosAndRefuseLinksToFiles) {
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@expected.exe", "--params-text", "e30"}).status, 0);
    const Bytes expected = ReadFile(folder / "expected.exe");
    auto stamp = [&](const fs::path& out) {
        return Run({"stamp", "@signed.exe", "-o", out.string(), "--params-text", "e30"});
    };

    // A character device: a null device of our own where we may make one, so
    // that no fault here can touch the system's.
    fs::path device = folder / "null";
    if (geteuid() != 0 || mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) device = "/dev/null";
    EXPECT_EQ(stamp(device).status, 0);
    EXPECT_TRUE(S_ISCHR(ModeOf(device)));

    // A FIFO, and a link to one (as /dev/stdout is): read while qpk writes.
    const fs::path fifo = folder / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("fifo", folder / "fifo-link");
    for (const fs::path& path : {fifo, folder / "fifo-link"}) {
        const auto [received, written] = ReadThroughFifo(fifo, [&] { return stamp(path); });
        EXPECT_EQ(written.status, 0) << path << ": " << written.err;
        EXPECT_EQ(received, expected) << path;
    }
    EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));
    EXPECT_TRUE(S_ISLNK(ModeOf(folder / "fifo-link")));

    // A link to a file, to nothing, or in a loop: refused, nothing changes.
    WriteFile(folder / "old.exe", Text("old"));
    fs::create_symlink("old.exe", folder / "link.exe");
    fs::create_symlink("new.exe", folder / "dangling.exe");
    fs::create_symlink("loop-b", folder / "loop-a");
    fs::create_symlink("loop-a", folder / "loop-b");
    const struct {
        const char* name;
        const char* message;
    } refused[] = {{"link.exe", "it is a symbolic link, not to a device or FIFO"},
                   {"dangling.exe", "it is a symbolic link, not to a device or FIFO"},
                   {"loop-a", "Too many levels of symbolic links"}};
    for (const auto& c : refused) {
        const Result result = stamp(folder / c.name);
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << ": " << result.err;
        EXPECT_TRUE(S_ISLNK(ModeOf(folder / c.name))) << c.name;
    }
    EXPECT_EQ(ReadFile(folder / "old.exe"), Text("old"));
    EXPECT_FALSE(fs::exists(folder / "new.exe"));
}

TEST_F(Qpk, OutputsKeepOrTakeTheirMode) {
    const mode_t saved = umask(022);
    const struct {
        const char* name;
        mode_t input;
        std::optional<mode_t> existing;  // the output's mode before, if it exists
        mode_t expected;
    } cases[] = {{"NewFromPrivate", 0600, std::nullopt, 0600},
                 {"NewFromExecutable", 0775, std::nullopt, 0755},
                 {"ExistingKeepsItsMode", 0644, 0640, 0640},
                 {"ExistingReadOnly", 0600, 0444, 0444}};
    for (const auto& c : cases) {
        fs::remove(folder / "out.exe");
        chmod((folder / "signed.exe").c_str(), c.input);
        if (c.existing) {
            WriteFile(folder / "out.exe", Text("old"));
            chmod((folder / "out.exe").c_str(), *c.existing);
        }
        EXPECT_EQ(Run({"stamp", "@signed.exe", "-o", "@out.exe", "--params-text", "e30"}).status, 0) << c.name;
        EXPECT_EQ(ModeOf(folder / "out.exe") & 07777, c.expected) << c.name;
    }
    umask(saved);
    // Extracted data files take the package's mode without execute bits.
    chmod((folder / "signed.exe").c_str(), 0750);
    ASSERT_EQ(Run({"stamp", "@signed.exe", "-o", "@s.exe", "--params-text", "e30"}).status, 0);
    ASSERT_EQ(Run({"extract", "@s.exe", "--payload", "@p", "--params", "@j"}).status, 0);
    EXPECT_EQ(ModeOf(folder / "p") & 0777, 0750u & ~saved);
    EXPECT_EQ(ModeOf(folder / "j") & 0777, 0640u & ~saved);
}

TEST_F(Qpk, OutputIsSyncedBeforeItIsRenamed) {
    // The real program under strace: the file's fsync comes before the
    // rename, and the folder's after it. LeakSanitizer (in the sanitizer
    // build) cannot work under a tracer, so it is off for this run.
    const fs::path trace = folder / "trace.txt";
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -f -e trace=fsync,rename,renameat,renameat2 -o '" +
                                trace.string() + "' '" +
                                QPK_TOOL "' stamp '" + (folder / "signed.exe").string() + "' -o '" +
                                (folder / "out.exe").string() + "' --params-text e30 >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream lines(trace);
    std::vector<std::string> calls;
    for (std::string line; std::getline(lines, line);)
        for (const char* call : {"fsync(", "rename"})
            if (line.find(call) != std::string::npos) calls.push_back(call);
    EXPECT_EQ(calls, (std::vector<std::string>{"fsync(", "rename", "fsync("}));
}

TEST_F(Qpk, OutputNamesAsLongAsTheFileSystemAllows) {
    const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    ASSERT_GT(longest, 0);
    const std::string name(static_cast<std::size_t>(longest), 'n');
    EXPECT_EQ(Run({"stamp", "@signed.exe", "-o", "@" + name, "--params-text", "e30"}).status, 0);
    EXPECT_TRUE(fs::exists(folder / name));
    const Result tooLong = Run({"stamp", "@signed.exe", "-o", "@" + name + "n", "--params-text", "e30"});
    EXPECT_EQ(tooLong.status, 1);
    EXPECT_NE(tooLong.err.find("File name too long"), std::string::npos) << tooLong.err;
}

TEST_F(Qpk, InputsThatAreNoRegularFileAreRefusedWithoutWaiting) {
    const fs::path fifo = folder / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    Result result{};
    std::thread inspect([&] {
        result = Run({"inspect", fifo.string()});
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool finishedInTime = done;
    if (!finishedInTime) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // let a blocked open return
    inspect.join();
    EXPECT_TRUE(finishedInTime) << "inspect waited for a writer";
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("not a regular file"), std::string::npos) << result.err;
}

}  // namespace
