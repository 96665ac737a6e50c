#pragma once

#include <windows.h>

#include <memory>

namespace qpk {

// Releases memory the system allocated with LocalAlloc on the caller's behalf
// (FormatMessageW's buffer, CommandLineToArgvW's array).
struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

template <typename T>
using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

}  // namespace qpk
