// windows_target.cpp: text-mode references, argument encoding and argv[0] under Wine.
#include "support/windows_target.h"

#include <cstdint>
#include <filesystem>

std::string text_mode_read(const std::string& bytes) {
    std::string text = bytes.substr(0, bytes.find('\x1A'));
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        result += text[i];
    }
    return result;
}

std::string text_mode_written(const std::string& text) {
    std::string bytes;
    for (char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    return bytes;
}

std::string text_mode_decoded(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) text += LF_WITHOUT_CR;
        text += bytes[i];
    }
    return text;
}

namespace {

// CP1252_HIGH_ROW gives the characters of code page 1252 at 0x80-0x9F; the five bytes the
// code page leaves undefined stand for the control character of the same number, as
// Windows and Wine convert them. 0xA0-0xFF are the characters of the same number.
constexpr uint16_t CP1252_HIGH_ROW[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void append_utf8(std::string& out, uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

}  // namespace

std::string wine_argument(const std::string& bytes) {
    std::string encoded;
    for (char c : bytes) {
        unsigned char b = static_cast<unsigned char>(c);
        append_utf8(encoded, b >= 0x80 && b < 0xA0 ? CP1252_HIGH_ROW[b - 0x80] : b);
    }
    return encoded;
}

std::string wine_program_path(const std::string& unix_path) {
    std::string path = "Z:" + std::filesystem::absolute(unix_path).lexically_normal().string();
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}
