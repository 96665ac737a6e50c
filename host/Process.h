#pragma once

#include <cstdint>
#include <string>

namespace qpk {

// Owns the installer copy on disk: runs it, and deletes it when destroyed
// (the result of the delete is ignored). Never copied.
class CProcess {
public:
    explicit CProcess(const std::wstring& path);
    virtual ~CProcess();
    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;

    // Starts the file with the command line: quoted path, one blank, arguments
    // unchanged; waits for it without time limit and returns its exit code.
    // Raises a system error "Failed to start installer" (also with
    // ERROR_FILENAME_EXCED_RANGE for a command line over 32,766 characters),
    // "Failed to wait for installer to finish" or "Failed to get installer
    // process result".
    std::uint32_t Run(const std::wstring& arguments);

private:
    const std::wstring path_;
};

}  // namespace qpk
