#include "PeReader.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "TempPaths.h"

using namespace qpk;

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) ^ (i >> 9));
    return bytes;
}

void WriteFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path.c_str(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<std::uint8_t> ReadFile(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A package file: some image bytes, the payload, then a certificate table.
class Extraction : public testing::Test {
protected:
    void MakePackage(std::size_t payloadSize) {
        image_ = Pattern(0x1200, 1);
        payload_ = Pattern(payloadSize, 2);
        std::vector<std::uint8_t> file = image_;
        file.insert(file.end(), payload_.begin(), payload_.end());
        const std::vector<std::uint8_t> table = Pattern(0x300, 3);
        file.insert(file.end(), table.begin(), table.end());
        WriteFile(packagePath_, file);
    }

    ImageLayout Layout() const {
        ImageLayout layout;
        layout.payloadOffset = static_cast<std::uint32_t>(image_.size());
        layout.payloadSize = static_cast<std::int32_t>(payload_.size());
        layout.certificateOffset = static_cast<std::uint32_t>(image_.size() + payload_.size());
        layout.certificateSize = 0x300;
        return layout;
    }

    // The Win32 code of the system error ExtractInstaller raises, 0 when none.
    std::uint32_t ExtractError(const PeReader& reader, const std::wstring& to) {
        try {
            reader.ExtractInstaller(to);
        } catch (const std::system_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Failed to extract the installer", 0), 0u);
            return static_cast<std::uint32_t>(error.code().value());
        }
        return 0;
    }

    void TearDown() override {
        DeleteFileW(packagePath_.c_str());
        DeleteFileW(copyPath_.c_str());
    }

    const std::wstring packagePath_ = MakeTempFilePath(L"package.exe");
    const std::wstring copyPath_ = MakeTempFilePath(L"setup.exe");
    std::vector<std::uint8_t> image_, payload_;
};

class ExtractionSizes : public Extraction, public testing::WithParamInterface<std::size_t> {};

TEST_P(ExtractionSizes, CopiesThePayloadByteForByte) {
    MakePackage(GetParam());
    ASSERT_EQ(ExtractError(PeReader(packagePath_, Layout()), copyPath_), 0u);
    EXPECT_EQ(ReadFile(copyPath_), payload_);
}

INSTANTIATE_TEST_SUITE_P(AroundOneBuffer, ExtractionSizes, testing::Values(1, 1048575, 1048576, 1048577, 3145728 + 5));

TEST_F(Extraction, TruncatesAnExistingLongerFile) {
    MakePackage(1000);
    WriteFile(copyPath_, Pattern(5000, 9));
    ASSERT_EQ(ExtractError(PeReader(packagePath_, Layout()), copyPath_), 0u);
    EXPECT_EQ(ReadFile(copyPath_), payload_);
}

TEST_F(Extraction, DestinationInAMissingFolderFailsAndWritesNothing) {
    MakePackage(1000);
    const std::wstring folder = MakeTempFilePath(L"missing");
    const std::wstring to = folder + L"\\setup.exe";
    EXPECT_EQ(ExtractError(PeReader(packagePath_, Layout()), to), static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(Exists(folder));
}

TEST_F(Extraction, MissingSourceFails) {
    MakePackage(1000);
    const PeReader reader(packagePath_ + L".gone", Layout());
    EXPECT_EQ(ExtractError(reader, copyPath_), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Extraction, SourceThatEndsEarlyIsAnErrorNotAShortCopy) {
    MakePackage(2 * 1048576);
    // The file shrank: it now ends inside the payload.
    std::vector<std::uint8_t> file = ReadFile(packagePath_);
    file.resize(image_.size() + 1048576 + 100);
    WriteFile(packagePath_, file);
    EXPECT_EQ(ExtractError(PeReader(packagePath_, Layout()), copyPath_), static_cast<std::uint32_t>(ERROR_HANDLE_EOF));
}

}  // namespace
