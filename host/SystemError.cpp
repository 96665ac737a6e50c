#include "SystemError.h"

#include <system_error>

void ThrowLastError(std::string message, std::uint32_t code) {
    // The library appends ": " and the category's description to the context.
    throw std::system_error(static_cast<int>(code), std::system_category(), std::move(message));
}
