#include "PeReader.h"

#include <windows.h>

#include "FileSource.h"
#include "SystemError.h"
#include "SystemHandle.h"

namespace qpk {

namespace {

ImageLayout ReadOwnLayout(const std::wstring& path) {
    FileSource file(path);
    return ReadImageLayout(file, [&path] { return QueryFileSize(path); });
}

}  // namespace

std::uint64_t QueryFileSize(const std::wstring& path) {
    const SystemHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    if (!file.IsValid()) ThrowLastError("Failed to open current executable file");
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.Get(), &size)) ThrowLastError("Failed get file size");
    return static_cast<std::uint64_t>(size.QuadPart);
}

PeReader::PeReader(const std::wstring& path) : PeReader(path, ReadOwnLayout(path)) {}

PeReader::PeReader(const std::wstring& path, const ImageLayout& layout)
    : path(path),
      certificateOffset(layout.certificateOffset),
      certificateSize(layout.certificateSize),
      payloadOffset(layout.payloadOffset),
      payloadSize(layout.payloadSize) {}

}  // namespace qpk
