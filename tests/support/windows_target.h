// windows_target.h: the Windows build as the end-to-end tests see it under Wine.
//
// quarnel.exe reads and writes text streams, gets its arguments through Wine and shows
// the path Wine gives it as argv[0]. These functions translate between the bytes a test
// feeds or expects and the bytes that cross the process boundary, written the obvious way
// so that they serve as the reference for filter/text_mode.cpp too
// (tests/text_mode_test.cpp). Used by support/end_to_end.h. Test-only code.
#pragma once

#include <string>

// text_mode_read returns what a program reading bytes in Windows text mode receives: the
// input up to its first 0x1A, with each CR LF pair read as one line feed.
std::string text_mode_read(const std::string& bytes);

// text_mode_written returns the bytes a text stream writes for text: each line feed as
// CR LF.
std::string text_mode_written(const std::string& text);

// LF_WITHOUT_CR marks, in text_mode_decoded's result, a line feed that came without its CR.
inline constexpr const char* LF_WITHOUT_CR = "<LF without CR>";

// text_mode_decoded undoes text_mode_written: each CR LF becomes a line feed. A line feed
// that came without its CR is kept with LF_WITHOUT_CR in front, so that a comparison with
// the expected text fails and shows where.
std::string text_mode_decoded(const std::string& bytes);

// wine_argument encodes an argument for Wine running with LANG=C.UTF-8: each byte is read
// as a character of code page 1252 and written as UTF-8, so that the program, whose
// arguments are in code page 1252, receives the original bytes.
std::string wine_argument(const std::string& bytes);

// wine_program_path returns the argv[0] that a program started by Wine from unix_path
// sees: "Z:" and the absolute path with backslashes.
std::string wine_program_path(const std::string& unix_path);
