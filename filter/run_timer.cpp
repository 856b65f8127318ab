// run_timer.cpp: elapsed_seconds and format_elapsed.
//
// The arithmetic is deliberately that of the tool's summary line: milliseconds times a
// single-precision thousandth, rounded to single precision, and hundredths taken from that
// float. So an elapsed 1,010 ms shows as 00:01.00. tests/timer_test.cpp holds the table.
#include "filter/run_timer.h"

#include <cmath>
#include <cstdio>

namespace {

// MILLISECOND is the single-precision 0.001 (bit pattern 0x3A83126F, a hair above 1/1000).
constexpr float MILLISECOND = 0.001f;

char time_text[TIME_TEXT_SIZE];

}  // namespace

float elapsed_seconds(uint32_t start, TickSource read_ticks) {
    uint32_t elapsed_ms = read_ticks() - start;  // unsigned: a wrap in between still subtracts right
    return static_cast<float>(static_cast<double>(elapsed_ms) * static_cast<double>(MILLISECOND));
}

const char* format_elapsed(float seconds) {
    // elapsed_seconds never gives more than about 4.3 million; keep any other value inside
    // the range of the integer conversion instead of converting out of range.
    if (!(seconds >= 0.0f)) seconds = 0.0f;
    if (seconds > 2147483520.0f) seconds = 2147483520.0f;  // the largest float below 2^31

    int32_t total = static_cast<int32_t>(seconds);
    long hours = total / 3600;
    long minutes = total / 60 - 60 * hours;
    long secs = total % 60;
    int hundredths = static_cast<int>(std::fmod(static_cast<double>(seconds) * 100.0, 100.0));
    if (hours > 0)
        std::snprintf(time_text, sizeof time_text, "%li:%02li:%02li.%02i", hours, minutes, secs, hundredths);
    else
        std::snprintf(time_text, sizeof time_text, "%02li:%02li.%02i", minutes, secs, hundredths);
    return time_text;
}
