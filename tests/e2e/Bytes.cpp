#include "Bytes.h"

#include <algorithm>
#include <codecvt>
#include <fstream>
#include <iterator>
#include <locale>
#include <stdexcept>

namespace e2e {

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadUtf16File(const fs::path& path) {
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) units += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t> convert;
    return convert.to_bytes(units);
}

std::string RegexLiteral(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::vector<std::string> FileNames(const fs::path& folder) {
    std::vector<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace e2e
