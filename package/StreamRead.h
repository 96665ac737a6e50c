#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <vector>

// Reads up to count bytes at offset from a binary stream. Returns the bytes
// that were delivered: fewer, or none, when the stream ends or fails. The
// stream's error state is cleared first, so an earlier short read does not
// poison later ones.
inline std::vector<std::uint8_t> ReadAt(std::istream& stream, std::uint64_t offset, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    stream.clear();
    stream.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (!stream) return {};
    stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(stream.gcount()));
    return bytes;
}
