#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qpk {

// Checked little-endian view over bytes that were actually read. Every getter
// returns nullopt when the field's bytes lie (partly) outside the view, so a
// caller can never test bytes that a short read did not deliver.
class LittleEndianView {
public:
    LittleEndianView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit LittleEndianView(const std::vector<std::uint8_t>& bytes)
        : data_(bytes.data()), size_(bytes.size()) {}

    std::size_t Size() const { return size_; }

    // True when [offset, offset + width) lies inside the view.
    bool Covers(std::size_t offset, std::size_t width) const {
        return offset <= size_ && width <= size_ - offset;
    }

    std::optional<std::uint16_t> U16(std::size_t offset) const {
        if (!Covers(offset, 2)) return std::nullopt;
        return static_cast<std::uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    }

    std::optional<std::uint32_t> U32(std::size_t offset) const {
        if (!Covers(offset, 4)) return std::nullopt;
        return static_cast<std::uint32_t>(data_[offset]) |
               (static_cast<std::uint32_t>(data_[offset + 1]) << 8) |
               (static_cast<std::uint32_t>(data_[offset + 2]) << 16) |
               (static_cast<std::uint32_t>(data_[offset + 3]) << 24);
    }

    std::optional<std::int32_t> I32(std::size_t offset) const {
        auto value = U32(offset);
        if (!value) return std::nullopt;
        return static_cast<std::int32_t>(*value);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Writes value little-endian into bytes at offset; bytes grows when needed.
inline void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
    if (bytes.size() < offset + 2) bytes.resize(offset + 2);
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4);
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace qpk
