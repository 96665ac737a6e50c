#include "Base64.h"

#include <array>

namespace qpk {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNotInAlphabet = 0xFF;

// Value of each byte in the alphabet, kNotInAlphabet for every other byte.
// Built from the alphabet itself, so that no locale takes part.
std::array<std::uint8_t, 256> MakeValues() {
    std::array<std::uint8_t, 256> values;
    values.fill(kNotInAlphabet);
    for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
    return values;
}

const std::array<std::uint8_t, 256> kValues = MakeValues();

}  // namespace

std::vector<std::uint8_t> Base64Decode(std::string_view text) {
    std::vector<std::uint8_t> result;
    result.reserve(text.size() / 4 * 3 + 2);
    std::uint8_t group[4];
    std::size_t count = 0;
    for (const char c : text) {
        const std::uint8_t value = kValues[static_cast<unsigned char>(c)];
        if (value == kNotInAlphabet) break;  // "=" is not in the alphabet either
        group[count++] = value;
        if (count == 4) {
            result.push_back(static_cast<std::uint8_t>((group[0] << 2) | (group[1] >> 4)));
            result.push_back(static_cast<std::uint8_t>((group[1] << 4) | (group[2] >> 2)));
            result.push_back(static_cast<std::uint8_t>((group[2] << 6) | group[3]));
            count = 0;
        }
    }
    if (count >= 2) result.push_back(static_cast<std::uint8_t>((group[0] << 2) | (group[1] >> 4)));
    if (count == 3) result.push_back(static_cast<std::uint8_t>((group[1] << 4) | (group[2] >> 2)));
    return result;
}

std::size_t Base64StopIndex(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (kValues[static_cast<unsigned char>(text[i])] == kNotInAlphabet) return i;
    return text.size();
}

bool Base64DecodesWhole(std::string_view text) {
    const std::size_t stop = Base64StopIndex(text);
    if (stop % 4 == 1) return false;
    return text.find_first_not_of('=', stop) == std::string_view::npos;
}

std::string Base64Encode(const std::vector<std::uint8_t>& bytes, bool pad) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t bits = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) text += kAlphabet[(bits >> shift) & 0x3F];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        const std::uint32_t bits = (bytes[i] << 16) | (left == 2 ? bytes[i + 1] << 8 : 0);
        text += kAlphabet[(bits >> 18) & 0x3F];
        text += kAlphabet[(bits >> 12) & 0x3F];
        if (left == 2) text += kAlphabet[(bits >> 6) & 0x3F];
        if (pad) text.append(3 - left, '=');
    }
    return text;
}

}  // namespace qpk
