// Starts a program with an exact command line, which `wine prog args...` cannot
// give (it re-quotes every argument), waits for it and exits with its status.
//   SPAWN_COMMAND  the whole command line, program path first
//   SPAWN_TEMP     when set, the temporary folder (TMP and TEMP) of the child
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
    return static_cast<int>(exitCode);
}
