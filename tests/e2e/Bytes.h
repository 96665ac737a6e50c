#pragma once

// Files as bytes and names, for the end-to-end tests.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes);
std::string ReadUtf16File(const fs::path& path);  // as UTF-8

// The files in folder, by name.
std::vector<std::string> FileNames(const fs::path& folder);

// text as a regular expression that matches it literally.
std::string RegexLiteral(const std::string& text);

}  // namespace e2e
