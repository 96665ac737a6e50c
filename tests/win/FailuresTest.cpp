#include "Failures.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <system_error>

using namespace qpk;

namespace {

TEST(SystemMessageText, TakesTheSystemTextWhole) {
    const std::wstring text = SystemMessageText(ERROR_FILE_NOT_FOUND);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");  // the trailing line break stays
    EXPECT_EQ(text.find(L"Windows error"), std::wstring::npos);
}

TEST(SystemMessageText, FallsBackToLowerCaseHex) {
    EXPECT_EQ(SystemMessageText(0x2a2a2a), L"Windows error 0x2a2a2a");
    EXPECT_EQ(SystemMessageText(0xDEADBEEF), L"Windows error 0xdeadbeef");
}

TEST(PeFormatException, KeepsTheMessageExactly) {
    const PeFormatException original("The file size is infcorrect");
    const PeFormatException copy = original;
    EXPECT_STREQ(copy.what(), "The file size is infcorrect");
}

}  // namespace
