#pragma once

// GoogleTest's Notification for the win32 thread model, whose C++ library has
// no std::mutex or std::condition_variable: a manual-reset event. Included
// before GoogleTest's own headers, which then use this class.

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    // Lets every waiting thread go on; called by the controlling thread.
    void Notify() { SetEvent(event_); }

    // Blocks until Notify has been called.
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
