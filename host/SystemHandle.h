#pragma once

#include <windows.h>

namespace qpk {

// Owner of one Win32 handle from the call that returned it on: closes it when
// the scope ends. NULL and INVALID_HANDLE_VALUE (the two ways Win32 calls say
// "no handle") are both held as no handle, which IsValid tells. The owner hands
// the raw value to the calls that use it. Never copied; a move hands it on.
class SystemHandle {
public:
    SystemHandle() = default;
    explicit SystemHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    virtual ~SystemHandle() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    SystemHandle(SystemHandle&& other) noexcept : handle_(other.Release()) {}
    SystemHandle& operator=(SystemHandle&& other) noexcept {
        if (this != &other) {
            if (handle_ != nullptr) CloseHandle(handle_);
            handle_ = other.Release();
        }
        return *this;
    }
    SystemHandle(const SystemHandle&) = delete;
    SystemHandle& operator=(const SystemHandle&) = delete;

    // True when a handle is held.
    bool IsValid() const { return handle_ != nullptr; }

    // The raw handle for Win32 calls (NULL when none is held); ownership stays here.
    HANDLE Get() const { return handle_; }

    // Hands the handle to the caller, who then closes it; none is held afterwards.
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace qpk
