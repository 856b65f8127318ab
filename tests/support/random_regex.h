// random_regex.h: seeded random patterns and lines for the matcher's differential test.
//
// random_pattern draws from the whole pattern grammar (literal runs with bytes 0x80-0xFF,
// `.`, sets with ranges and negation and `]` / `-` members, up to nine groups,
// alternation with empty branches, `*` `+` `?`, `^`, `$`, backslash quoting); most
// results compile, a few are deliberately invalid and the caller skips them. With
// PatternOptions it draws only valid patterns, or bytes from the whole range, as the
// compiler's structural tests need. One generator serves every test that wants patterns.
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

// PatternOptions chooses what random_pattern draws.
struct PatternOptions {
    int max_pieces = 5;       // roughly the pieces per branch at the top level
    bool valid_only = false;  // no deliberately invalid pattern: every result compiles
    bool wide_bytes = false;  // literal, quoted and set bytes from the whole range 1..255
                              // (for the compiler's tests), not from the few bytes that
                              // random lines are made of
};

// PatternShape describes a pattern drawn with valid_only.
struct PatternShape {
    int groups = 0;                // groups opened, numbered 1..groups by the compiler
    bool top_alternation = false;  // the top level has two or more alternatives
};

// random_pattern returns a pattern of roughly up to max_pieces pieces per branch.
std::string random_pattern(TestRandom& random, int max_pieces = 5);
// This form takes every option and reports the shape of what it drew.
std::string random_pattern(TestRandom& random, const PatternOptions& options, PatternShape* shape = nullptr);

// random_split_pattern returns a pattern P L S that compiles: a literal run L between two
// random valid parts, either of which may be empty (P sometimes begins with `^`, S
// sometimes ends with `$`), a part with alternatives on its top level put in a group. Its
// top level is one alternative on which L stands, so every match is a match of P that
// ends where an occurrence of L begins and one of S that begins where it ends: the form
// the selection matcher decides around the literal. (A run at the end of P or the start
// of S joins L's node; a pattern with more than nine groups is refused.)
std::string random_split_pattern(TestRandom& random);

// random_line returns a NUL-free line, usually 0 to 60 bytes, sometimes up to
// long_length, built mostly from the bytes that occur in pattern.
std::string random_line(TestRandom& random, std::string_view pattern, size_t long_length = 300);
