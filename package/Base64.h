#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Decodes standard Base64 (RFC 4648 alphabet) leniently: decoding stops at the
// first "=" or at any byte outside the alphabet, pads are optional, a single
// leftover character is dropped and leftover bits need not be zero. Never fails.
std::vector<std::uint8_t> Base64Decode(std::string_view text);

// Encodes bytes as standard Base64 without pad characters.
std::string Base64Encode(const std::vector<std::uint8_t>& bytes);
