#pragma once

#include <cstdint>
#include <string>

// Raises std::system_error with the Win32 error code in the system category.
// message is the context ("Failed to start installer"); code is the last-error
// value the caller read right after the failed call. Never returns.
[[noreturn]] void ThrowLastError(std::string message, std::uint32_t code);
