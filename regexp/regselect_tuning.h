// regselect_tuning.h: the selection matcher's cache budget and counters (internal).
//
// A matcher's DFA keeps its states within DEFAULT_DFA_CACHE_BYTES; results are the same
// with any budget, a smaller one only clears the cache sooner and hands more lines to the
// backtracker. Tests shrink it to drive lines through those paths, switch the prefilter
// off to run the DFA alone, and read the counters to prove that the paths were taken;
// the benchmarks report them. The choice of deciding lines around their literal can be
// switched off or forced on every candidate line.
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

// InnerLiteral chooses when a candidate line is decided around its literal (see
// regselect.cpp): OFF never; AUTO when the prefilter's one literal splits the program and
// the line is at least INNER_MIN_LINE_BYTES long; ALWAYS for every candidate line whenever
// the top level has a literal that splits the program, the rarest becoming the prefilter's
// only literal (tests use it to drive every pattern of that form through the path).
enum class InnerLiteral { OFF, AUTO, ALWAYS };

// regselect_set_inner_literal sets the choice for matchers built later; returns the old one.
InnerLiteral regselect_set_inner_literal(InnerLiteral mode);

struct RegMatcherStats {
    bool uses_dfa;                      // false: the program was damaged, every line is backtracked
    std::vector<std::string> literals;  // the prefilter's literals; empty when it has none
    DfaStats dfa;
    uint64_t candidates = 0;            // prefilter hits whose line went to the DFA
    uint64_t backtracked_lines = 0;     // lines handed to the backtracker
    std::string inner_literal;          // the literal lines are decided around; empty: none
    uint64_t inner_lines = 0;           // candidate lines decided around it
    uint64_t inner_hits = 0;            // its occurrences tried there
    uint64_t inner_fallbacks = 0;       // of those lines, the ones handed back to the DFA from their start
    DfaStats prefix_dfa;                // the part before the literal, read backward
    DfaStats suffix_dfa;                // the part after it
};

RegMatcherStats regmatcher_stats(const RegMatcher* matcher);
