// escape_bytes.h: the one way the tests and fuzz targets render bytes in a report.
//
// Printable ASCII stands as it is, a backslash and a double quote get a backslash, every
// other byte is \xHH, so a pattern or line can be copied out of a failure message or a
// golden program dump as a C string. Header-only, so that the fuzz targets use it without
// the rest of the test support. Test-only code.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline std::string escape_bytes(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
