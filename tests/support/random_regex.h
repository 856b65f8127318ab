// random_regex.h: seeded random patterns and lines for the matcher's differential test.
//
// random_pattern draws from the whole pattern grammar (literal runs with bytes 0x80-0xFF,
// `.`, sets with ranges and negation and `]` / `-` members, up to nine groups,
// alternation with empty branches, `*` `+` `?`, `^`, `$`, backslash quoting); most
// results compile, a few are deliberately invalid and the caller skips them.
// random_line draws a line over a small alphabet weighted towards the pattern's own
// bytes, so that matches are frequent. Both depend only on the TestRandom's state, which
// is our own generator so that a seed means the same cases on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/escape_bytes.h"

// TestRandom is splitmix64: tiny, fast and identical everywhere.
class TestRandom {
public:
    explicit TestRandom(uint64_t seed) : state_(seed) {}
    uint64_t next();
    // below returns a value in [0, bound); bound must be positive.
    uint32_t below(uint32_t bound);
    // chance returns true with the given percentage.
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    uint64_t state_;
};

// random_pattern returns a pattern of roughly up to max_pieces pieces per branch.
std::string random_pattern(TestRandom& random, int max_pieces = 5);

// random_line returns a NUL-free line, usually 0 to 60 bytes, sometimes up to
// long_length, built mostly from the bytes that occur in pattern.
std::string random_line(TestRandom& random, std::string_view pattern, size_t long_length = 300);
