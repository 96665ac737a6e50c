#include "RelayTrace.h"

#include <cctype>
#include <codecvt>
#include <locale>
#include <sstream>

namespace e2e {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    std::wstring_convert<std::codecvt_utf8<char32_t>, char32_t> convert;
    out += convert.to_bytes(c);
}

// Reads a quoted string of Wine's debug output at pos (after the opening quote);
// returns it unescaped and moves pos behind the closing quote.
std::string Unquote(const std::string& line, std::size_t& pos, bool wide) {
    std::string text;
    while (pos < line.size() && line[pos] != '"') {
        char c = line[pos++];
        if (c != '\\' || pos >= line.size()) {
            text += c;
            continue;
        }
        char e = line[pos++];
        switch (e) {
            case 'n': text += '\n'; break;
            case 'r': text += '\r'; break;
            case 't': text += '\t'; break;
            case 'x':
                AppendUtf8(text, static_cast<char32_t>(std::stoul(line.substr(pos, 2), nullptr, 16)));
                pos += 2;
                break;
            default:
                if (wide && std::isxdigit(static_cast<unsigned char>(e))) {
                    AppendUtf8(text, static_cast<char32_t>(std::stoul(line.substr(pos - 1, 4), nullptr, 16)));
                    pos += 3;
                } else {
                    text += e;
                }
        }
    }
    ++pos;
    return text;
}

}  // namespace

bool CrashReported(const std::string& log) {
    return log.find("Unhandled exception") != std::string::npos || log.find("Unhandled page fault") != std::string::npos ||
           log.find("Unhandled stack overflow") != std::string::npos;
}

std::vector<Box> ParseBoxes(const std::string& log) {
    std::vector<Box> boxes;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        for (const char* function : {"MessageBoxA", "MessageBoxW"}) {
            const std::string marker = std::string("Call user32.") + function + "(";
            std::size_t pos = line.find(marker);
            if (pos == std::string::npos) continue;
            const bool wide = function[10] == 'W';
            Box box;
            box.function = function;
            pos = line.find('"', pos) + 1;
            box.text = Unquote(line, pos, wide);
            pos = line.find('"', pos) + 1;
            box.caption = Unquote(line, pos, wide);
            box.style = static_cast<std::uint32_t>(std::stoul(line.substr(line.find(',', pos) + 1), nullptr, 16));
            boxes.push_back(box);
        }
    }
    return boxes;
}

bool LauncherTraced(const std::string& log) {
    return log.find("Call KERNEL32.SetDefaultDllDirectories(") != std::string::npos ||
           log.find("Call kernelbase.SetDefaultDllDirectories(") != std::string::npos;
}

}  // namespace e2e
