#include "SystemError.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <system_error>

using namespace qpk;

namespace {

// A system error as the launcher raises it: the code, the system category, the context first.
void ExpectSystemError(void (*raise)(), std::uint32_t code, const char* context) {
    try {
        raise();
        FAIL() << "no exception";
    } catch (const std::system_error& error) {
        EXPECT_EQ(static_cast<std::uint32_t>(error.code().value()), code);
        EXPECT_EQ(error.code().category(), std::system_category());
        EXPECT_EQ(std::string(error.what()).rfind(context, 0), 0u) << error.what();
    }
}

TEST(ThrowLastError, TakesTheLastErrorCodeItself) {
    ExpectSystemError(
        [] {
            SetLastError(ERROR_ACCESS_DENIED);
            ThrowLastError("Failed to write picture");
        },
        ERROR_ACCESS_DENIED, "Failed to write picture");
}

TEST(ThrowSystemError, RaisesTheGivenCode) {
    ExpectSystemError([] { ThrowSystemError("Failed to start installer", 0xC0000005); }, 0xC0000005u,
                      "Failed to start installer");
}

}  // namespace
