// run_timer.h: the run timer and the time text of the summary line.
//
// The run reads the tick counter once before the line loop (start_ticks) and once after
// it (elapsed_seconds); format_elapsed turns the seconds into the summary's time text.
// The tick source can be replaced so that tests/timer_test.cpp drives the real arithmetic
// through chosen counter values, the 32-bit wrap included.
#pragma once

#include <cstdint>

#include "filter/platform.h"

// TIME_TEXT_SIZE is the size of the time text area; the longest text is 13 characters.
constexpr int TIME_TEXT_SIZE = 100;

// TickSource reads a millisecond counter that wraps at 2^32.
using TickSource = uint32_t (*)();

// start_ticks reads the counter at the start of the timed stretch.
inline uint32_t start_ticks(TickSource read_ticks = platform_tick_count) { return read_ticks(); }

// elapsed_seconds returns the single-precision seconds since start, correct across one wrap
// of the counter (up to 2^32 - 1 milliseconds).
float elapsed_seconds(uint32_t start, TickSource read_ticks = platform_tick_count);

// format_elapsed returns "MM:SS.hh", or "H:MM:SS.hh" from one hour on. The text lives in one
// static area that the next call overwrites.
const char* format_elapsed(float seconds);
