#include <windows.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>

#include "Base64.h"
#include "PackageTrailer.h"
#include "PeFormatException.h"
#include "PeReader.h"
#include "TempPaths.h"

using namespace qpk;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

void Write(const std::wstring& path, const Bytes& bytes) {
    std::ofstream(path.c_str(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Bytes Read(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A package file: 0x400 bytes standing for image and payload, then the table.
class PackageData : public testing::Test {
protected:
    PeReader Package(const Bytes& icon, const Bytes& picture, const std::string& text, std::int32_t version = 2) {
        PackageTrailer t;
        t.iconSize = static_cast<std::int32_t>(icon.size());
        t.pictureSize = static_cast<std::int32_t>(picture.size());
        t.paramsSize = static_cast<std::int32_t>(text.size());
        t.signatureSize = 0x20;
        t.version = version;
        Bytes file(0x400 + 0x20, 0x5A);
        for (const Bytes& part : {icon, picture, Text(text), EncodeTrailer(t)}) file.insert(file.end(), part.begin(), part.end());
        Write(packagePath, file);
        ImageLayout layout;
        layout.certificateOffset = 0x400;
        layout.certificateSize = static_cast<std::uint32_t>(file.size() - 0x400);
        return PeReader(packagePath, layout);
    }

    void TearDown() override {
        for (const std::wstring& path : {packagePath, outPath}) DeleteFileW(path.c_str());
    }

    const std::wstring packagePath = MakeTempFilePath(L"package.exe");
    const std::wstring outPath = MakeTempFilePath(L"out.bin");
};

TEST_F(PackageData, WritesDecodedParametersReplacingAnOldFile) {
    Write(outPath, Bytes(100, 'x'));
    std::int32_t version = 0;
    Package(Text("i"), Text("p"), Base64Encode(Text("{\"a\":1}"))).WriteParams(version, outPath);
    EXPECT_EQ(version, 2);
    EXPECT_EQ(Read(outPath), Text("{\"a\":1}"));
}

TEST_F(PackageData, EmptyParametersGiveAnEmptyFile) {
    std::int32_t version = 0;
    Package({}, {}, "", 1).WriteParams(version, outPath);
    EXPECT_EQ(version, 1);
    ASSERT_TRUE(Exists(outPath));
    EXPECT_TRUE(Read(outPath).empty());
}

TEST_F(PackageData, NoFileIsTouchedWhenTheTrailerIsRefused) {
    const PeReader reader = Package(Text("i"), Text("p"), "QUJD", 3);
    std::int32_t version = 0;
    EXPECT_THROW(reader.WriteParams(version, outPath), PeFormatException);
    EXPECT_EQ(version, 3);
    EXPECT_FALSE(Exists(outPath));
}

TEST_F(PackageData, BlobsAreCopiedExactly) {
    const Bytes icon = {0, 1, 2, 0xFF, 0};
    const Bytes picture = Text("BM picture bytes");
    const PeReader reader = Package(icon, picture, "QUJD");
    EXPECT_TRUE(reader.ExtractIco(outPath));
    EXPECT_EQ(Read(outPath), icon);
    EXPECT_TRUE(reader.ExtractPicture(outPath));
    EXPECT_EQ(Read(outPath), picture);
}

TEST_F(PackageData, EmptyBlobLeavesAnExistingFileAlone) {
    Write(outPath, Text("old"));
    const PeReader reader = Package({}, Text("p"), "QUJD");
    EXPECT_FALSE(reader.ExtractIco(outPath));
    EXPECT_EQ(Read(outPath), Text("old"));
}

TEST_F(PackageData, UnwritableOutputIsASystemError) {
    const PeReader reader = Package(Text("icon"), Text("picture"), "QUJD");
    const std::wstring missing = MakeTempFilePath(L"missing") + L"\\file";
    const struct {
        const char* context;
        std::function<void()> call;
    } cases[] = {
        {"Failed to write installer parameters", [&] { std::int32_t v; reader.WriteParams(v, missing); }},
        {"Failed to write picture", [&] { reader.ExtractPicture(missing); }},
        {"Failed to write icon", [&] { reader.ExtractIco(missing); }},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.context << ": no error";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), ERROR_PATH_NOT_FOUND) << c.context;
            EXPECT_EQ(std::string(error.what()).rfind(c.context, 0), 0u) << error.what();
        }
    }
}

}  // namespace
