#include "RunSequence.h"

#include <gtest/gtest.h>

using namespace qpk;

namespace {

struct ScanCase {
    const char* name;
    std::vector<std::wstring> arguments;
    LaunchOptions expected;
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

LaunchOptions Flags(bool silent, bool params, bool icon, bool picture) { return {silent, params, icon, picture}; }

class SwitchScan : public testing::TestWithParam<ScanCase> {};

TEST_P(SwitchScan, SetsExactlyTheMatchingFlags) {
    const LaunchOptions got = ScanSwitches(GetParam().arguments);
    const LaunchOptions& want = GetParam().expected;
    EXPECT_EQ(got.silent, want.silent);
    EXPECT_EQ(got.paramsGiven, want.paramsGiven);
    EXPECT_EQ(got.iconGiven, want.iconGiven);
    EXPECT_EQ(got.pictureGiven, want.pictureGiven);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SwitchScan,
    testing::Values(ScanCase{"None", {}, Flags(false, false, false, false)},
                    ScanCase{"Silent", {L"/S"}, Flags(true, false, false, false)},
                    ScanCase{"LowerCaseS", {L"/s"}, Flags(false, false, false, false)},
                    ScanCase{"SOne", {L"/S1"}, Flags(false, false, false, false)},
                    ScanCase{"SilentWord", {L"/Silent"}, Flags(false, false, false, false)},
                    ScanCase{"ParamsEmptyValue", {L"/pi="}, Flags(false, true, false, false)},
                    ScanCase{"ParamsWithPath", {L"/pi=C:\\my params.json"}, Flags(false, true, false, false)},
                    ScanCase{"PicWithoutEquals", {L"/pic"}, Flags(false, false, false, false)},
                    ScanCase{"IcoWithoutEquals", {L"/ico"}, Flags(false, false, false, false)},
                    ScanCase{"Picture", {L"/pic=x"}, Flags(false, false, false, true)},
                    ScanCase{"IconEmptyValue", {L"/ico="}, Flags(false, false, true, false)},
                    ScanCase{"UpperCasePi", {L"/PI=x"}, Flags(false, false, false, false)},
                    ScanCase{"Repeated", {L"/S", L"/pic=a", L"/S", L"/pic=b"}, Flags(true, false, false, true)},
                    ScanCase{"AllReordered", {L"/ico=i", L"x", L"/pic=p", L"/pi=j", L"/S"}, Flags(true, true, true, true)},
                    ScanCase{"InsideOtherArgument", {L"x/S", L"a/pi=b"}, Flags(false, false, false, false)}),
    [](const testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

TEST(SplitCommandLine, EmptyOrAbsentTailGivesNoArguments) {
    EXPECT_TRUE(SplitCommandLine(nullptr).empty());
    EXPECT_TRUE(SplitCommandLine(L"").empty());
}

TEST(SplitCommandLine, SplitsQuotedAndPlainArguments) {
    const std::vector<std::wstring> expected = {L"/S", L"a b", L"/pi=c"};
    EXPECT_EQ(SplitCommandLine(L"/S \"a b\"   /pi=c"), expected);
}

}  // namespace
