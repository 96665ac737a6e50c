#include "PeChecksum.h"

namespace qpk {

void PeChecksum::Add(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i, ++position_) {
        if (position_ - checkSumOffset_ < 4) continue;  // the field counts as zero
        total_ += (position_ & 1) != 0 ? std::uint64_t{data[i]} << 8 : data[i];
    }
}

std::uint32_t PeChecksum::Value() const {
    // Adding words with an end-around carry keeps the sum modulo 0xFFFF and
    // leaves it 0 only while every word was 0.
    const std::uint64_t folded = total_ == 0 ? 0 : (total_ - 1) % 0xFFFF + 1;
    return static_cast<std::uint32_t>(folded + position_);
}

}  // namespace qpk
