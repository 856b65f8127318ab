// regselect_tuning.h: the selection matcher's cache budget and counters (internal).
//
// A matcher's DFA keeps its states within DEFAULT_DFA_CACHE_BYTES; results are the same
// with any budget, a smaller one only clears the cache sooner and hands more lines to the
// backtracker. Tests shrink it to drive lines through those paths, switch the prefilter
// off to run the DFA alone, and read the counters to prove that the paths were taken;
// the benchmarks report them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regexp/dfa.h"
#include "regexp/regexp.h"

constexpr size_t DEFAULT_DFA_CACHE_BYTES = size_t(2) << 20;

// regselect_set_cache_bytes sets the budget of matchers built later; returns the old one.
size_t regselect_set_cache_bytes(size_t bytes);

// regselect_set_prefilter switches the literal prefilter of matchers built later on or
// off; returns the old setting.
bool regselect_set_prefilter(bool enabled);

struct RegMatcherStats {
    bool uses_dfa;                      // false: the program was damaged, every line is backtracked
    std::vector<std::string> literals;  // the prefilter's literals; empty when it has none
    DfaStats dfa;
    uint64_t candidates = 0;            // prefilter hits whose line went to the DFA
    uint64_t backtracked_lines = 0;     // lines handed to the backtracker
};

RegMatcherStats regmatcher_stats(const RegMatcher* matcher);
