#include "SystemHandle.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <utility>

using namespace qpk;

namespace {

// True while handle is open in this process.
bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

TEST(SystemHandle, BothFailureValuesHoldNoHandle) {
    for (HANDLE none : {HANDLE{nullptr}, INVALID_HANDLE_VALUE}) {
        const SystemHandle handle(none);
        EXPECT_FALSE(handle.IsValid());
        EXPECT_EQ(handle.Get(), nullptr);
    }
    EXPECT_FALSE(SystemHandle().IsValid());
}

TEST(SystemHandle, ClosesAtTheEndOfItsScope) {
    HANDLE raw = nullptr;
    {
        const SystemHandle handle(NewEvent());
        ASSERT_TRUE(handle.IsValid());
        raw = handle.Get();
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
}

TEST(SystemHandle, MovesHandTheHandleOn) {
    SystemHandle first(NewEvent());
    const HANDLE raw = first.Get();
    SystemHandle second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(second.Get(), raw);

    // Assigning closes the handle held before.
    SystemHandle third(NewEvent());
    const HANDLE replaced = third.Get();
    third = std::move(second);
    EXPECT_FALSE(IsOpen(replaced));
    EXPECT_EQ(third.Get(), raw);
    EXPECT_TRUE(IsOpen(raw));
}

TEST(SystemHandle, ReleaseHandsOwnershipToTheCaller) {
    HANDLE raw = nullptr;
    {
        SystemHandle handle(NewEvent());
        raw = handle.Release();
        EXPECT_FALSE(handle.IsValid());
    }
    EXPECT_TRUE(IsOpen(raw));
    CloseHandle(raw);
}

}  // namespace
