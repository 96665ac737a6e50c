// The linked launcher image as the loader and the shell see it.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>

#include "Harness.h"
#include "ImageLayout.h"
#include "LittleEndian.h"

using namespace qpk;

namespace e2e {
namespace {

std::string Objdump(const fs::path& image) {
    const std::string command = "i686-w64-mingw32-objdump -h -p '" + image.string() + "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    if (pipe != nullptr) pclose(pipe);
    return output;
}

std::vector<std::string> Matches(const std::string& text, const std::regex& pattern) {
    std::vector<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) found.push_back((*it)[1]);
    return found;
}

class Image : public testing::Test {
protected:
    const std::vector<std::uint8_t> bytes = ReadBytes(LauncherImage());
    const LittleEndianView view{bytes};
    const std::size_t nt = *view.U32(pe::kLfanewOffset);
    const std::string dump = Objdump(LauncherImage());
};

TEST_F(Image, Headers) {
    EXPECT_EQ(*view.U16(nt + 4), 0x014C);                  // i386
    EXPECT_EQ(*view.U16(nt + pe::kCharacteristicsOffset), 0x0102);
    EXPECT_EQ(*view.U16(nt + 20), 224);                    // SizeOfOptionalHeader
    EXPECT_EQ(*view.U16(nt + pe::kOptionalMagicOffset), pe::kPe32Magic);
    const std::size_t optional = nt + pe::kOptionalHeaderOffset;
    EXPECT_EQ(*view.U16(optional + 40), 5);  // MajorOperatingSystemVersion
    EXPECT_EQ(*view.U16(optional + 42), 1);
    EXPECT_EQ(*view.U16(optional + 48), 5);  // MajorSubsystemVersion
    EXPECT_EQ(*view.U16(optional + 50), 1);
    EXPECT_EQ(*view.U16(optional + 68), 2);  // IMAGE_SUBSYSTEM_WINDOWS_GUI
    EXPECT_NE(*view.U16(optional + 70) & 0x0040, 0);  // dynamic base
    EXPECT_NE(*view.U32(optional + 96 + 5 * 8 + 4), 0u);  // base relocations present
    EXPECT_EQ(*view.U32(nt + pe::kSecuritySizeOffset), 0u);  // bare: unsigned
}

TEST_F(Image, SectionsInOrderAndTheImageEndsTheFile) {
    const std::vector<std::string> names = Matches(dump, std::regex(R"(\n\s+\d+ (\.\w+)\s)"));
    const std::vector<std::string> expected = {".text", ".rdata", ".data", ".rsrc", ".reloc"};
    EXPECT_EQ(names, expected) << dump;

    MemorySource source(bytes);
    const PeHeaders headers = ReadPeHeaders(source);
    EXPECT_EQ(FindImageEnd(source, headers, bytes.size()), bytes.size());
}

TEST_F(Image, ImportsOnlyTheSystemLibraries) {
    const std::vector<std::string> dlls = Matches(dump, std::regex(R"(DLL Name: (\S+))"));
    const std::set<std::string> allowed = {"KERNEL32.dll", "USER32.dll", "SHELL32.dll", "ole32.dll", "msvcrt.dll"};
    EXPECT_FALSE(dlls.empty());
    for (const std::string& dll : dlls) EXPECT_TRUE(allowed.count(dll)) << dll;
}

}  // namespace
}  // namespace e2e
