// Base64Decode over arbitrary text and the Base64Encode round trip over
// arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Base64.h"
#include "FuzzCheck.h"

using namespace qpk;

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool InAlphabet(char c) { return c != '\0' && std::strchr(kAlphabet, c) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Decoding stops at the first byte outside the alphabet: what follows it
    // does not count, and whole groups give 3 bytes, a leftover of 2 or 3
    // characters 1 or 2 bytes, a single leftover character nothing.
    const std::vector<std::uint8_t> decoded = Base64Decode(text);
    FUZZ_CHECK(decoded.size() <= size * 3 / 4 + 2);
    std::size_t stop = 0;
    while (stop < size && InAlphabet(text[stop])) ++stop;
    const std::size_t left = stop % 4;
    FUZZ_CHECK(decoded.size() == stop / 4 * 3 + (left >= 2 ? left - 1 : 0));
    FUZZ_CHECK(Base64Decode(text.substr(0, stop)) == decoded);

    // Encoding gives unpadded alphabet text that decodes back to the bytes.
    const std::vector<std::uint8_t> bytes(data, data + size);
    const std::string encoded = Base64Encode(bytes);
    FUZZ_CHECK(encoded.size() == (size * 4 + 2) / 3);
    for (const char c : encoded) FUZZ_CHECK(InAlphabet(c));
    FUZZ_CHECK(Base64Decode(encoded) == bytes);

    // Decoding canonical text and encoding the result gives the text back.
    if (stop == size && left != 1) {
        const std::string again = Base64Encode(decoded);
        FUZZ_CHECK(again.size() == stop);
        // Equal unless the last character carried bits the decoder dropped.
        if (again != text) FUZZ_CHECK(again.compare(0, stop - (left ? 1 : 0), text, 0, stop - (left ? 1 : 0)) == 0);
    }
    return 0;
}
