#pragma once

// Command-line options of the qpk commands, parsed by the C library's
// getopt_long with the GNU conventions.

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace qpk {

// A usage error: reported with the command's help hint, status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OptionDef {
    std::string name;        // the long name, used as --name
    char shortName = 0;      // a one-letter alias, used as -x; 0 for none
    bool takesValue = false;
    bool repeatable = false;  // may be given more than once; every value is kept
};

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // by long name; "" for a flag; the last of a repeatable one
    std::map<std::string, std::vector<std::string>> repeated;  // every value of a repeatable option, in order

    bool Has(const std::string& name) const { return values.count(name) != 0; }
    std::string Get(const std::string& name) const { return Has(name) ? values.at(name) : std::string(); }
    std::vector<std::string> All(const std::string& name) const {
        return repeated.count(name) != 0 ? repeated.at(name) : std::vector<std::string>();
    }
};

// Parses a command's arguments (without program and command name). Options
// and positional arguments may come in any order; "--" ends the options; an
// option that takes a value takes the next argument whatever it looks like
// ("--params-text --help" gives the value "--help"), or the text after "=";
// a long name may be shortened while it stays unambiguous; "-" alone is a
// positional argument. Raises UsageError for an unknown or ambiguous option,
// a missing value, a value given to a flag, or an option given twice that is not
// repeatable. Not
// reentrant: getopt_long keeps its state in globals.
Arguments ParseArguments(const std::vector<std::string>& args, const std::vector<OptionDef>& options);

}  // namespace qpk
