#pragma once

#include <windows.h>

#include <string>

namespace qpk {

// Full path of the running launcher file. Raises a system error "Failed to get
// current executable path" when it cannot be had, or when it does not fit the
// 32,768-character buffer (ERROR_INSUFFICIENT_BUFFER).
std::wstring GetExecutablePath();

// The characters after the last backslash of path (all of it when it has none).
std::wstring GetFileName(const std::wstring& path);

// The GUID as 36 lower-case hex digits in groups 8_4_4_4_12, without braces.
std::wstring FormatGuid(const GUID& guid);

// name with "_" and a new GUID's text inserted in front of its last full stop
// (at the end when it has none).
std::wstring InsertUniqueSuffix(const std::wstring& name);

// A new unique path for name in the temporary directory. Raises a system error
// "Failed to get temporary path" when the directory cannot be had.
std::wstring MakeTempFilePath(const std::wstring& name);

}  // namespace qpk
