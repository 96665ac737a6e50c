#pragma once

#include <string>
#include <vector>

namespace qpk {

// Switches found on the command line.
struct LaunchOptions {
    bool silent = false;        // "/S"
    bool paramsGiven = false;   // "/pi=..."
    bool iconGiven = false;     // "/ico=..."
    bool pictureGiven = false;  // "/pic=..."
};

// Splits the command-line tail with the platform's rules. An absent or empty
// tail gives an empty list. Raises a system error "Failed to parse command line".
std::vector<std::wstring> SplitCommandLine(const wchar_t* tail);

// Sets a flag for each switch found; exact, case-sensitive tests, the first
// match per argument wins.
LaunchOptions ScanSwitches(const std::vector<std::wstring>& arguments);

// The whole run for the given tail: every stage, then the two failure handlers.
// Returns the exit status, 0 or 1.
int RunLauncher(const wchar_t* tail);

}  // namespace qpk
