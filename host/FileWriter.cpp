#include "FileWriter.h"

#include <windows.h>

#include "SystemError.h"
#include "SystemHandle.h"

namespace qpk {

void WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes, const char* context) {
    SystemHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file.IsValid()) ThrowLastError(context);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr))
            ThrowLastError(context);
        if (written == 0) ThrowSystemError(context, ERROR_WRITE_FAULT);
        done += written;
    }
    // The close is checked too: a file system may report a failed write only here.
    if (!CloseHandle(file.Release())) ThrowLastError(context);
}

}  // namespace qpk
