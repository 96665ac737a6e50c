#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qpk {

// Decodes standard Base64 (RFC 4648 alphabet) leniently: decoding stops at the
// first "=" or at any byte outside the alphabet, pads are optional, a single
// leftover character is dropped and leftover bits need not be zero. Never fails.
std::vector<std::uint8_t> Base64Decode(std::string_view text);

// Index of the byte at which Base64Decode stops: the first "=" or byte outside
// the alphabet, text.size() when there is none.
std::size_t Base64StopIndex(std::string_view text);

// True when Base64Decode uses every character of text: it stops nowhere or at
// pads that end the text, and no single character is left over to be dropped.
bool Base64DecodesWhole(std::string_view text);

// Encodes bytes as standard Base64, without pad characters unless pad is true.
std::string Base64Encode(const std::vector<std::uint8_t>& bytes, bool pad = false);

}  // namespace qpk
