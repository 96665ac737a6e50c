#include "Process.h"

#include <windows.h>

#include <vector>

#include "SystemError.h"
#include "SystemHandle.h"

namespace qpk {

namespace {
constexpr std::size_t kCommandLineBufferChars = 32768;
constexpr std::size_t kCommandLineLimit = 0x7ffe;  // characters, terminator included
}  // namespace

CProcess::CProcess(const std::wstring& path) : path_(path) {}

CProcess::~CProcess() { DeleteFileW(path_.c_str()); }

std::uint32_t CProcess::Run(const std::wstring& arguments) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};

    std::vector<wchar_t> commandLine;
    commandLine.reserve(kCommandLineBufferChars);
    const std::size_t length = 1 + path_.size() + 2 + arguments.size() + 1;
    if (length > kCommandLineLimit) ThrowSystemError("Failed to start installer", ERROR_FILENAME_EXCED_RANGE);
    commandLine.push_back(L'"');
    commandLine.insert(commandLine.end(), path_.begin(), path_.end());
    commandLine.push_back(L'"');
    commandLine.push_back(L' ');
    commandLine.insert(commandLine.end(), arguments.begin(), arguments.end());
    commandLine.push_back(L'\0');

    if (!CreateProcessW(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                        nullptr, nullptr, &startup, &process))
        ThrowLastError("Failed to start installer");
    const SystemHandle processGuard(process.hProcess);
    const SystemHandle threadGuard(process.hThread);

    if (WaitForSingleObject(processGuard.Get(), INFINITE) == WAIT_FAILED)
        ThrowLastError("Failed to wait for installer to finish");
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(processGuard.Get(), &exitCode)) ThrowLastError("Failed to get installer process result");
    return exitCode;
}

}  // namespace qpk
