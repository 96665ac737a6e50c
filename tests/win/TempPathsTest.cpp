#include "TempPaths.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <regex>

using namespace qpk;

namespace {

// Matches a 36-character GUID text: 8_4_4_4_12 lower-case hex digits.
const wchar_t* const kGuid = L"[0-9a-f]{8}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{12}";

TEST(FormatGuid, ExampleGuid) {
    const GUID guid = {0x1A2B3C4D, 0x5E6F, 0x7A8B, {0x9C, 0xAD, 0xBE, 0xCF, 0xD0, 0xE1, 0xF2, 0x03}};
    EXPECT_EQ(FormatGuid(guid), L"1a2b3c4d_5e6f_7a8b_9cad_becfd0e1f203");
}

TEST(FormatGuid, ZeroFillsEveryField) {
    const GUID guid = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 7}};
    EXPECT_EQ(FormatGuid(guid), L"00000001_0002_0003_0001_020304050607");
}

struct SuffixCase {
    const wchar_t* name;
    const wchar_t* stem;
    const wchar_t* extension;
};

class InsertUniqueSuffixTable : public testing::TestWithParam<SuffixCase> {};

// text as a regular expression that matches it literally.
std::wstring Literal(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        if (!std::iswalnum(c)) escaped += L'\\';
        escaped += c;
    }
    return escaped;
}

TEST_P(InsertUniqueSuffixTable, PutsTheGuidInFrontOfTheLastFullStop) {
    const std::wregex expected(Literal(GetParam().stem) + L"_" + kGuid + Literal(GetParam().extension));
    EXPECT_TRUE(std::regex_match(InsertUniqueSuffix(GetParam().name), expected))
        << testing::PrintToString(std::wstring(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Table, InsertUniqueSuffixTable,
                         testing::Values(SuffixCase{L"setup.exe", L"setup", L".exe"},
                                         SuffixCase{L"setup", L"setup", L""},
                                         SuffixCase{L".cfg", L"", L".cfg"},
                                         SuffixCase{L"a.b.exe", L"a.b", L".exe"},
                                         SuffixCase{L"name.", L"name", L"."},
                                         SuffixCase{L"", L"", L""},
                                         SuffixCase{L"InstallerParams.json", L"InstallerParams", L".json"},
                                         SuffixCase{L"my set.up.exe", L"my set.up", L".exe"}));

TEST(InsertUniqueSuffix, EveryCallGivesANewName) {
    EXPECT_NE(InsertUniqueSuffix(L"setup.exe"), InsertUniqueSuffix(L"setup.exe"));
}

TEST(GetFileName, TakesThePartAfterTheLastBackslash) {
    EXPECT_EQ(GetFileName(L"C:\\dir\\sub\\setup.exe"), L"setup.exe");
    EXPECT_EQ(GetFileName(L"setup.exe"), L"setup.exe");
    EXPECT_EQ(GetFileName(L"C:\\dir\\"), L"");
    EXPECT_EQ(GetFileName(L"C:/dir/setup.exe"), L"C:/dir/setup.exe");
}

TEST(MakeTempFilePath, JoinsTheTempFolderAndTheSuffixedName) {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring path = MakeTempFilePath(L"InstallerParams.json");
    EXPECT_EQ(path.rfind(temp, 0), 0u);
    EXPECT_TRUE(std::regex_match(path.substr(wcslen(temp)),
                                 std::wregex(std::wstring(L"InstallerParams_") + kGuid + L"\\.json")));
}

// A long folder within the first 260-character buffer. (Wine refuses
// temporary folders near or over 260 characters outright, so the second call
// for a longer one is not reached here.)
TEST(MakeTempFilePath, LongFolder) {
    wchar_t saved[32768];
    const DWORD savedLength = GetEnvironmentVariableW(L"TMP", saved, 32768);
    const std::wstring longFolder = L"C:\\" + std::wstring(236, L'x') + L"\\";
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", longFolder.c_str()));
    const std::wstring path = MakeTempFilePath(L"a.txt");
    SetEnvironmentVariableW(L"TMP", savedLength ? saved : nullptr);
    EXPECT_EQ(path.rfind(longFolder, 0), 0u) << "path length " << path.size();
}

TEST(GetExecutablePath, NamesThisProgram) {
    const std::wstring path = GetExecutablePath();
    EXPECT_EQ(GetFileName(path), L"host_tests.exe");
}

}  // namespace
