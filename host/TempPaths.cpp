#include "TempPaths.h"

#include <objbase.h>

#include <vector>

#include "SystemError.h"

namespace qpk {

namespace {
constexpr DWORD kExecutablePathCapacity = 0x8000;
constexpr DWORD kTempPathCapacity = MAX_PATH;
}  // namespace

std::wstring GetExecutablePath() {
    std::vector<wchar_t> buffer(kExecutablePathCapacity);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kExecutablePathCapacity);
    if (length == 0) ThrowLastError("Failed to get current executable path");
    // A path that fills the buffer was cut short by the platform.
    if (length >= kExecutablePathCapacity)
        ThrowSystemError("Failed to get current executable path", ERROR_INSUFFICIENT_BUFFER);
    return std::wstring(buffer.data(), length);
}

std::wstring GetFileName(const std::wstring& path) {
    const auto slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FormatGuid(const GUID& guid) {
    wchar_t text[40] = {};
    wsprintfW(text, L"%08x_%04x_%04x_%02x%02x_%02x%02x%02x%02x%02x%02x", guid.Data1, guid.Data2, guid.Data3,
              guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
              guid.Data4[6], guid.Data4[7]);
    return text;
}

std::wstring InsertUniqueSuffix(const std::wstring& name) {
    const auto dot = name.rfind(L'.');
    const std::wstring stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    const std::wstring extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
    GUID guid = {};
    CoCreateGuid(&guid);
    return stem + L"_" + FormatGuid(guid) + extension;
}

std::wstring MakeTempFilePath(const std::wstring& name) {
    std::vector<wchar_t> buffer(kTempPathCapacity);
    DWORD length = GetTempPathW(kTempPathCapacity, buffer.data());
    // A longer directory reports the size it needs, terminator included; ask again.
    while (length >= buffer.size()) {
        buffer.resize(length);
        length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    if (length == 0) ThrowLastError("Failed to get temporary path");
    return std::wstring(buffer.data(), length) + InsertUniqueSuffix(name);
}

}  // namespace qpk
