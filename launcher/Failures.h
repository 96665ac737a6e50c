#pragma once

// The launcher's failure types: system errors (std::system_error raised through
// ThrowLastError) and format errors (PeFormatException), and how they are shown.

#include <cstdint>
#include <string>

#include "SystemError.h"
#include "PeFormatException.h"

namespace qpk {

// Caption of every failure box.
constexpr const char* kFailureCaption = "Error while running installer";
constexpr const wchar_t* kFailureCaptionWide = L"Error while running installer";

// The system's own text for a Win32 error code, taken whole (a trailing line
// break included), or "Windows error 0x" and the code in lower-case hex when
// the system has none. Never fails.
std::wstring SystemMessageText(std::uint32_t code);

}  // namespace qpk
