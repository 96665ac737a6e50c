#include "Options.h"

#include <gtest/gtest.h>

namespace {

using qpk::Arguments;
using qpk::OptionDef;

const std::vector<OptionDef> kOptions = {
    {"output", 'o', true}, {"params", 0, true}, {"params-text", 0, true}, {"json", 0, false}};

struct ParseCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    const char* error;  // "" when the arguments parse
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class Options : public testing::TestWithParam<ParseCase> {};

TEST_P(Options, ParseWithTheGnuConventions) {
    const ParseCase& c = GetParam();
    std::string error;
    Arguments parsed;
    try {
        parsed = qpk::ParseArguments(c.args, kOptions);
    } catch (const qpk::UsageError& e) {
        error = e.what();
    }
    EXPECT_EQ(error, c.error);
    if (!error.empty()) return;
    EXPECT_EQ(parsed.positional, c.positional);
    EXPECT_EQ(parsed.values, c.values);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Options,
    testing::Values(
        ParseCase{"Empty", {}, {}, {}, ""},
        ParseCase{"PositionalsInOrderAroundOptions", {"a", "-o", "x", "b", "--json", "c"}, {"a", "b", "c"},
                  {{"output", "x"}, {"json", ""}}, ""},
        ParseCase{"DashAloneIsPositional", {"-o", "-", "-"}, {"-"}, {{"output", "-"}}, ""},
        ParseCase{"DashesEndTheOptions", {"a", "--", "--json", "-o", "---"}, {"a", "--json", "-o", "---"}, {}, ""},
        ParseCase{"ValueThatLooksLikeAnOption", {"--params-text", "--help", "-o", "--"}, {},
                  {{"params-text", "--help"}, {"output", "--"}}, ""},
        ParseCase{"ValueAfterEquals", {"--params-text=a=b", "--output="}, {},
                  {{"params-text", "a=b"}, {"output", ""}}, ""},
        ParseCase{"ValueGluedToShortOption", {"-ox"}, {}, {{"output", "x"}}, ""},
        ParseCase{"ExactNameBeatsLongerOne", {"--params", "p"}, {}, {{"params", "p"}}, ""},
        ParseCase{"UniqueAbbreviation", {"--out", "x", "--js"}, {}, {{"output", "x"}, {"json", ""}}, ""},
        ParseCase{"AmbiguousAbbreviation", {"--param", "p"}, {}, {}, "unknown option --param"},
        ParseCase{"ThreeDashes", {"---"}, {}, {}, "unknown option ---"},
        ParseCase{"FourDashes", {"a", "----"}, {}, {}, "unknown option ----"},
        ParseCase{"UnknownLong", {"--colour"}, {}, {}, "unknown option --colour"},
        ParseCase{"UnknownShort", {"-x"}, {}, {}, "unknown option -x"},
        ParseCase{"MissingShortValue", {"a", "-o"}, {}, {}, "option -o needs a value"},
        ParseCase{"MissingLongValue", {"--params"}, {}, {}, "option --params needs a value"},
        ParseCase{"FlagWithValue", {"--json=1"}, {}, {}, "option --json takes no value"},
        ParseCase{"TwiceShort", {"-o", "a", "-o", "b"}, {}, {}, "option -o given twice"},
        ParseCase{"TwiceMixed", {"-o", "a", "--output", "b"}, {}, {}, "option --output given twice"}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(OptionsState, EachParseStartsAfresh) {
    // getopt_long keeps its place in globals; a parse must not inherit it.
    EXPECT_THROW(qpk::ParseArguments({"a", "--colour"}, kOptions), qpk::UsageError);
    EXPECT_EQ(qpk::ParseArguments({"b"}, kOptions).positional, std::vector<std::string>{"b"});
    EXPECT_EQ(qpk::ParseArguments({"-o", "x"}, kOptions).Get("output"), "x");
}

TEST(OptionsRepeatable, KeepsEveryValueInOrder) {
    const std::vector<OptionDef> options = {{"package", 0, true, true}, {"output", 'o', true}};
    const Arguments parsed = qpk::ParseArguments({"--package", "a=x", "-o", "y", "--package=b=z"}, options);
    EXPECT_EQ(parsed.All("package"), (std::vector<std::string>{"a=x", "b=z"}));
    EXPECT_EQ(parsed.All("output"), std::vector<std::string>{});
    EXPECT_THROW(qpk::ParseArguments({"-o", "a", "-o", "b"}, options), qpk::UsageError);
}

}  // namespace
