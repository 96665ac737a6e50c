// Writes the system's text for a Win32 error code, as the launcher asks for it
// (from the system, inserts ignored, neutral language), to a file in UTF-16LE:
//   message.exe CODE OUTPUT
// Exits with 0, or 1 when the system has no text for the code or the file
// cannot be written, 2 for a usage error.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr || count != 3) return 2;
    const DWORD code = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0) return 1;
    const HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, text, length * sizeof(wchar_t), &written, nullptr);
    CloseHandle(file);
    LocalFree(text);
    return wrote && written == length * sizeof(wchar_t) ? 0 : 1;
}
