// reference_loop.h: filter_lines_by_line, the plain line-at-a-time loop that the block
// loop (filter_lines, filter/filter_lines.h) is tested against.
//
// It does exactly what filter_lines does, the plain way: one line at a time, each searched
// on its own, out flushed before every read. tests/line_loop_test.cpp compares the two on
// random inputs, and fuzz/filter_fuzz.cpp takes its output as the model of the lines.
// Test-only code: built into the tests and the fuzz targets, never into the product.
#pragma once

#include "filter/filter_lines.h"
#include "filter/output_buffer.h"
#include "filter/settings.h"
#include "filter/stream.h"

// filter_lines_by_line does what filter_lines does, one line at a time.
LoopResult filter_lines_by_line(const FilterSettings& settings, InputSource& in, OutputBuffer& out);
