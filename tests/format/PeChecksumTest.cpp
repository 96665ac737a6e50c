#include "PeChecksum.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace qpk;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Sum(const Bytes& file, std::uint64_t checkSumOffset) {
    PeChecksum checkSum(checkSumOffset);
    checkSum.Add(file.data(), file.size());
    return checkSum.Value();
}

TEST(PeChecksum, WordsWithEndAroundCarryPlusLength) {
    const struct {
        const char* name;
        Bytes file;
        std::uint64_t checkSumOffset;
        std::uint32_t expected;
    } cases[] = {
        {"Empty", {}, 100, 0},
        {"OddLastByteIsAWord", {0x01, 0x02, 0x03}, 100, 0x0201 + 0x0003 + 3},
        {"CarryWrapsAround", {0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4},
        {"AllOnes", {0xFF, 0xFF, 0xFF, 0xFF}, 100, 0xFFFF + 4},
        {"FieldCountsAsZero", {0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x00}, 2, 0x0003 + 8},
        {"FieldAtTheStart", {0xAA, 0xBB, 0xCC, 0xDD}, 0, 0 + 4},
    };
    for (const auto& c : cases) EXPECT_EQ(Sum(c.file, c.checkSumOffset), c.expected) << c.name;
}

TEST(PeChecksum, PiecesOfAnySizeGiveTheSameSum) {
    std::mt19937 random(11);
    Bytes file(10007);
    for (std::uint8_t& byte : file) byte = static_cast<std::uint8_t>(random());
    const std::uint32_t whole = Sum(file, 0xD8);
    for (const std::size_t piece : {1u, 3u, 4096u, 7777u}) {
        PeChecksum checkSum(0xD8);
        for (std::size_t at = 0; at < file.size(); at += piece)
            checkSum.Add(file.data() + at, std::min(piece, file.size() - at));
        EXPECT_EQ(checkSum.Value(), whole) << piece;
    }
}

}  // namespace
