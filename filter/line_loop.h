// line_loop.h: the loop that reads, selects, converts, numbers and writes lines.
//
// Entry point: filter_lines, the block-wide loop of block_loop.cpp, and beside it
// filter_lines_by_line, the plain line-at-a-time loop of line_loop.cpp that it is compared
// with. Covered by tests/line_loop_test.cpp (in-process, both loops on random inputs and
// random read sizes, the vector kernels on and off) and tests/cli_test.cpp.
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
// It hands its output on before any read that may wait (in.ready() is false), so lines
// appear as soon as they are filtered. It searches whole blocks at once (block_loop.cpp).
LoopResult filter_lines(const FilterSettings& settings, InputSource& in, OutputBuffer& out);

// filter_lines_by_line does exactly what filter_lines does, the plain way: one line at a
// time, each searched on its own, out flushed before every read. It is the reference the
// block loop is tested against (line_loop.cpp).
LoopResult filter_lines_by_line(const FilterSettings& settings, InputSource& in, OutputBuffer& out);

// LINE_NUMBER_TEXT_SIZE is enough for format_line_number's text of any 64-bit number.
constexpr size_t LINE_NUMBER_TEXT_SIZE = 24;

// format_line_number writes number right-aligned in at least five columns followed by ": "
// (no NUL) and returns how many bytes it wrote.
size_t format_line_number(uint64_t number, char* text);
