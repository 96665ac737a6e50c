// The reader of Wine's relay trace, on canned lines: the end-to-end tests trust
// what it finds, and an empty list only where it finds the launcher's trace.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Harness.h"

namespace e2e {
namespace {

struct TraceCase {
    const char* name;
    std::string log;
    std::vector<Box> boxes;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

class RelayTrace : public testing::TestWithParam<TraceCase> {};

TEST_P(RelayTrace, FindsEachBoxWithItsTexts) {
    const std::vector<Box> boxes = ParseBoxes(GetParam().log);
    ASSERT_EQ(boxes.size(), GetParam().boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(boxes[i].function, GetParam().boxes[i].function);
        EXPECT_EQ(boxes[i].text, GetParam().boxes[i].text);
        EXPECT_EQ(boxes[i].caption, GetParam().boxes[i].caption);
        EXPECT_EQ(boxes[i].style, GetParam().boxes[i].style);
    }
}

const char* const kCall = "0074:Call KERNEL32.SetDefaultDllDirectories(00000800) ret=0040bbc8\n";

INSTANTIATE_TEST_SUITE_P(
    Table, RelayTrace,
    testing::Values(
        TraceCase{"Narrow",
                  std::string(kCall) +
                      "0074:Call user32.MessageBoxA(00000000,00f15ac0 \"The file does not have a digital "
                      "signature\",00414184 \"Error while running installer\",00000010) ret=0040a832\n"
                      "0074:Ret  user32.MessageBoxA() retval=00000001 ret=0040a832\n",
                  {{"MessageBoxA", "The file does not have a digital signature", "Error while running installer",
                    0x10}}},
        TraceCase{"WideWithLineBreak",
                  "0024:Call user32.MessageBoxW(00000000,0061f2b8 L\"Disk full.\\r\\n\",00414160 L\"Error while "
                  "running installer\",00000010) ret=0040a7f1\n",
                  {{"MessageBoxW", "Disk full.\r\n", "Error while running installer", 0x10}}},
        TraceCase{"WideBeyondAscii",
                  "0024:Call user32.MessageBoxW(00000000,0061f2b8 L\"Fichier \\00e9crit \\20ac\",00414160 "
                  "L\"\\201cq\\201d\",00000040) ret=0040a7f1\n",
                  {{"MessageBoxW", "Fichier \xC3\xA9" "crit \xE2\x82\xAC", "\xE2\x80\x9Cq\xE2\x80\x9D", 0x40}}},
        TraceCase{"NarrowEscapes",
                  "0024:Call user32.MessageBoxA(00000000,00f15ac0 \"tab\\tquote\\\"\\x01\",00414184 \"c\","
                  "00000030) ret=0040a832\n",
                  {{"MessageBoxA", "tab\tquote\"\x01", "c", 0x30}}},
        TraceCase{"TwoBoxesAmongOtherLines",
                  "0024:trace:relay:load_list L\"RelayInclude\" = L\"user32.MessageBoxW\"\n"
                  "0024:Call user32.MessageBoxA(00000000,00000001 \"one\",00000002 \"A\",00000010) ret=1\n"
                  "0030:Call ntdll.NtClose(00000004) ret=7bc5d5e2\n"
                  "0024:Call user32.MessageBoxW(00000000,00000003 L\"two\",00000004 L\"B\",00000000) ret=2\n",
                  {{"MessageBoxA", "one", "A", 0x10}, {"MessageBoxW", "two", "B", 0}}},
        TraceCase{"NoBox", std::string(kCall) + "0074:Ret  KERNEL32.SetDefaultDllDirectories() retval=1\n", {}}),
    [](const testing::TestParamInfo<TraceCase>& info) { return std::string(info.param.name); });

TEST(RelayTrace, TheLauncherIsTracedOnlyWhenItsFirstCallShows) {
    EXPECT_TRUE(LauncherTraced(kCall));
    EXPECT_TRUE(LauncherTraced("0074:Call kernelbase.SetDefaultDllDirectories(00000800) ret=7b00\n"));
    EXPECT_FALSE(LauncherTraced(""));
    EXPECT_FALSE(LauncherTraced("0024:trace:relay:load_list L\"RelayInclude\" = L\"kernel32.SetDefaultDllDirectories\"\n"));
}

}  // namespace
}  // namespace e2e
