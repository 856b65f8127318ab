// filter_lines.h: the line loop's contract: filter_lines reads the input, selects,
// converts, numbers and writes the lines, and tells how it ended.
//
// block_loop.cpp runs it, block by block; tests/support/reference_loop.h does the same the
// plain way, line by line, as the reference it is tested against. Covered by
// tests/line_loop_test.cpp (in-process, both loops on random inputs and random read sizes,
// the vector kernels on and off) and tests/cli_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/output_buffer.h"
#include "filter/settings.h"
#include "filter/stream.h"

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
