#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qpk {

// Random-access reads from a file or from bytes in memory. The format code reads
// through this, so that the launcher (Win32 handles), the package tool (POSIX
// files), tests and fuzzers (memory) share it.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Copies up to count bytes at offset into out and returns how many were
    // delivered: fewer, or none, at the end of the data or when the read fails.
    virtual std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) = 0;

    // Reads up to count bytes at offset; the result holds those delivered.
    std::vector<std::uint8_t> Read(std::uint64_t offset, std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        bytes.resize(ReadAt(offset, bytes.data(), count));
        return bytes;
    }
};

// Bytes in memory as a source.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override {
        if (offset >= bytes_.size()) return 0;
        const std::size_t available = bytes_.size() - static_cast<std::size_t>(offset);
        const std::size_t n = count < available ? count : available;
        std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(offset + n), out);
        return n;
    }

private:
    const std::vector<std::uint8_t>& bytes_;
};

}  // namespace qpk
