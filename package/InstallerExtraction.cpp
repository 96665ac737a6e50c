#include <windows.h>

#include <vector>

#include "SystemError.h"
#include "SystemHandle.h"
#include "PeReader.h"

namespace qpk {

namespace {

constexpr DWORD kCopyBufferSize = 0x100000;
constexpr const char* kExtractFailed = "Failed to extract the installer";

}  // namespace

void PeReader::ExtractInstaller(const std::wstring& installerPath) const {
    const SystemHandle source(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    if (!source.IsValid()) ThrowLastError(kExtractFailed);

    // Truncating, so that an existing file cannot keep a stale tail.
    const SystemHandle destination(CreateFileW(installerPath.c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0,
                                               nullptr));
    if (!destination.IsValid()) ThrowLastError(kExtractFailed);

    LARGE_INTEGER start;
    start.QuadPart = payloadOffset;  // unsigned: a payload may start at 2 GiB or beyond
    if (!SetFilePointerEx(source.Get(), start, nullptr, FILE_BEGIN)) ThrowLastError(kExtractFailed);

    std::vector<std::uint8_t> buffer(kCopyBufferSize);
    std::int64_t remaining = payloadSize;
    while (remaining > 0) {
        const DWORD chunk = remaining > kCopyBufferSize ? kCopyBufferSize : static_cast<DWORD>(remaining);
        DWORD bytesRead = 0;
        if (!ReadFile(source.Get(), buffer.data(), chunk, &bytesRead, nullptr)) ThrowLastError(kExtractFailed);
        // The file ended early (it shrank): never leave a short copy behind as a success.
        if (bytesRead == 0) ThrowSystemError(kExtractFailed, ERROR_HANDLE_EOF);
        DWORD bytesWritten = 0;
        if (!WriteFile(destination.Get(), buffer.data(), bytesRead, &bytesWritten, nullptr))
            ThrowLastError(kExtractFailed);
        if (bytesWritten != bytesRead) ThrowSystemError(kExtractFailed, ERROR_WRITE_FAULT);
        remaining -= bytesRead;
    }
}

}  // namespace qpk
