#pragma once

// What the tests expect of a run, as the user sees it.

#include <cstdint>
#include <string>

#include "WineRun.h"

namespace e2e {

// A regular expression matching a 36-character GUID text, as one group.
constexpr const char* kGuidPattern = "([0-9a-f]{8}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{12})";

constexpr const char* kCaption = "Error while running installer";
constexpr std::uint32_t kErrorIcon = 0x10;

// A run of the launcher that showed no box, proven by a working trace.
void ExpectNoBox(const RunResult& result);

// A failed run as the user sees it: status 1 and exactly one error box, shown
// with function ("MessageBoxA" or "MessageBoxW") and the launcher's caption,
// holding text (any non-empty text when text is empty).
void ExpectFailureBox(const RunResult& result, const std::string& function, const std::string& text = "");

}  // namespace e2e
