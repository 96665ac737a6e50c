// qpk verify on packages signed by osslsigncode, compared with its verdict.
#include <openssl/pkcs7.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Commands.h"
#include "ImageLayout.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"
#include "PeChecksum.h"
#include "TestImage.h"

using namespace qpk;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

Bytes ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

int Shell(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

struct Result {
    int status;
    std::string out;
};

Result Qpk(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = qpk::RunQpk(args, out, err);
    return {status, out.str() + err.str()};
}

// The line a check printed, "" when there is none.
std::string CheckLine(const std::string& out, const std::string& check) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(check + ": ", 0) == 0) return line;
    return "";
}

constexpr std::size_t kLfanew = 0x80;

// A package built in code (launcher image of 0x600 bytes, a payload of 0x333),
// signed by osslsigncode with a certificate of our own, then stamped and
// stripped by qpk. Made once for the suite.
class Verify : public testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = fs::temp_directory_path() / ("qpk-verify-" + std::to_string(getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        // A fixed serial keeps the signature's length the same from run to run.
        const struct {
            const char* name;
            const char* key;
        } keys[] = {{"signer", "rsa:2048"}, {"other", "ec -pkeyopt ec_paramgen_curve:prime256v1"}};
        for (const auto& key : keys)
            ASSERT_EQ(Shell(std::string("openssl req -x509 -nodes -set_serial 1 -days 3650 -subj '/CN=Package Test "
                                        "Signer' -newkey ") +
                            key.key + " -keyout " + Quote(folder / (std::string(key.name) + "-key.pem")) + " -out " +
                            Quote(folder / (std::string(key.name) + ".pem"))),
                      0);

        TestImage image;
        image.sections = {{0x400, 0x200}};
        Bytes built = image.Headers();
        built.resize(0x600, 0xCC);
        TestImage installer;
        installer.lfanew = 0x40;
        Bytes payload = installer.Headers();
        payload.resize(0x333, 0x77);
        built.insert(built.end(), payload.begin(), payload.end());
        WriteFile(folder / "built.exe", built);
        ASSERT_EQ(Shell("osslsigncode sign -certs " + Quote(folder / "signer.pem") + " -key " +
                        Quote(folder / "signer-key.pem") + " -in " + Quote(folder / "built.exe") + " -out " +
                        Quote(folder / "signed.exe")),
                  0);
        WriteFile(folder / "picture.bmp", Bytes(3000, 0x42));
        ASSERT_EQ(Qpk({"stamp", Path("signed.exe"), "-o", Path("stamped.exe"), "--params-text", "eyJhIjoxfQ",
                       "--picture", Path("picture.bmp")})
                      .status,
                  0);
        ASSERT_EQ(Qpk({"strip", Path("stamped.exe"), "-o", Path("stripped.exe")}).status, 0);
    }

    static void TearDownTestSuite() { fs::remove_all(folder); }

    static std::string Path(const std::string& name) { return (folder / name).string(); }

    static Result VerifyFile(const std::string& name, const std::string& ca = "signer.pem") {
        return Qpk({"verify", Path(name), "--ca", Path(ca)});
    }

    static bool OsslsigncodeVerifies(const std::string& name) {
        return Shell("osslsigncode verify -CAfile " + Quote(folder / "signer.pem") + " -in " + Quote(folder / name)) ==
               0;
    }

    // A copy of the signed package with one change.
    static std::string Changed(const std::string& name, const std::function<void(Bytes&)>& change) {
        Bytes bytes = ReadFile(folder / "signed.exe");
        change(bytes);
        WriteFile(folder / name, bytes);
        return name;
    }

    static std::uint32_t TableOffset() {
        return *LittleEndianView(ReadFile(folder / "signed.exe")).U32(kLfanew + pe::kSecurityAddressOffset);
    }

    static fs::path folder;
};

fs::path Verify::folder;

TEST_F(Verify, AgreesWithOsslsigncodeWhereItCanJudge) {
    const struct {
        std::string name;
        bool verifies;
    } cases[] = {
        {"signed.exe", true},
        {"stripped.exe", true},
        {Changed("image-byte.exe", [](Bytes& b) { b[0x500] ^= 1; }), false},
        {Changed("payload-byte.exe", [](Bytes& b) { b[0x700] ^= 1; }), false},
        {Changed("alignment-zero.exe", [](Bytes& b) { b[TableOffset() - 1] ^= 1; }), false},
    };
    for (const auto& c : cases) {
        const Result result = VerifyFile(c.name);
        EXPECT_EQ(result.status, c.verifies ? 0 : 1) << c.name << "\n" << result.out;
        EXPECT_EQ(OsslsigncodeVerifies(c.name), c.verifies) << c.name;
    }
    EXPECT_EQ(ReadFile(folder / "stripped.exe"), ReadFile(folder / "signed.exe"));
}

TEST_F(Verify, PassesOnAStampedPackageThatOsslsigncodeRefuses) {
    const Result result = VerifyFile("stamped.exe");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(CheckLine(result.out, "layout").find("passed: signed and stamped, version 2"), std::string::npos)
        << result.out;
    EXPECT_NE(CheckLine(result.out, "checksum").find("passed"), std::string::npos) << result.out;
    // The CheckSum sums the whole file, which stamping grows.
    EXPECT_FALSE(OsslsigncodeVerifies("stamped.exe"));
}

TEST_F(Verify, FailsOnAnyChangedByteInFrontOfTheTable) {
    const Bytes original = ReadFile(folder / "signed.exe");
    const std::uint32_t table = TableOffset();
    int passed = 0;
    for (std::uint32_t at = 0; at < table; ++at) {
        Bytes bytes = original;
        bytes[at] ^= 0x20;
        WriteFile(folder / "changed.exe", bytes);
        if (VerifyFile("changed.exe").status != 1) {
            ++passed;
            ADD_FAILURE() << "verify passed with byte " << at << " changed";
        }
        if (passed > 5) break;
    }
}

TEST_F(Verify, ReportsEachCheck) {
    const std::string checkSum = "checksum";
    const struct {
        const char* name;
        std::string file;
        std::string ca;
        std::vector<std::pair<std::string, std::string>> lines;  // check, start of its line
    } cases[] = {
        {"Signed", "signed.exe", "signer.pem",
         {{"signer", "signer: CN=Package Test Signer"},
          {"layout", "layout: passed: signed, without per-download data"},
          {"image hash", "image hash: passed: sha256 of the image and the payload matches"},
          {"signature", "signature: passed"},
          {"chain", "chain: passed: trusted through " + Path("signer.pem")},
          {checkSum, "checksum: passed: 0x"}}},
        {"OtherCertificateAuthority", "stamped.exe", "other.pem",
         {{"image hash", "image hash: passed"}, {"signature", "signature: passed"}, {"chain", "chain: FAILED: not trusted"}}},
        {"ImageChanged", Changed("image.exe", [](Bytes& b) { b[0x500] ^= 1; }), "signer.pem",
         {{"image hash", "image hash: FAILED: sha256 of the image and the payload differs"},
          {"signature", "signature: passed"}}},
        {"CheckSumChanged", Changed("checksum.exe", [](Bytes& b) { b[kLfanew + pe::kCheckSumOffset] ^= 1; }),
         "signer.pem", {{"image hash", "image hash: passed"}, {checkSum, "checksum: FAILED: 0x"}}},
        {"CheckSumNotSet", Changed("no-checksum.exe", [](Bytes& b) { PutU32(b, kLfanew + pe::kCheckSumOffset, 0); }),
         "signer.pem", {{checkSum, "checksum: passed: not set"}}},
        {"NoPkcs7", Changed("no-pkcs7.exe", [](Bytes& b) { b[TableOffset() + 8] ^= 0xFF; }), "signer.pem",
         {{"image hash", "image hash: FAILED: the signature entry holds no PKCS #7 structure"},
          {"signature", "signature: FAILED: not checked"}}},
        {"SignatureValueChanged", Changed("signature-value.exe", [](Bytes& b) { b[b.size() - 100] ^= 1; }), "signer.pem",
         {{"signature", "signature: FAILED"}}},
        {"StampedDataTheLauncherRefuses",
         [] {
             Bytes b = ReadFile(folder / "stamped.exe");
             PutU32(b, b.size() - trailer::kVersionBack, 3);
             WriteFile(folder / "version3.exe", b);
             return std::string("version3.exe");
         }(),
         "signer.pem",
         {{"layout", "layout: FAILED: the launcher refuses the per-download data: Unsupported QPK package version"},
          {"image hash", "image hash: passed"}}},
        {"NotSigned", "built.exe", "signer.pem",
         {{"layout", "layout: FAILED: The file does not have a digital signature"},
          {"image hash", "image hash: FAILED: not checked"}}},
    };
    for (const auto& c : cases) {
        const Result result = VerifyFile(c.file, c.ca);
        EXPECT_EQ(result.status, std::string(c.name) == "Signed" || std::string(c.name) == "CheckSumNotSet" ? 0 : 1)
            << c.name << "\n" << result.out;
        for (const auto& [check, start] : c.lines)
            EXPECT_EQ(CheckLine(result.out, check).rfind(start, 0), 0u) << c.name << ": " << check << "\n" << result.out;
    }
}

TEST_F(Verify, SignatureEntryWithoutItsAlignmentZeros) {
    // dwLength cut back to the end of the DER signature: the zeros behind it
    // still align the table, as some signing tools leave them.
    Bytes bytes = ReadFile(folder / "signed.exe");
    const std::uint32_t table = TableOffset();
    const std::uint32_t length = *LittleEndianView(bytes).U32(table);
    const unsigned char* cursor = bytes.data() + table + 8;
    PKCS7* parsed = d2i_PKCS7(nullptr, &cursor, length - 8);
    ASSERT_NE(parsed, nullptr);
    PKCS7_free(parsed);
    const auto exact = static_cast<std::uint32_t>(cursor - (bytes.data() + table));
    ASSERT_LT(exact, length) << "the signature fills its entry exactly: change the subject's length";
    ASSERT_LT(length - exact, 8u);
    PutU32(bytes, table, exact);
    // The CheckSum as that signing tool would have set it.
    const std::size_t checkSumAt = kLfanew + pe::kCheckSumOffset;
    PeChecksum checkSum(checkSumAt);
    checkSum.Add(bytes.data(), bytes.size());
    PutU32(bytes, checkSumAt, checkSum.Value());
    WriteFile(folder / "unpadded.exe", bytes);
    EXPECT_EQ(VerifyFile("unpadded.exe").status, 0) << VerifyFile("unpadded.exe").out;
    ASSERT_EQ(Qpk({"stamp", Path("unpadded.exe"), "-o", Path("unpadded-stamped.exe"), "--params-text", "e30"}).status,
              0);
    EXPECT_EQ(VerifyFile("unpadded-stamped.exe").status, 0) << VerifyFile("unpadded-stamped.exe").out;
}

TEST_F(Verify, SystemStoreAndJson) {
    // The test certificate is in no system store.
    const Result system = Qpk({"verify", Path("signed.exe")});
    EXPECT_EQ(system.status, 1);
    EXPECT_NE(CheckLine(system.out, "chain").find("FAILED: not trusted through the system's store"), std::string::npos)
        << system.out;

    const Result json = Qpk({"verify", Path("stamped.exe"), "--ca", Path("signer.pem"), "--json"});
    EXPECT_EQ(json.status, 0);
    const Json report = Json::parse(json.out);
    EXPECT_EQ(report["verified"], true);
    EXPECT_EQ(report["signer"], "CN=Package Test Signer");
    std::vector<std::string> names;
    for (const Json& check : report["checks"]) {
        names.push_back(check["check"]);
        EXPECT_EQ(check["passed"], true) << check;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"layout", "image hash", "signature", "chain", "checksum"}));

    EXPECT_EQ(Qpk({"verify", Path("signed.exe"), "--ca", Path("missing.pem")}).status, 1);
}

}  // namespace
