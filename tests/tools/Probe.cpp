// A stand-in installer for end-to-end tests. It records what it was given and
// ends the way the test asks, steered by environment variables (the launcher
// passes its environment on):
//   PROBE_RECORD  folder that receives cmdline.bin (the exact command line,
//                 UTF-16LE), self.bin (its own path) and, for each /pi=, /pic=
//                 and /ico= argument, pi.bin, pic.bin or ico.bin (a copy of the
//                 named file) or pi.missing, pic.missing, ico.missing
//   PROBE_EXIT    exit code, decimal or 0x-hex (default 0)
//   PROBE_MODE    "crash": ends with an access violation instead of exiting;
//                 "sleep:MS": waits MS milliseconds first;
//                 "hold:MS": starts a second copy of itself that keeps its own
//                 file open (no delete sharing) for MS milliseconds and then
//                 writes holder.done into PROBE_RECORD; exits once it holds;
//                 "killed": waits until another program (a copy of the probe
//                 made in PROBE_RECORD, so that it does not run from the same
//                 file) ends it with TerminateProcess, exit code 1, as a task
//                 manager would
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

void WriteBytes(const std::wstring& path, const void* data, DWORD size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, data, size, &written, nullptr);
    CloseHandle(file);
}

void CopyHandedFile(const std::wstring& source, const std::wstring& record, const wchar_t* name) {
    HANDLE file = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        WriteBytes(record + L"\\" + name + L".missing", "", 0);
        return;
    }
    std::vector<char> bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    WriteBytes(record + L"\\" + name + L".bin", bytes.data(), static_cast<DWORD>(bytes.size()));
}

void Record(const std::wstring& record) {
    const wchar_t* commandLine = GetCommandLineW();
    WriteBytes(record + L"\\cmdline.bin", commandLine, static_cast<DWORD>(wcslen(commandLine) * sizeof(wchar_t)));
    wchar_t self[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    WriteBytes(record + L"\\self.bin", self, length * sizeof(wchar_t));

    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &count);
    if (argv == nullptr) return;
    const struct {
        const wchar_t* prefix;
        const wchar_t* name;
    } switches[] = {{L"/pi=", L"pi"}, {L"/pic=", L"pic"}, {L"/ico=", L"ico"}};
    for (int i = 1; i < count; ++i) {
        const std::wstring argument = argv[i];
        for (const auto& s : switches) {
            const std::wstring prefix = s.prefix;
            if (argument.compare(0, prefix.size(), prefix) == 0)
                CopyHandedFile(argument.substr(prefix.size()), record, s.name);
        }
    }
    LocalFree(argv);
}

}  // namespace

// The second copy of "hold": keeps its own file open, then says it is done.
int Hold(DWORD milliseconds) {
    wchar_t self[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    HANDLE file = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, Environment(L"PROBE_HOLD_EVENT").c_str());
    if (ready != nullptr) SetEvent(ready);
    Sleep(milliseconds);
    CloseHandle(file);
    const std::wstring record = Environment(L"PROBE_RECORD");
    if (!record.empty()) WriteBytes(record + L"\\holder.done", "", 0);
    return 0;
}

// The second copy of "killed": terminates the first one.
int Kill(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (process == nullptr) return 1;
    Sleep(300);
    TerminateProcess(process, 1);
    CloseHandle(process);
    return 0;
}

// Starts this program again with the given mode, from program when given.
void StartSecondCopy(const std::wstring& mode, std::wstring program = std::wstring()) {
    SetEnvironmentVariableW(L"PROBE_MODE", mode.c_str());
    wchar_t self[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    if (program.empty()) program = self;
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// Starts the holder and returns once it holds its file (or after 10 s).
void StartHolder(const std::wstring& milliseconds) {
    const std::wstring eventName = L"probe-holder-" + std::to_wstring(GetCurrentProcessId());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    SetEnvironmentVariableW(L"PROBE_HOLD_EVENT", eventName.c_str());
    StartSecondCopy(L"holder:" + milliseconds);
    WaitForSingleObject(ready, 10000);
    CloseHandle(ready);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const std::wstring mode = Environment(L"PROBE_MODE");
    if (mode.rfind(L"holder:", 0) == 0) return Hold(wcstoul(mode.c_str() + 7, nullptr, 10));
    if (mode.rfind(L"killer:", 0) == 0) return Kill(wcstoul(mode.c_str() + 7, nullptr, 10));
    const std::wstring record = Environment(L"PROBE_RECORD");
    if (!record.empty()) Record(record);
    if (mode == L"crash") *static_cast<volatile int*>(nullptr) = 1;
    if (mode.rfind(L"sleep:", 0) == 0) Sleep(wcstoul(mode.c_str() + 6, nullptr, 10));
    if (mode.rfind(L"hold:", 0) == 0) StartHolder(mode.substr(5));
    if (mode == L"killed") {
        wchar_t self[MAX_PATH * 4];
        GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
        const std::wstring killer = record + L"\\killer.exe";
        CopyFileW(self, killer.c_str(), FALSE);
        StartSecondCopy(L"killer:" + std::to_wstring(GetCurrentProcessId()), killer);
        Sleep(30000);
    }
    const std::wstring exitCode = Environment(L"PROBE_EXIT");
    return static_cast<int>(exitCode.empty() ? 0 : wcstoul(exitCode.c_str(), nullptr, 0));
}
