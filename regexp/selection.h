// selection.h: the selection matcher's strategies, tuning and counters (internal).
//
// regmatcher chooses one strategy for a program (SelectStrategy) from its analysis
// (analysis.h); a run of regselect can later turn its literal prefilter off, and on again,
// when the text shows that it stops paying (docs/regexp.md). Results are the same with any
// tuning: a smaller cache only clears sooner and hands more lines to the backtracker, a
// prefilter off only costs time. Tests build matchers with a RegMatcherConfig to drive lines
// through every path and read the counters to prove that the paths were taken; the
// benchmarks report them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regexp/dfa.h"
#include "regexp/regexp.h"

constexpr size_t DEFAULT_DFA_CACHE_BYTES = size_t(2) << 20;

// SelectStrategy names how a matcher selects lines.
enum class SelectStrategy {
    BACKTRACK,          // a damaged program (or hints that do not hold): every line to the backtracker
    EVERY_LINE,         // the empty text at a line's start matches: every line is selected
    DFA,                // the lazy DFA through the region, line feeds and all
    LITERALS,           // every literal of the set is a string the pattern matches (a pattern of
                        // known strings, no anchor): the set searched, every line it hits selected
    LITERALS_THEN_DFA,  // a literal set searched through the region; the DFA decides the lines it hits
    AROUND_LITERAL,     // a class literal that every match holds once is searched; a long line is
                        // decided around its occurrences, a short one by the DFA from its start
    NFA,                // the bit-parallel NFA through the region: a program whose DFA cannot stay
                        // small, or one that gave up on the text
};
// In the strategies that decide lines with the DFA, the bit-parallel NFA (bitnfa.h) decides
// them instead while the DFA's cache thrashes; the backtracker only when the NFA cannot take
// the program either.

// CoreEngine chooses what decides a line: AUTO the DFA, and the NFA for a stretch when the
// DFA gives up (or from the start, for a program whose shape says its DFA cannot stay
// small); DFA the DFA alone, with the backtracker for the lines it gives up on; NFA the NFA
// always, where it can take the program (tests use it to drive every pattern through it).
enum class CoreEngine { AUTO, DFA, NFA };

// strategy_name is the strategy's name as the counters print it.
const char* strategy_name(SelectStrategy strategy);

// InnerLiteral chooses when candidate lines are decided around their literal: OFF never;
// AUTO when the literal set chosen is one class literal that splits the program, for lines
// of at least INNER_MIN_LINE_BYTES; ALWAYS for every candidate line whenever some class
// literal splits the program, the rarest becoming the only literal searched (tests use it
// to drive every pattern of that form through the path).
enum class InnerLiteral { OFF, AUTO, ALWAYS };

// RegMatcherConfig is the tuning of one matcher.
struct RegMatcherConfig {
    size_t cache_bytes = DEFAULT_DFA_CACHE_BYTES;  // each DFA's state cache
    bool prefilter = true;                         // false: no literal set is searched
    InnerLiteral inner = InnerLiteral::AUTO;
    CoreEngine core = CoreEngine::AUTO;
    // How much text a prefilter runs over between two looks at whether it pays, and how much
    // the DFA runs over, with the prefilter off, before it is offered again.
    size_t review_bytes = size_t(256) << 10;
    size_t retry_bytes = size_t(4) << 20;
};

// regmatcher_configured is regmatcher with the given tuning.
RegMatcher* regmatcher_configured(const Regexp* prog, const RegMatcherConfig& config);

struct RegMatcherStats {
    SelectStrategy strategy;              // chosen when the matcher was built
    bool uses_dfa;                        // false: the program was damaged, every line is backtracked
    std::vector<std::string> literals;    // the literal set searched now (class literals written as
                                          // patterns, `[Ee]rror`); empty when none is
    size_t literal_sets = 0;              // the candidate sets the analysis offered
    DfaStats dfa;
    uint64_t candidates = 0;              // prefilter hits whose line went to the DFA
    uint64_t backtracked_lines = 0;       // lines handed to the backtracker
    uint64_t prefilter_reviews = 0;       // looks at whether the prefilter pays
    uint64_t prefilter_changes = 0;       // times the set searched changed, or the prefilter went off or on
    uint64_t prefilter_off_bytes = 0;     // bytes the DFA ran over with the prefilter off
    bool nfa_active = false;              // the NFA decides lines now
    uint64_t nfa_switches = 0;            // times the DFA gave up and the NFA took over
    uint64_t nfa_bytes = 0;               // bytes the NFA ran over
    uint64_t reverse_starts = 0;          // regsearch_with: searches begun at the leftmost start
    uint64_t reverse_gave_up = 0;         // regsearch_with: lines whose reverse scan gave up
    std::string inner_literal;            // the literal lines are decided around now; empty: none
    uint64_t inner_lines = 0;             // candidate lines decided around a literal
    uint64_t inner_hits = 0;              // its occurrences tried there
    uint64_t inner_fallbacks = 0;         // of those lines, the ones handed back to the DFA from their start
    DfaStats prefix_dfa;                  // the part before the literal, read backward
    DfaStats suffix_dfa;                  // the part after it
};

RegMatcherStats regmatcher_stats(const RegMatcher* matcher);
