#include "Expectations.h"

#include <gtest/gtest.h>

namespace e2e {

void ExpectNoBox(const RunResult& result) {
    EXPECT_TRUE(LauncherTraced(result.log)) << "the relay trace does not show the launcher: " << result.log.substr(0, 2000);
    EXPECT_TRUE(result.boxes.empty()) << result.log;
}

void ExpectFailureBox(const RunResult& result, const std::string& function, const std::string& text) {
    EXPECT_EQ(result.status, 1);
    ASSERT_EQ(result.boxes.size(), 1u) << result.log;
    EXPECT_EQ(result.boxes[0].function, function);
    if (text.empty())
        EXPECT_FALSE(result.boxes[0].text.empty());
    else
        EXPECT_EQ(result.boxes[0].text, text);
    EXPECT_EQ(result.boxes[0].caption, kCaption);
    EXPECT_EQ(result.boxes[0].style, kErrorIcon);
}

}  // namespace e2e
