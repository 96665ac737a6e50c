#include "Failures.h"

#include <windows.h>

#include "LocalMemory.h"

namespace qpk {

namespace {
constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kNeutralLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// Lower-case hexadecimal digits of value, without leading zeros.
std::wstring HexDigits(std::uint32_t value) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789abcdef"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return digits;
}

}  // namespace

std::wstring SystemMessageText(std::uint32_t code) {
    wchar_t* raw = nullptr;
    const DWORD length = FormatMessageW(kMessageFlags, nullptr, code, kNeutralLanguage,
                                        reinterpret_cast<LPWSTR>(&raw), 0, nullptr);
    const LocalPtr<wchar_t> buffer(raw);
    if (length != 0 && buffer) return std::wstring(buffer.get());
    return L"Windows error 0x" + HexDigits(code);
}

}  // namespace qpk
