#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant of the fuzzed code. Unlike assert it stays on in optimised
// builds; a failure aborts, which libFuzzer reports as a crash with the input.
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz::CheckFailed(#condition, __FILE__, __LINE__))

namespace fuzz {
[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}
}  // namespace fuzz
