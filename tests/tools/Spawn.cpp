// Starts a program with an exact command line, which `wine prog args...` cannot
// give (it re-quotes every argument), waits for it and exits with its status.
//   SPAWN_COMMAND  the whole command line, program path first
//   SPAWN_TEMP     when set, the temporary folder (TMP and TEMP) of the child
//   SPAWN_LOCK     when set, a file this process holds open while the child runs,
//                  for reading and sharing only reading (no one may write it)
#include <windows.h>

#include <vector>

namespace {

std::vector<wchar_t> Environment(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    std::vector<wchar_t> value(size + 1);
    if (size == 0 || GetEnvironmentVariableW(name, value.data(), size) >= size) return {};
    return value;
}

}  // namespace

int main() {
    std::vector<wchar_t> command = Environment(L"SPAWN_COMMAND");
    if (command.empty()) return 120;
    const std::vector<wchar_t> temp = Environment(L"SPAWN_TEMP");
    if (!temp.empty()) {
        SetEnvironmentVariableW(L"TMP", temp.data());
        SetEnvironmentVariableW(L"TEMP", temp.data());
    }
    const std::vector<wchar_t> lock = Environment(L"SPAWN_LOCK");
    HANDLE locked = INVALID_HANDLE_VALUE;
    if (!lock.empty()) {
        locked = CreateFileW(lock.data(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (locked == INVALID_HANDLE_VALUE) return 123;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 121;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 122;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (locked != INVALID_HANDLE_VALUE) CloseHandle(locked);
    return static_cast<int>(exitCode);
}
