#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qpk {

// Writes bytes as the whole content of the file at path (created, or truncated
// when it exists; others may read, write and delete it meanwhile). Raises a
// system error with context and the system's code when the file cannot be
// created, written completely or closed.
void WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes, const char* context);

}  // namespace qpk
