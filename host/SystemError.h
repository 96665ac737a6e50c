#pragma once

#include <cstdint>

namespace qpk {

// Failed Win32 calls become std::system_error in the system category, with the
// Win32 error code and a context message such as "Failed to start installer".

// Raises with the calling thread's last-error code, read before anything else
// runs: call it right after the failed call. Never returns.
[[noreturn]] void ThrowLastError(const char* context);

// Raises with a code the caller determined itself (a short read, a command
// line that is too long). Never returns.
[[noreturn]] void ThrowSystemError(const char* context, std::uint32_t code);

}  // namespace qpk
