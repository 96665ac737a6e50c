#pragma once

#include <string>

#include "ByteSource.h"
#include "SystemHandle.h"

namespace qpk {

// A file opened for reading with every sharing mode (others may read, write and
// delete it meanwhile). A file that cannot be opened reads as empty: the format
// tests then fail on the missing bytes.
class FileSource : public ByteSource {
public:
    explicit FileSource(const std::wstring& path);

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;

private:
    SystemHandle file_;
};

}  // namespace qpk
