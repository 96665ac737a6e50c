#pragma once

#include <windows.h>

// Owner of one Win32 handle: closes it when the scope ends unless it is NULL or
// INVALID_HANDLE_VALUE. The code that obtained the handle keeps using the raw
// value; the guard only ends its life. Never copied; a move hands the handle on.
class SystemHandle {
public:
    explicit SystemHandle(HANDLE handle) : handle_(handle) {}
    virtual ~SystemHandle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    SystemHandle(SystemHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    SystemHandle(const SystemHandle&) = delete;
    SystemHandle& operator=(const SystemHandle&) = delete;
    SystemHandle& operator=(SystemHandle&&) = delete;

    HANDLE Get() const { return handle_; }

    // Hands the handle to the caller, who then closes it.
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_;
};
