#include "FileWriter.h"

#include <windows.h>

#include "SystemError.h"
#include "SystemHandle.h"

namespace {

[[noreturn]] void Fail(const char* context) {
    const DWORD error = GetLastError();
    ThrowLastError(context, error);
}

}  // namespace

void WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes, const char* context) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail(context);
    SystemHandle guard(file);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr))
            Fail(context);
        if (written == 0) ThrowLastError(context, ERROR_WRITE_FAULT);
        done += written;
    }
    // The close is checked too: a file system may report a failed write only here.
    if (!CloseHandle(guard.Release())) Fail(context);
}
