// timer_test.cpp: elapsed_seconds and format_elapsed through injected tick counts.
//
// Every row goes through the real arithmetic: the fake counter is set to a start value,
// then to start + milliseconds (modulo 2^32), and the seconds elapsed_seconds computes
// are formatted. Starts near 2^32 make the counter wrap between the two readings.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "filter/run_timer.h"

namespace {

uint32_t fake_counter = 0;
uint32_t read_fake_counter() { return fake_counter; }

std::string time_text_after(uint32_t start, uint32_t milliseconds) {
    fake_counter = start;
    uint32_t started = start_ticks(read_fake_counter);
    fake_counter = start + milliseconds;  // wraps modulo 2^32 when start is high
    return format_elapsed(elapsed_seconds(started, read_fake_counter));
}

struct TimeRow {
    uint32_t milliseconds;
    const char* text;
};

const TimeRow TIME_TABLE[] = {
    {0, "00:00.00"},           {9, "00:00.00"},          {10, "00:00.01"},         {290, "00:00.29"},
    {1000, "00:01.00"},        {1010, "00:01.00"},       {59999, "00:59.99"},      {61500, "01:01.50"},
    {3599999, "59:59.99"},     {3600000, "1:00:00.00"},  {3723450, "1:02:03.45"},  {86400000, "24:00:00.00"},
    {4294967295u, "1193:02:47.50"},
};

const uint32_t STARTS[] = {0u, 123456789u, 0xFFFFFFFFu, 0xFFFFFFFFu - 4u, 0xFFFFFFFFu - 3600000u, 0x80000000u};

TEST(RunTimer, WholeTableFromEveryStartIncludingWrap) {
    for (uint32_t start : STARTS) {
        for (const TimeRow& row : TIME_TABLE) {
            EXPECT_EQ(time_text_after(start, row.milliseconds), row.text)
                << row.milliseconds << " ms from start " << start;
        }
    }
}

// The hundredths come from the single-precision seconds: computed from the milliseconds in
// double precision, 1,010 ms would read 00:01.01.
TEST(RunTimer, HundredthsFollowTheSinglePrecisionSeconds) {
    EXPECT_EQ(time_text_after(0xFFFFFFF0u, 1010), "00:01.00");
    float seconds = elapsed_seconds(0, [] { return uint32_t{1010}; });
    EXPECT_EQ(seconds, static_cast<float>(1010.0 * static_cast<double>(0.001f)));
    EXPECT_NE(static_cast<double>(seconds), 1.01);
}

TEST(RunTimer, FormatKeepsOutOfRangeValuesInRange) {
    EXPECT_EQ(std::string(format_elapsed(-1.0f)), "00:00.00");
    EXPECT_EQ(std::string(format_elapsed(0.5f)), "00:00.50");
    EXPECT_EQ(std::string(format_elapsed(1e12f)), "596523:12:00.00");
}

TEST(RunTimer, RealCounterGivesASmallTimeForAnImmediateReading) {
    uint32_t started = start_ticks();
    std::string text = format_elapsed(elapsed_seconds(started));
    EXPECT_EQ(text.size(), 8u) << text;
    EXPECT_EQ(text.substr(0, 3), "00:") << text;
}

}  // namespace
