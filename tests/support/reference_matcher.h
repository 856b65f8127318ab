// reference_matcher.h: a plain backtracking matcher used only as the yardstick for the real one.
//
// reference_search walks the compiled program exactly as the matcher's rules read: one
// recursive match_nodes per choice and per group node, no memo, no explicit stack, slots
// written only while a successful try unwinds. It is deliberately slow and recursive;
// NEVER use it in production. matcher_diff_test compares regsearch against it.
//
// Limits of use: the recursion depth grows with the line (a repetition of a group adds a
// few levels per iteration; every level also costs a step, so the depth never exceeds the
// step budget). With the default 8 MiB stack, (a|b)*c on a line of 10,000 `a` bytes is
// fine and 30,000 overflow, with or without sanitizers. So keep the iterations of group
// repetitions to a few thousand: the random lines of the tests stay under 300 bytes.
// Running time is unbounded on patterns such as (a|a)*b, so every search carries a step
// budget: past it the search gives up and returns REFERENCE_GAVE_UP, and the caller
// skips that case.
#pragma once

#include <cstdint>

#include "regexp/regexp.h"

// reference_search gave up on its step budget; slots and messages then mean nothing.
constexpr int REFERENCE_GAVE_UP = -1;

// Match-node passes one search may spend before it gives up.
constexpr int64_t REFERENCE_DEFAULT_BUDGET = 2'000'000;

struct ReferenceOptions {
    // false: skip the must-contain filter and the anchored and first-byte shortcuts and
    // try every position from the line start to its NUL. The result must be the same.
    bool use_prefilters = true;
    int64_t step_budget = REFERENCE_DEFAULT_BUDGET;
};

// reference_search returns 1 on a match (slots of prog set), 0 on none or on an error
// reported through the engine's hook, or REFERENCE_GAVE_UP.
int reference_search(Regexp* prog, const char* line, const ReferenceOptions& options);
int reference_search(Regexp* prog, const char* line);
