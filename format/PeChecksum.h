#pragma once

#include <cstddef>
#include <cstdint>

namespace qpk {

// The PE CheckSum of a file, fed in order: the end-around-carry sum of the
// file's little-endian 16-bit words (an odd last byte as a word of its own),
// with the CheckSum field itself counted as zero, plus the file's length.
class PeChecksum {
public:
    // checkSumOffset: the file offset of the 4-byte CheckSum field.
    explicit PeChecksum(std::uint64_t checkSumOffset) : checkSumOffset_(checkSumOffset) {}

    // Adds the next size bytes of the file.
    void Add(const std::uint8_t* data, std::size_t size);

    // The CheckSum of the bytes added so far, taken as the whole file.
    std::uint32_t Value() const;

private:
    std::uint64_t checkSumOffset_;
    std::uint64_t position_ = 0;
    // The words' plain sum; 64 bits hold it for any file below 2^40 bytes.
    std::uint64_t total_ = 0;
};

}  // namespace qpk
