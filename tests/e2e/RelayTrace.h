#pragma once

// Reads Wine's relay trace: the MessageBox calls, crashes, and whether the
// launcher's own calls show at all.

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

// One MessageBoxA/MessageBoxW call, its texts in UTF-8.
struct Box {
    std::string function;
    std::string text;
    std::string caption;
    std::uint32_t style = 0;
};

// Parses the MessageBox calls out of a relay trace.
std::vector<Box> ParseBoxes(const std::string& log);

// True when Wine reported an unhandled exception of some process in the log.
bool CrashReported(const std::string& log);

// True when the relay trace shows the launcher's first traced call (its DLL
// search restriction): the trace works, so a list without boxes means none.
bool LauncherTraced(const std::string& log);

}  // namespace e2e
