#include <windows.h>

#include <vector>

#include "../host/SystemError.h"
#include "../host/SystemHandle.h"
#include "PeReader.h"

namespace {

constexpr DWORD kCopyBufferSize = 0x100000;
constexpr const char* kExtractFailed = "Failed to extract the installer";

[[noreturn]] void FailWithLastError() {
    const DWORD error = GetLastError();
    ThrowLastError(kExtractFailed, error);
}

}  // namespace

void PeReader::ExtractInstaller(const std::wstring& installerPath) const {
    HANDLE source = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (source == INVALID_HANDLE_VALUE) FailWithLastError();
    const SystemHandle sourceGuard(source);

    // Truncating, so that an existing file cannot keep a stale tail.
    HANDLE destination = CreateFileW(installerPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     nullptr, CREATE_ALWAYS, 0, nullptr);
    if (destination == INVALID_HANDLE_VALUE) FailWithLastError();
    const SystemHandle destinationGuard(destination);

    LARGE_INTEGER start;
    start.QuadPart = payloadOffset;  // unsigned: a payload may start at 2 GiB or beyond
    if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) FailWithLastError();

    std::vector<std::uint8_t> buffer(kCopyBufferSize);
    std::int64_t remaining = payloadSize;
    while (remaining > 0) {
        const DWORD chunk = remaining > kCopyBufferSize ? kCopyBufferSize : static_cast<DWORD>(remaining);
        DWORD bytesRead = 0;
        if (!ReadFile(source, buffer.data(), chunk, &bytesRead, nullptr)) FailWithLastError();
        // The file ended early (it shrank): never leave a short copy behind as a success.
        if (bytesRead == 0) ThrowLastError(kExtractFailed, ERROR_HANDLE_EOF);
        DWORD bytesWritten = 0;
        if (!WriteFile(destination, buffer.data(), bytesRead, &bytesWritten, nullptr)) FailWithLastError();
        if (bytesWritten != bytesRead) ThrowLastError(kExtractFailed, ERROR_WRITE_FAULT);
        remaining -= bytesRead;
    }
}
