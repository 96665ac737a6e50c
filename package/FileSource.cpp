#include "FileSource.h"

#include <windows.h>

namespace qpk {

FileSource::FileSource(const std::wstring& path)
    : file_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr)) {}

std::size_t FileSource::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    if (!file_.IsValid()) return 0;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_.Get(), distance, nullptr, FILE_BEGIN)) return 0;
    std::size_t done = 0;
    while (done < count) {
        DWORD got = 0;
        if (!ReadFile(file_.Get(), out + done, static_cast<DWORD>(count - done), &got, nullptr) || got == 0) break;
        done += got;
    }
    return done;
}

}  // namespace qpk
