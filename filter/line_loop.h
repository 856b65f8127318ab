// line_loop.h: filter_lines, the loop that reads, selects, converts, numbers and writes.
//
// Entry point: filter_lines. Covered by tests/line_loop_test.cpp (in-process, against a
// plain reference on random inputs and random read sizes) and tests/cli_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/output_buffer.h"
#include "filter/settings.h"
#include "filter/stream.h"

// LINE_BUFFER_SIZE is the size a line area starts at (text plus its NUL). Areas grow to
// hold the longest line or expansion met, so no line is ever cut.
constexpr size_t LINE_BUFFER_SIZE = 10240;

// READ_BLOCK_SIZE is the size of one read from the input and the starting size of the
// block buffer in which lines are processed in place.
constexpr size_t READ_BLOCK_SIZE = 64 * 1024;

// LoopEnd tells why filter_lines returned.
enum class LoopEnd {
    END_OF_INPUT,  // every line was processed; the output may still hold unflushed bytes
    READ_ERROR,    // reading the input failed
    WRITE_ERROR,   // writing the output failed; the rest of the input was not read
};

struct LoopResult {
    uint64_t lines_written = 0;  // lines selected and written
    uint64_t lines_read = 0;     // lines read, selected or not
    LoopEnd end = LoopEnd::END_OF_INPUT;
    int error_number = 0;  // the errno of a READ_ERROR or WRITE_ERROR
};

// filter_lines reads in to its end, writes the selected lines to out and counts the lines.
// It flushes out before every read from in, so lines appear as soon as they are filtered.
LoopResult filter_lines(const FilterSettings& settings, InputSource& in, OutputBuffer& out);

// LINE_NUMBER_TEXT_SIZE is enough for format_line_number's text of any 64-bit number.
constexpr size_t LINE_NUMBER_TEXT_SIZE = 24;

// format_line_number writes number right-aligned in at least five columns followed by ": "
// (no NUL) and returns how many bytes it wrote.
size_t format_line_number(uint64_t number, char* text);
