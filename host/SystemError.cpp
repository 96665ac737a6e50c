#include "SystemError.h"

#include <windows.h>

#include <system_error>

namespace qpk {

void ThrowLastError(const char* context) { ThrowSystemError(context, GetLastError()); }

void ThrowSystemError(const char* context, std::uint32_t code) {
    // The library appends ": " and the category's description to the context.
    throw std::system_error(static_cast<int>(code), std::system_category(), context);
}

}  // namespace qpk
