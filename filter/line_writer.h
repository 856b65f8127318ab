// line_writer.h: LineWriter, how a selected line goes out: its number, its letter case,
// its text and its line feed.
//
// The block loop (block_loop.cpp) hands it single lines and whole stretches of lines. A
// stretch without line numbers goes out as one piece (straight from the read buffer when
// it is large, or through the vector case map into the output buffer); with line numbers
// each line gets its number from a decimal text that is incremented in place. A NUL ends
// a line's text. Covered through the loop by tests/line_loop_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "filter/output_buffer.h"
#include "filter/settings.h"
#include "scan/scan.h"

// LINE_NUMBER_TEXT_SIZE is enough for format_line_number's text of any 64-bit number.
constexpr size_t LINE_NUMBER_TEXT_SIZE = 24;

// format_line_number writes number right-aligned in at least five columns followed by ": "
// (no NUL) and returns how many bytes it wrote.
size_t format_line_number(uint64_t number, char* text);

// LineNumberText is the "%5u: " prefix of the current line number, kept as text: moving
// on by one line changes the last digit or carries, instead of formatting anew.
class LineNumberText {
public:
    LineNumberText() { set(0); }

    // text returns the prefix of number.
    std::string_view text(uint64_t number);

private:
    static constexpr size_t TEXT_END = 24;  // digits end here, ": " follows

    void set(uint64_t number);
    void increment();

    char text_[TEXT_END + 2];
    uint64_t number_ = 0;
    size_t first_ = 0;  // where the text begins: the first digit, or blanks to make five columns
};

// LineWriter writes selected lines: number, case conversion, text, line feed.
class LineWriter {
public:
    LineWriter(const FilterSettings& settings, OutputBuffer& out);

    // write_line writes one line's text, whose number among the lines read is number.
    void write_line(const char* text, size_t length, uint64_t number);

    // write_stretch writes the complete lines of [begin, end), every one ended by a line feed;
    // the first is number first. It returns how many lines there were.
    uint64_t write_stretch(const char* begin, const char* end, uint64_t first);

private:
    uint64_t write_each(const char* begin, const char* end, uint64_t first);
    void write_text(const char* text, size_t length);

    // SHORT_LINE: lines up to this long are numbered and written in one place.
    static constexpr size_t SHORT_LINE = 256;

    OutputBuffer& out_;
    bool numbers_;
    std::optional<CaseMapping> mapping_;
    LineNumberText number_text_;
};
