// matcher_diff_test.cpp: proves that the fast matcher finds exactly what the plain one finds.
//
// regsearch (regexp/backtracker.cpp) keeps its choices on a heap stack and remembers failed
// (node, position) pairs; reference_search (tests/support/reference_matcher.cpp) is the
// literal recursive reading of the matching rules. For every case both run on their own
// copy of the same compiled pattern, over the same sequence of lines, and must agree on
// the result, on all twenty slots (named as line and offset, so that slots left over from
// an earlier line are compared too) and on the engine messages. A third copy runs the
// reference without its prefilters: the shortcuts must never change a result. The
// selection matcher (regselect_line, regselect: prefilter, lazy DFA, backtracker for the
// lines the DFA gives up on) must select exactly the lines the reference matches, one line
// at a time and over a buffer of the whole sequence (with NUL bytes and junk after them),
// also with its cache shrunk until it gives up, its prefilter off and the plain kernels.
// The comparison itself is PatternDiff (tests/support/matcher_diff.h), which
// fuzz/differential_fuzz.cpp runs too; this suite feeds it its cases.
//
// Cases: seeded random patterns and lines (QUARNEL_DIFF_SEED, QUARNEL_DIFF_COUNT), every
// pattern of up to five tokens against every {a,b} line of up to four bytes, hand-picked
// line sequences, and programs damaged on purpose. A longer hunt:
//   QUARNEL_DIFF_SEED=7 QUARNEL_DIFF_COUNT=5000000 matcher_diff_test --gtest_filter='MatcherDiff.*'
// (the seed also varies the damaged programs).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "regexp/analysis.h"
#include "regexp/bitnfa.h"
#include "regexp/program.h"
#include "regexp/regexp.h"
#include "regexp/backtracker.h"
#include "regexp/selection.h"
#include "scan/scan.h"
#include "support/capture_hook.h"
#include "support/matcher_diff.h"
#include "support/random_regex.h"
#include "support/reference_matcher.h"

namespace {

constexpr uint64_t DEFAULT_SEED = 20240917;
constexpr uint64_t DEFAULT_PAIRS = 200000;
constexpr int LINES_PER_PATTERN = 8;

uint64_t environment_number(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (*end != '\0') {
        ADD_FAILURE() << name << " is not a number: " << text;
        return fallback;
    }
    return value;
}

// report_failure makes each disagreement the shared check finds a failure of the test.
void report_failure(const std::string& failure) { ADD_FAILURE() << failure; }

// check_lines_in_a_row runs pattern over lines, in a row on the same records, and then
// over them as one buffer (its junk drawn from extra), counting the pattern in the tally.
void check_lines_in_a_row(const std::string& pattern, const std::vector<std::string>& lines, const char* context,
                          DiffTally& tally, TestRandom& extra, const DiffSetup& setup = {}) {
    PatternDiff run(pattern, report_failure, setup);
    ++tally.patterns;
    if (!run.compiled()) {
        ++tally.refused;
        return;
    }
    for (const std::string& line : lines) run.check_line(line, tally, context);
    run.check_buffer(tally, context, &extra);
}

void print_tally(const char* name, const DiffTally& tally, double seconds) {
    std::printf("[ tally    ] %s: %llu patterns (%llu refused by the compiler), %llu lines compared, "
                "%llu matched, %llu skipped (reference over budget), %.2f s\n",
                name, static_cast<unsigned long long>(tally.patterns), static_cast<unsigned long long>(tally.refused),
                static_cast<unsigned long long>(tally.pairs), static_cast<unsigned long long>(tally.matches),
                static_cast<unsigned long long>(tally.gave_up), seconds);
    std::printf("[ tally    ] %s selection: %llu buffers, %llu patterns with a prefilter, %llu DFA cache clears, "
                "%llu lines backtracked; %llu patterns decided around a literal, on %llu lines (%llu handed back); "
                "%llu literal sets found in matching lines; NFA on %llu patterns (%llu take-overs); %llu lines from the "
                "leftmost start\n",
                name, static_cast<unsigned long long>(tally.buffers), static_cast<unsigned long long>(tally.prefiltered),
                static_cast<unsigned long long>(tally.dfa_clears),
                static_cast<unsigned long long>(tally.backtracked_lines), static_cast<unsigned long long>(tally.split),
                static_cast<unsigned long long>(tally.split_lines),
                static_cast<unsigned long long>(tally.split_fallbacks),
                static_cast<unsigned long long>(tally.literal_sets_checked),
                static_cast<unsigned long long>(tally.nfa_patterns), static_cast<unsigned long long>(tally.nfa_switches),
                static_cast<unsigned long long>(tally.leftmost_checked));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---------------------------------------------------------------------------------------
// The reference itself: if it were wrong the same way as the matcher, the comparison
// would prove nothing. So it must reproduce the matcher's worked examples.

struct ExampleCase {
    const char* pattern;
    const char* line;
    int result;
    const char* slots;  // as LineRun::describe_slots, for a record that starts with null slots
};

const ExampleCase REFERENCE_EXAMPLES[] = {
    {"b+", "abbbc", 1, "1-4 - - - - - - - - -"},
    {"a*b", "xaab", 1, "1-4 - - - - - - - - -"},
    {"a|ab", "abc", 1, "0-1 - - - - - - - - -"},
    {"(a|ab)c", "abc", 1, "0-3 0-2 - - - - - - - -"},
    {"(a|ab)(c|bcd)", "abcd", 1, "0-4 0-1 1-4 - - - - - - -"},
    {"(ab|c)+", "abcab", 1, "0-5 3-5 - - - - - - - -"},
    {"((a)|b)+", "ab", 1, "0-2 1-2 0-1 - - - - - - -"},
    {"^ab", "xab", 0, "- - - - - - - - - -"},
    {"b$", "abab", 1, "3-4 - - - - - - - - -"},
    {"x*", "abc", 1, "0-0 - - - - - - - - -"},
    {"$", "abc", 1, "3-3 - - - - - - - - -"},
    {".*foo", "a fo foo", 1, "0-8 - - - - - - - - -"},
    // Edge cases of the rules.
    {"^$", "", 1, "0-0 - - - - - - - - -"},
    {"[^a]", "a", 0, "- - - - - - - - - -"},
    {".", "\xE9", 1, "0-1 - - - - - - - - -"},
    {"[\xE9]", "x\xE9", 1, "1-2 - - - - - - - - -"},
    {"[\xC9]", "\xE9", 0, "- - - - - - - - - -"},
    {"x|^a", "ab", 1, "0-1 - - - - - - - - -"},
    {"x|^a", "ba", 0, "- - - - - - - - - -"},
    {"a^b", "a^b", 0, "- - - - - - - - - -"},
    {"a$b", "a$b", 0, "- - - - - - - - - -"},
    {"(a)|b", "b", 1, "0-1 - - - - - - - - -"},
    {"(a*)+", "", -2, ""},  // refused: *+ operand could be empty
    {"(a|b)*b", "abab", 1, "0-4 2-3 - - - - - - - -"},
    {"(a?)(a?)b", "ab", 1, "0-2 0-1 1-1 - - - - - - -"},
    {"[a-c]*xyz?", "ccxy", 1, "0-4 - - - - - - - - -"},
};

TEST(ReferenceMatcher, ReproducesTheWorkedExamples) {
    for (const ExampleCase& example : REFERENCE_EXAMPLES) {
        SCOPED_TRACE(std::string("pattern \"") + escape_bytes(example.pattern) + "\" line \"" +
                     escape_bytes(example.line) + "\"");
        CaptureHook hook;
        RegexpPtr prog(regcompile(example.pattern));
        if (example.result == -2) {
            EXPECT_TRUE(prog == nullptr);
            continue;
        }
        ASSERT_NE(prog, nullptr) << describe_messages(reported);
        for (int i = 0; i < REGEXP_GROUPS; ++i) prog->match_start[i] = prog->match_end[i] = nullptr;
        LineRun lines;
        const char* line = lines.add(example.line);
        for (bool prefilters : {true, false}) {
            ReferenceOptions options;
            options.use_prefilters = prefilters;
            EXPECT_EQ(reference_search(prog.get(), line, options), example.result) << "prefilters " << prefilters;
            EXPECT_EQ(lines.describe_slots(prog.get()), example.slots) << "prefilters " << prefilters;
        }
        EXPECT_TRUE(reported.empty()) << describe_messages(reported);
    }
}

TEST(ReferenceMatcher, PrefilterRejectionLeavesTheSlotsAlone) {
    // a*b carries must_text "b": a line without b costs no try.
    CaptureHook hook;
    RegexpPtr prog(regcompile("a*b"));
    ASSERT_NE(prog, nullptr);
    LineRun lines;
    ASSERT_EQ(reference_search(prog.get(), lines.add("xaab")), 1);
    EXPECT_EQ(reference_search(prog.get(), lines.add("aaa")), 0);
    EXPECT_EQ(lines.describe_slots(prog.get()), "@0:1-@0:4 - - - - - - - - -");
    // Without the prefilters the same line is tried everywhere, which clears the slots.
    ReferenceOptions no_prefilters;
    no_prefilters.use_prefilters = false;
    EXPECT_EQ(reference_search(prog.get(), lines.add("aaa"), no_prefilters), 0);
    EXPECT_EQ(lines.describe_slots(prog.get()), "- - - - - - - - - -");
}

TEST(ReferenceMatcher, ReportsArgumentAndProgramErrors) {
    CaptureHook hook;
    EXPECT_EQ(reference_search(nullptr, "abc"), 0);
    RegexpPtr prog(regcompile("abc"));
    ASSERT_NE(prog, nullptr);
    EXPECT_EQ(reference_search(prog.get(), nullptr), 0);
    prog->program[0] = 0;
    EXPECT_EQ(reference_search(prog.get(), "abc"), 0);
    EXPECT_EQ(reported, (std::vector<std::string>{"NULL parameter", "NULL parameter", "corrupted program"}));
}

TEST(ReferenceMatcher, GivesUpOnItsBudgetInsteadOfRunningForMinutes) {
    CaptureHook hook;
    RegexpPtr prog(regcompile("(a|a)*b"));
    ASSERT_NE(prog, nullptr);
    const std::string line(60, 'a');
    ReferenceOptions no_prefilters;
    no_prefilters.use_prefilters = false;
    EXPECT_EQ(reference_search(prog.get(), line.c_str(), no_prefilters), REFERENCE_GAVE_UP);
}

// ---------------------------------------------------------------------------------------
// The matcher against the reference.

// compare_random_pairs runs wanted_pairs seeded random pairs through both matchers, and
// through the selection matcher line by line and as one buffer per pattern. A line in
// twenty gets a NUL and more bytes after it (drawn from a second generator, so that a seed
// still draws the same patterns and lines as before). draw, when given, draws the patterns
// instead of random_pattern.
DiffTally compare_random_pairs(uint64_t seed, uint64_t wanted_pairs, std::string (*draw)(TestRandom&) = nullptr,
                               const DiffSetup& setup = {}) {
    std::printf("[ seed     ] QUARNEL_DIFF_SEED=%llu QUARNEL_DIFF_COUNT=%llu\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(wanted_pairs));
    const auto start = std::chrono::steady_clock::now();
    TestRandom random(seed);
    TestRandom extra(seed ^ 0x5E1EC7);
    DiffTally tally;
    uint64_t lines_generated = 0;
    for (uint64_t case_number = 0; lines_generated < wanted_pairs; ++case_number) {
        // Pattern sizes vary from case to case: short ones match often, long ones nest.
        PatternDiff run(draw != nullptr ? draw(random) : random_pattern(random, 2 + static_cast<int>(random.below(6))),
                        report_failure, setup);
        ++tally.patterns;
        if (!run.compiled()) {
            ++tally.refused;
            continue;
        }
        const std::string context = "seed " + std::to_string(seed) + ", pattern case " + std::to_string(case_number);
        for (int i = 0; i < LINES_PER_PATTERN; ++i, ++lines_generated) {
            std::string line = random_line(random, run.pattern());
            if (extra.chance(5)) line += std::string(1, '\0') + random_line(extra, run.pattern(), 60);
            run.check_line(line, tally, context);
        }
        run.check_buffer(tally, context, &extra);
    }
    print_tally("random", tally, seconds_since(start));
    EXPECT_GT(lines_generated, 0u);
    EXPECT_GT(tally.literal_sets_checked, tally.matches / 4) << "the literal sets were hardly ever put to the test";
    EXPECT_EQ(tally.failures, 0u);
    // The comparison proves something only if it ran on real cases: most patterns
    // compile, few searches exceed the reference's budget, and matches and misses both
    // occur often. (Too small a QUARNEL_DIFF_COUNT proves nothing either.)
    EXPECT_GE(wanted_pairs, 1000u);
    EXPECT_LT(tally.refused * 4, tally.patterns);
    EXPECT_LT(tally.gave_up * 100, lines_generated);
    EXPECT_GT(tally.matches * 5, tally.pairs);
    EXPECT_LT(tally.matches * 5, tally.pairs * 4);
    return tally;
}

TEST(MatcherDiff, SeededRandomPatternsAndLines) {
    const DiffTally tally = compare_random_pairs(environment_number("QUARNEL_DIFF_SEED", DEFAULT_SEED),
                                                 environment_number("QUARNEL_DIFF_COUNT", DEFAULT_PAIRS));
    EXPECT_GT(tally.literals_alone, 0u) << "no pattern was selected by its literal set alone";
}

// With no budget for exact records every failure goes to the lossy table, and with a
// budget of a few words or a few chunks only the first ones are exact: all must still
// give the same results as the reference.
TEST(MatcherDiff, SeededRandomPairsWithTheMemoBudgetShrunk) {
    const uint64_t seed = environment_number("QUARNEL_DIFF_SEED", DEFAULT_SEED) + 1;
    const uint64_t pairs = std::max<uint64_t>(environment_number("QUARNEL_DIFF_COUNT", DEFAULT_PAIRS) / 4, 1000);
    for (MemoBudget budget : {MemoBudget{0, 0}, MemoBudget{24, 0}, MemoBudget{600, 0}}) {
        MemoBudget old = regsearch_set_memo_budget(budget);
        compare_random_pairs(seed, pairs);
        regsearch_set_memo_budget(old);
    }
}

// The selection matcher's other paths on fewer pairs: a cache so small that the DFA
// clears it all the time and gives lines up to the bit-parallel NFA (or, with the DFA as the
// only core engine, to the backtracker), the DFA without its prefilter, the NFA deciding
// every line, and all with the plain kernels instead of the vector ones.
TEST(MatcherDiff, SelectionWithTheCacheShrunkThePrefilterOffAndPlainKernels) {
    const uint64_t seed = environment_number("QUARNEL_DIFF_SEED", DEFAULT_SEED) + 2;
    const uint64_t pairs = std::max<uint64_t>(environment_number("QUARNEL_DIFF_COUNT", DEFAULT_PAIRS) / 8, 1000);
    for (KernelLevel level : {KernelLevel::AVX2, KernelLevel::PLAIN}) {
        const KernelLevel kernels = scan_select_kernels(level);
        const DiffSetup shrunk_cache{.selectors = {RegMatcherConfig{.cache_bytes = 1, .core = CoreEngine::DFA},
                                                   RegMatcherConfig{.cache_bytes = 1}}};
        const DiffTally shrunk = compare_random_pairs(seed, pairs, nullptr, shrunk_cache);
        EXPECT_GT(shrunk.dfa_clears, 0u);
        EXPECT_GT(shrunk.backtracked_lines, 0u);
        EXPECT_GT(shrunk.nfa_switches, 0u);

        const DiffSetup nfa_always{.selectors = {RegMatcherConfig{.core = CoreEngine::NFA},
                                                 RegMatcherConfig{.prefilter = false, .core = CoreEngine::NFA},
                                                 RegMatcherConfig{.inner = InnerLiteral::ALWAYS, .core = CoreEngine::NFA}}};
        const DiffTally nfa = compare_random_pairs(seed + 2, pairs, nullptr, nfa_always);
        EXPECT_GT(nfa.nfa_patterns, nfa.patterns);

        const DiffSetup dfa_alone{.selectors = {RegMatcherConfig{.prefilter = false}}};
        const DiffTally alone = compare_random_pairs(seed + 1, pairs, nullptr, dfa_alone);
        EXPECT_EQ(alone.prefiltered, 0u);
        scan_select_kernels(kernels);
    }
}

// Patterns P L S with a literal L on the top level, their candidate lines decided around
// each occurrence of L (P backward from it, S forward from after it) whatever the lines'
// length: with the default cache, with one so small that the two DFAs give lines back, and
// with both kernel families (which find the occurrences and the ends of the lines).
TEST(MatcherDiff, SelectionAroundALiteralOnTheTopLevel) {
    const uint64_t seed = environment_number("QUARNEL_DIFF_SEED", DEFAULT_SEED) + 4;
    const uint64_t pairs = std::max<uint64_t>(environment_number("QUARNEL_DIFF_COUNT", DEFAULT_PAIRS) / 8, 1000);
    const DiffSetup around_every_line{.selectors = {RegMatcherConfig{.inner = InnerLiteral::ALWAYS}}};
    const DiffSetup shrunk_cache{.selectors = {RegMatcherConfig{.cache_bytes = 1, .inner = InnerLiteral::ALWAYS,
                                                                .core = CoreEngine::DFA}}};
    for (KernelLevel level : {KernelLevel::AVX2, KernelLevel::PLAIN}) {
        const KernelLevel kernels = scan_select_kernels(level);
        const DiffTally around = compare_random_pairs(seed, pairs, random_split_pattern, around_every_line);
        // Nearly every pattern takes the path: the rest are refused (ten groups) or match
        // every line at once.
        EXPECT_GT(around.split * 10, (around.patterns - around.refused) * 9);
        EXPECT_GT(around.split_lines, pairs / 2);

        const DiffTally shrunk = compare_random_pairs(seed + 1, pairs / 2, random_split_pattern, shrunk_cache);
        EXPECT_GT(shrunk.split_fallbacks, 0u);
        EXPECT_GT(shrunk.backtracked_lines, 0u);
        scan_select_kernels(kernels);
    }
}

// SHORT_TOKENS are the tokens of the exhaustive suites: every pattern of up to
// MAX_SHORT_TOKENS of them is drawn by for_each_short_pattern.
const char* const SHORT_TOKENS[] = {"a", "b", ".", "(", ")", "|", "*", "+", "?", "^", "$", "[^a]"};
constexpr int SHORT_TOKEN_COUNT = sizeof SHORT_TOKENS / sizeof SHORT_TOKENS[0];
constexpr int MAX_SHORT_TOKENS = 5;

template <typename Visit>
void for_each_short_pattern(Visit visit) {
    for (int count = 0; count <= MAX_SHORT_TOKENS; ++count) {
        int total = 1;
        for (int i = 0; i < count; ++i) total *= SHORT_TOKEN_COUNT;
        for (int index = 0; index < total; ++index) {
            std::string pattern;
            for (int i = 0, rest = index; i < count; ++i, rest /= SHORT_TOKEN_COUNT)
                pattern += SHORT_TOKENS[rest % SHORT_TOKEN_COUNT];
            visit(pattern);
        }
    }
}

// short_lines is every line over {a,b} of up to four bytes.
std::vector<std::string> short_lines() {
    std::vector<std::string> lines = {""};
    for (size_t from = 0; from < lines.size() && lines[from].size() < 4; ++from)
        for (char c : {'a', 'b'}) lines.push_back(lines[from] + c);
    return lines;
}

TEST(MatcherDiff, EveryShortPatternAgainstEveryShortLine) {
    // Every pattern of up to five tokens, against every line over {a,b} of up to four
    // bytes, all lines in a row on the same records. Most token strings do not compile;
    // the rest still give over a million comparisons.
    const std::vector<std::string> lines = short_lines();
    const auto start = std::chrono::steady_clock::now();
    DiffTally tally;
    TestRandom extra(DEFAULT_SEED);
    for_each_short_pattern(
        [&](const std::string& pattern) { check_lines_in_a_row(pattern, lines, "exhaustive", tally, extra); });
    print_tally("exhaustive", tally, seconds_since(start));
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_EQ(tally.gave_up, 0u);
    EXPECT_GT(tally.pairs, 100000u);
}

TEST(MatcherDiff, EveryShortSideOfALiteralAgainstEveryShortLine) {
    // P "=" S for every P and S of up to two tokens, against every line over {a,b,=} of up
    // to four bytes, every candidate line decided around "=": anchors on either side (where
    // `^` after the literal and `$` before it never hold), repetitions meeting the literal,
    // lines with the literal at either end, twice, or not at all.
    static const char* const TOKENS[] = {"a", "b", ".", "(", ")", "|", "*", "+", "?", "^", "$", "[^a]"};
    constexpr int TOKEN_COUNT = sizeof TOKENS / sizeof TOKENS[0];
    std::vector<std::string> sides = {""};
    for (int first = 0; first < TOKEN_COUNT; ++first) {
        sides.push_back(TOKENS[first]);
        for (int second = 0; second < TOKEN_COUNT; ++second) sides.push_back(std::string(TOKENS[first]) + TOKENS[second]);
    }
    std::vector<std::string> lines = {""};
    for (size_t from = 0; from < lines.size() && lines[from].size() < 4; ++from)
        for (char c : {'a', 'b', '='}) lines.push_back(lines[from] + c);
    const auto start = std::chrono::steady_clock::now();
    const DiffSetup setup{.selectors = {RegMatcherConfig{.inner = InnerLiteral::ALWAYS}}, .check_unfiltered = false};
    DiffTally tally;
    TestRandom extra(DEFAULT_SEED);
    for (const std::string& prefix : sides)
        for (const std::string& suffix : sides)
            check_lines_in_a_row(prefix + "=" + suffix, lines, "short sides", tally, extra, setup);
    print_tally("short sides", tally, seconds_since(start));
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_GT(tally.split * 2, tally.patterns - tally.refused);
    EXPECT_GT(tally.split_lines, 100000u);
}

TEST(MatcherDiff, CatastrophicPatternsOnLinesThePlainWalkCanStillFinish) {
    // The failure memo matters most where the plain walk backtracks hardest, and random
    // cases of that kind mostly exceed the reference's budget. Here the lines grow one
    // byte at a time up to the length where the plain walk gives up, with a larger budget.
    static const char* const PATTERNS[] = {"(a|aa)*b", "(a|a)*b", "(a+)+b", "(.+)+x", "((a|b)*c)*d",
                                           "(a|b)+$", "(ab)*c", "(a*)?(a|b)*c", "((a)|(a))+(b)", "(a|ab|aab)*$c"};
    static const char* const TAILS[] = {"", "b", "cb", "xd", "c", "ab"};
    const auto start = std::chrono::steady_clock::now();
    DiffTally tally;
    for (const char* pattern : PATTERNS) {
        for (const char* tail : TAILS) {
            PatternDiff run(pattern, report_failure, DiffSetup{.step_budget = 5'000'000, .check_unfiltered = false});
            ++tally.patterns;
            ASSERT_TRUE(run.compiled()) << pattern;
            for (size_t length = 0; length <= 60; ++length) {
                const uint64_t skipped = tally.gave_up;
                run.check_line(std::string(length, 'a') + tail, tally, "catastrophic");
                if (tally.gave_up > skipped) break;  // longer lines would only give up too
            }
        }
    }
    print_tally("catastrophic", tally, seconds_since(start));
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_GT(tally.pairs, 1000u);
}

TEST(MatcherDiff, LineTooLongForTheFailureMemo) {
    // Three thousand simple repetitions (each a choice point) on a 300,000-byte line ask for
    // far more failure memo than one search may take (a bit per choice point and position,
    // some 110 MB here), so most choice points go without a full row. Whatever the matcher
    // does with them, it may lose time but not change a result: tries are made at each
    // `d`, each fails after walking all the repetitions, and only the last one may match.
    // The line that fails at the last `d` comes right before one that matches there, so a
    // failure remembered from the previous search would show.
    std::string pattern = "d";
    for (int i = 0; i < 3000; ++i) pattern += "b*";
    pattern += "c";
    DiffTally tally;
    PatternDiff run(pattern, report_failure, DiffSetup{.check_unfiltered = false});
    ASSERT_TRUE(run.compiled());
    for (const char* ending : {"dbbbbbbbbbbc", "dx", "dc", ""}) {
        std::string line;
        while (line.size() < 300000) line += (line.size() % 5000 == 0) ? 'd' : 'a';
        run.check_line(line + ending, tally, "line too long for the memo");
    }
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_EQ(tally.pairs, 4u);
    EXPECT_EQ(tally.matches, 2u);
}

TEST(MatcherDiff, LinesInARowOnOneRecord) {
    // Sequences where a prefilter rejects a line without a try, so that the slots of an
    // earlier line must survive, interleaved with lines that clear or replace them.
    struct Sequence {
        const char* pattern;
        std::vector<const char*> lines;
    };
    const Sequence sequences[] = {
        {"a*b", {"xaab", "aaa", "", "ab", "zzz", "b"}},          // must-contain filter
        {"x?yz", {"ayz", "xy", "xxyz", "y z"}},                  // must-contain filter, text "yz"
        {"abc", {"zabcz", "bc", "ab", "abab", "abc"}},           // first byte absent, then present
        {"b(c|d)", {"abd", "xxx", "bb", "bcbd"}},                // first byte: b absent, b present but no match
        {"^(a|b)+", {"abba", "cab", "", "b"}},                   // anchored: always one try
        {"(a)|(b)", {"b", "a", "c", "ba"}},                      // no hints: every position tried
        {"\xE9+(\xC9)", {"\xE9\xE9\xC9", "\xC9", "\xE9\xC9\xC9"}},  // bytes above 0x7F, no hints
    };
    DiffTally tally;
    for (const Sequence& sequence : sequences) {
        PatternDiff run(sequence.pattern, report_failure);
        ASSERT_TRUE(run.compiled()) << escape_bytes(sequence.pattern);
        for (const char* line : sequence.lines) run.check_line(line, tally, "lines in a row");
        TestRandom random(DEFAULT_SEED);
        run.check_buffer(tally, "lines in a row", &random);
    }
    EXPECT_EQ(tally.failures, 0u);

    // The comparison above must really cover the leftover case: check it happens.
    PatternDiff run("a*b", report_failure);
    ASSERT_TRUE(run.compiled());
    run.check_line("xaab", tally, "leftover slots");
    run.check_line("aaa", tally, "leftover slots");
    EXPECT_EQ(run.real_slots(), "@0:1-@0:4 - - - - - - - - -");
}

TEST(MatcherDiff, SelectionPrefilterLiteralsAndMessages) {
    // The literals the prefilter searches for: one that every match contains, one per
    // alternative, none where a match may lack every literal or the set would stop the
    // search too often (then the DFA runs alone).
    // A long candidate line is decided around the literal when it is the only one and a
    // node on the top level (the "around" column).
    struct LiteralCase {
        const char* pattern;
        std::vector<std::string> literals;
        const char* around;
    };
    const LiteralCase cases[] = {
        {"[a-z]+_t ", {"_t "}, "_t "},
        {"([a-z]+)=([0-9]+)", {"=[0-9]"}, ""},  // rarer than "=", and found as fast
        {"foo|bar", {"bar", "foo"}, ""},
        {"(foo|bar)[0-9]*=", {"bar", "foo"}, ""},  // two rare pairs stop less often than "="
        {"x?(zq|jk)", {"jk", "zq"}, ""},
        {"[a-z]+", {}, ""},
        {"foo|b*", {}, ""},
        {"(foo)*bar?", {"ba"}, "ba"},  // the group may be skipped, the "r" too
        {"^#define", {"#define"}, "#define"},
        {"[0-9]+\\.[0-9]+", {"[0-9].[0-9]"}, ""},  // stops less often than the accelerated start state
        {"(a|b)*zq(c|d)*$", {"zq"}, "zq"},
    };
    for (const LiteralCase& c : cases) {
        CaptureHook hook;
        RegexpPtr prog(regcompile(c.pattern));
        ASSERT_NE(prog, nullptr) << c.pattern;
        RegMatcherPtr selector(regmatcher(prog.get()));
        ASSERT_NE(selector, nullptr);
        const RegMatcherStats stats = regmatcher_stats(selector.get());
        std::vector<std::string> literals = stats.literals;
        std::sort(literals.begin(), literals.end());
        EXPECT_EQ(literals, c.literals) << c.pattern;
        EXPECT_EQ(stats.inner_literal, c.around) << c.pattern;
        // A pattern that matches exactly the strings of its set needs no DFA after a hit.
        const bool alone = std::string(c.pattern) == "foo|bar" || std::string(c.pattern) == "x?(zq|jk)";
        EXPECT_EQ(stats.strategy == SelectStrategy::LITERALS, alone) << c.pattern;
    }

    // A line feed inside a line given alone is an ordinary byte, as it is to regsearch.
    CaptureHook hook;
    RegexpPtr dot(regcompile("a.b"));
    RegMatcherPtr dot_selector(regmatcher(dot.get()));
    EXPECT_EQ(regselect_line(dot_selector.get(), "a\nb", 3), 1);
    EXPECT_EQ(regselect_line(dot_selector.get(), "a\0b", 3), 0);
    // So it is on both sides of a literal that the line is decided around.
    RegexpPtr around(regcompile("a.=[^x]b"));
    RegMatcherPtr around_selector = build_selector(around.get(), RegMatcherConfig{.inner = InnerLiteral::ALWAYS});
    EXPECT_EQ(regmatcher_stats(around_selector.get()).inner_literal, "=");
    EXPECT_EQ(regselect_line(around_selector.get(), "a\n=\nb", 5), 1);
    EXPECT_EQ(regselect_line(around_selector.get(), "a\n=\0b", 5), 0);
    EXPECT_EQ(regselect_line(around_selector.get(), "a\0=\nb", 5), 0);

    // Failures go through the hook with the engine's own messages.
    EXPECT_EQ(regmatcher(nullptr), nullptr);
    EXPECT_EQ(regselect(nullptr, "a\n", nullptr), nullptr);
    EXPECT_EQ(regselect_line(nullptr, "a", 1), 0);
    dot->program[0] = 0;
    EXPECT_EQ(regmatcher(dot.get()), nullptr);
    EXPECT_EQ(reported, (std::vector<std::string>{"NULL parameter", "NULL parameter", "NULL parameter",
                                                  "corrupted program"}));
}

TEST(MatcherDiff, SelectionOnLongLinesAndLargeBuffers) {
    // Lines far longer than the random ones, against the backtracker (which the tests above
    // prove equal to the reference): repeated units that keep a DFA state busy for the
    // whole line, and many random lines in one buffer. The 10,000,000-byte line of `abab...`
    // with (a|b)+$ must be decided by the DFA alone, in a handful of states.
    // The long lines of patterns with a literal on the top level are decided around it
    // (split); where P or S would read far from every occurrence, the line goes back to the
    // DFA from its start (handed back), which keeps the time linear.
    struct LongCase {
        const char* pattern;
        const char* unit;
        const char* tail;
        bool split;
        bool handed_back;
    };
    const LongCase cases[] = {
        {"(a|b)+$", "ab", "", false, false},
        {"(a|b)+$", "ab", "c", false, false},
        {"(a|aa)*b", "a", "cb", true, false},
        {"(ab)*c", "ab", "xc", true, false},
        {"[a-z]+_t ", "ab ", "x_t ", true, false},
        {"[a-z]+_t ", "ab _t ", "", true, true},       // occurrences too close together to pay
        {"^(ab)+$", "ab", "", false, false},
        {"((a|b)*c)*d", "abc", "e", false, false},
        {"a.*b$", "a\xE9", "b", true, false},
        {"[0-9].*=", "a=b", "", true, true},           // P reads back to the line's start from each "="
        {"[0-9].*=", "a=b", "7=", true, true},
        {"x=[0-9] .*q$", "x=1 ", "", true, true},      // S reads on to the line's end from each "x=1 "
        {"x=[0-9] .*q$", "x=1 ", "q", true, false},    // ... and matches there the first time
        {"^(a|b)*zq", "ab", "zq", true, false},        // P back to the line's start, once
        {"^(a|b)*zq", "ab", "czq", true, false},
    };
    for (KernelLevel level : {KernelLevel::AVX2, KernelLevel::PLAIN}) {
        const KernelLevel kernels = scan_select_kernels(level);
        for (const LongCase& c : cases) {
            CaptureHook hook;
            RegexpPtr prog(regcompile(c.pattern));
            ASSERT_NE(prog, nullptr) << c.pattern;
            RegMatcherPtr selector(regmatcher(prog.get()));
            std::string line;
            while (line.size() < 200000) line += c.unit;
            line += c.tail;
            const int expected = regsearch(prog.get(), line.c_str());
            EXPECT_EQ(regselect_line(selector.get(), line.data(), line.size()), expected) << c.pattern << c.tail;
            const std::string buffer = "x\n" + line + "\n";
            const char* found = regselect(selector.get(), buffer.data(), buffer.data() + buffer.size());
            const int expected_first = regsearch(prog.get(), "x");
            EXPECT_EQ(found, expected_first ? buffer.data() : expected ? buffer.data() + 2 : nullptr) << c.pattern;
            EXPECT_TRUE(reported.empty());
            const RegMatcherStats stats = regmatcher_stats(selector.get());
            EXPECT_EQ(stats.inner_lines > 0, c.split) << c.pattern << c.tail;
            EXPECT_EQ(stats.inner_fallbacks > 0, c.handed_back) << c.pattern << c.tail;
        }
        scan_select_kernels(kernels);
    }

    RegexpPtr prog(regcompile("(a|b)+$"));
    ASSERT_NE(prog, nullptr);
    RegMatcherPtr selector(regmatcher(prog.get()));
    std::string line(10'000'000, 'a');
    for (size_t i = 1; i < line.size(); i += 2) line[i] = 'b';
    EXPECT_EQ(regselect_line(selector.get(), line.data(), line.size()), 1);
    line += "c\n";
    EXPECT_EQ(regselect(selector.get(), line.data(), line.data() + line.size()), nullptr);
    const RegMatcherStats stats = regmatcher_stats(selector.get());
    EXPECT_EQ(stats.backtracked_lines, 0u);
    EXPECT_EQ(stats.dfa.cache_clears, 0u);
    EXPECT_LT(stats.dfa.states_built, 10u);

    // Many random lines in one buffer, the lines selected against regsearch line by line.
    TestRandom random(DEFAULT_SEED + 7);
    for (int pattern_case = 0; pattern_case < 200; ++pattern_case) {
        CaptureHook hook;
        const std::string pattern = random_pattern(random);
        RegexpPtr compiled(regcompile(pattern.c_str()));
        if (compiled == nullptr) continue;
        RegMatcherPtr matcher(regmatcher(compiled.get()));
        std::string buffer;
        std::vector<size_t> expected;
        std::vector<size_t> starts;
        for (int i = 0; i < 2000; ++i) {
            const std::string text = random_line(random, pattern, 3000);
            if (regsearch(compiled.get(), text.c_str()) == 1) expected.push_back(starts.size());
            starts.push_back(buffer.size());
            buffer += text + "\n";
        }
        std::vector<size_t> selected;
        const char* end = buffer.data() + buffer.size();
        for (const char* from = buffer.data(); from < end;) {
            const char* found = regselect(matcher.get(), from, end);
            if (found == nullptr) break;
            const size_t index = size_t(std::lower_bound(starts.begin(), starts.end(), size_t(found - buffer.data())) -
                                        starts.begin());
            ASSERT_LT(index, starts.size());
            ASSERT_EQ(starts[index], size_t(found - buffer.data())) << "not a line start";
            selected.push_back(index);
            from = index + 1 < starts.size() ? buffer.data() + starts[index + 1] : end;
        }
        EXPECT_EQ(selected, expected) << "pattern \"" << escape_bytes(pattern) << "\"";
        EXPECT_TRUE(reported.empty());
        if (HasFailure()) break;
    }
}

// ---------------------------------------------------------------------------------------
// Damaged programs: the node-walk messages fail only the path being tried, and the search
// goes on. The real matcher may report them fewer times, but must report the same kinds
// and find the same match. The damage never creates a cycle or a link out of the program.

struct NodeInfo {
    size_t offset;
    unsigned char opcode;
    bool repeated;  // the operand of a simple repetition
};

std::vector<NodeInfo> list_nodes(const Regexp* prog) {
    std::vector<NodeInfo> nodes;
    size_t at = 1;
    bool repeated = false;
    for (;;) {
        const unsigned char* node = prog->program + at;
        const unsigned char op = node_opcode(node);
        nodes.push_back({at, op, repeated});
        repeated = op == OP_SIMPLE_STAR || op == OP_SIMPLE_PLUS;
        at += NODE_HEADER_SIZE;
        if (op == OP_LITERAL || op == OP_ONE_OF || op == OP_NONE_OF)
            at += std::strlen(reinterpret_cast<const char*>(node) + NODE_HEADER_SIZE) + 1;
        if (op == OP_END) return nodes;  // the top level's end is the last node
    }
}

// damage applies the same random damage to a program; false when none applies.
bool damage(Regexp* first, Regexp* second, TestRandom& random) {
    const std::vector<NodeInfo> nodes = list_nodes(first);
    const NodeInfo& node = nodes[random.below(static_cast<uint32_t>(nodes.size()))];
    unsigned char* bytes[] = {first->program + node.offset, second->program + node.offset};
    static constexpr unsigned char NO_OPCODES[] = {12, 15, 20, 30, 40, 0x9C, 0xFF};
    switch (random.below(4)) {
    case 0:  // an opcode that does not exist: "memory corruption", or "internal foulup" when repeated
        for (unsigned char* b : bytes) b[0] = NO_OPCODES[random.below(sizeof NO_OPCODES)];
        return true;
    case 1:  // a lost link: "corrupted pointers" (or a chain of alternatives cut short)
        if (node.opcode == OP_END || next_offset(bytes[0]) == 0) return false;
        for (unsigned char* b : bytes) b[1] = b[2] = 0;
        return true;
    case 2:  // a node turned empty: only one that consumes nothing anyway, since an
             // empty body inside a repetition would loop for ever (a backward link
             // would point forward, so not OP_LOOP either); the repeated node of a
             // simple repetition gives "internal foulup"
        if (!node.repeated && node.opcode != OP_LINE_START && node.opcode != OP_LINE_END &&
            node.opcode != OP_END && !is_group_open(node.opcode) && !is_group_close(node.opcode))
            return false;
        for (unsigned char* b : bytes) b[0] = OP_EMPTY;
        return true;
    default:  // another group's number: slots from unmatched open and close nodes
        if (!is_group_open(node.opcode) && !is_group_close(node.opcode)) return false;
        const unsigned char base = is_group_open(node.opcode) ? OP_GROUP_OPEN : OP_GROUP_CLOSE;
        const unsigned char group = static_cast<unsigned char>(1 + random.below(9));
        for (unsigned char* b : bytes) b[0] = static_cast<unsigned char>(base + group);
        return true;
    }
}

TEST(MatcherDiff, DamagedPrograms) {
    const uint64_t seed = environment_number("QUARNEL_DIFF_SEED", DEFAULT_SEED) ^ 0xDA3A6ED;
    // One damaged program for every hundred random pairs: 2000 by default.
    const uint64_t wanted = environment_number("QUARNEL_DIFF_COUNT", DEFAULT_PAIRS) / 100;
    TestRandom random(seed);
    DiffTally tally;
    uint64_t damaged = 0;
    uint64_t with_messages = 0;
    const auto start = std::chrono::steady_clock::now();
    while (damaged < wanted) {
        PatternDiff run(random_pattern(random), report_failure,
                        DiffSetup{.messages = MessageRule::SAME_KINDS, .check_unfiltered = false});
        if (!run.compiled() || !damage(run.real(), run.reference(), random)) continue;
        ++damaged;
        const std::string context = "damaged program, seed " + std::to_string(seed) + ", #" + std::to_string(damaged);
        for (int i = 0; i < LINES_PER_PATTERN; ++i)
            with_messages += run.check_line(random_line(random, run.pattern()), tally, context) > 0;
    }
    std::printf("[ tally    ] damaged: %llu programs, %llu lines compared, %llu with node-walk messages, %.2f s\n",
                static_cast<unsigned long long>(damaged), static_cast<unsigned long long>(tally.pairs),
                static_cast<unsigned long long>(with_messages), seconds_since(start));
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_GT(with_messages * 4, damaged) << "the damage hardly ever reaches the node walk";
}

// A literal set that stops paying turns itself off, and on again when the text shows it
// paying: a buffer whose middle third holds the literal on every line (but never a match)
// between two thirds where it is rare. The lines selected are the backtracker's throughout.
TEST(MatcherDiff, APrefilterThatStopsPayingTurnsItselfOffAndOnAgain) {
    CaptureHook hook;
    RegexpPtr prog(regcompile("zq[0-9]+x"));
    ASSERT_NE(prog, nullptr);
    RegMatcherConfig config;
    config.review_bytes = 64 * 1024;
    config.retry_bytes = 128 * 1024;
    RegMatcherPtr selector(regmatcher_configured(prog.get(), config));
    ASSERT_NE(selector, nullptr);
    ASSERT_FALSE(regmatcher_stats(selector.get()).literals.empty());

    TestRandom random(DEFAULT_SEED + 11);
    std::string buffer;
    std::vector<size_t> starts;
    std::vector<size_t> expected;
    for (int part = 0; part < 3; ++part) {
        while (buffer.size() < size_t(part + 1) * 2'000'000) {
            std::string line;
            const size_t words = 3 + random.below(8);
            for (size_t w = 0; w < words; ++w) line += (random.chance(20) ? "id" : "word") + std::to_string(random.below(99)) + ' ';
            if (part == 1) line += "zq zq1 zqx zq";  // the literal everywhere, never a match
            if (part != 1 && random.chance(1)) line += "zq42x";
            starts.push_back(buffer.size());
            if (regsearch(prog.get(), line.c_str()) == 1) expected.push_back(starts.size() - 1);
            buffer += line + '\n';
        }
    }
    // Blocks of 64 KiB cut after a line feed, as the filter hands them over.
    std::vector<size_t> selected;
    const char* data = buffer.data();
    for (size_t block = 0; block < buffer.size();) {
        size_t block_end = std::min(buffer.size(), block + 65536);
        while (block_end < buffer.size() && data[block_end - 1] != '\n') ++block_end;
        for (const char* from = data + block; from < data + block_end;) {
            const char* found = regselect(selector.get(), from, data + block_end);
            if (found == nullptr) break;
            const size_t index = size_t(std::lower_bound(starts.begin(), starts.end(), size_t(found - data)) - starts.begin());
            ASSERT_LT(index, starts.size());
            ASSERT_EQ(starts[index], size_t(found - data));
            selected.push_back(index);
            from = data + (index + 1 < starts.size() ? starts[index + 1] : buffer.size());
        }
        block = block_end;
    }
    EXPECT_EQ(selected, expected);
    const RegMatcherStats stats = regmatcher_stats(selector.get());
    EXPECT_GE(stats.prefilter_changes, 2u) << "off in the middle, on again after it";
    EXPECT_GT(stats.prefilter_off_bytes, 0u);
    EXPECT_LT(stats.prefilter_off_bytes, 4'000'000u);
    EXPECT_FALSE(stats.literals.empty()) << "searched again at the end";
    EXPECT_TRUE(reported.empty());
}

// ---------------------------------------------------------------------------------------
// The bit-parallel NFA (bitnfa.h) and the leftmost start (LazyDfa::scan_reverse with
// regsearch_from) against regsearch, which the tests above hold to the reference: the NFA must
// select exactly the lines regsearch matches, one line at a time and over a buffer of them;
// the reverse DFA must find where regsearch's match begins; regsearch_from from there must
// leave regsearch's twenty slots.

struct EngineTally {
    uint64_t patterns = 0;       // compiled
    uint64_t nfa_refused = 0;    // too many positions for the NFA
    uint64_t lines = 0;
    uint64_t matches = 0;
    uint64_t reverse_gave_up = 0;
    uint64_t buffers = 0;
    uint64_t failures = 0;
};

// EngineRun is one compiled pattern, its NFA and its reverse DFA; lines are checked in turn
// and remembered for check_buffer.
class EngineRun {
public:
    explicit EngineRun(const std::string& pattern, size_t reverse_cache = DEFAULT_DFA_CACHE_BYTES)
        : pattern_(pattern) {
        CaptureHook hook;
        prog_.reset(regcompile(pattern.c_str()));
        from_.reset(regcompile(pattern.c_str()));
        if (prog_ == nullptr) return;
        const ProgramExtent extent = inspect_program(prog_->program);
        EXPECT_TRUE(extent.sound) << escape_bytes(pattern);
        nfa_built_ = nfa_.build(prog_->program, extent.size);
        reverse_.build_reverse(prog_->program, extent.size, reverse_cache);
    }

    bool compiled() const { return prog_ != nullptr; }
    bool nfa_built() const { return nfa_built_; }
    const BitNfa& nfa() const { return nfa_; }
    const LazyDfa& reverse() const { return reverse_; }

    // check_line compares the NFA (LINE mode), the leftmost start and regsearch_from with
    // regsearch on line (cut at its first NUL for regsearch, given whole to the others).
    // in_buffer: the line also goes into the buffer of check_buffer.
    void check_line(const std::string& line, EngineTally& tally, const std::string& context, bool in_buffer = true) {
        CaptureHook hook;
        const char* text = line.c_str();
        const char* end = text + line.size();
        const int expected = regsearch(prog_.get(), text);
        ++tally.lines;
        tally.matches += expected;
        std::string trouble;
        if (nfa_built_) {
            const LazyDfa::Outcome outcome = nfa_.scan(text, end, LazyDfa::Mode::LINE);
            if ((outcome.result == LazyDfa::Result::MATCH) != (expected == 1)) trouble += " nfa says " + name(outcome);
        }
        const LazyDfa::Outcome start = reverse_.scan_reverse(text, end);
        if (start.result == LazyDfa::Result::GAVE_UP) {
            ++tally.reverse_gave_up;
        } else if ((start.result == LazyDfa::Result::MATCH) != (expected == 1)) {
            trouble += " reverse start says " + name(start);
        } else if (expected == 1 && start.at != prog_->match_start[0]) {
            trouble += " reverse start at " + std::to_string(start.at - text) + ", match at " +
                       std::to_string(prog_->match_start[0] - text);
        }
        if (expected == 1) {
            // From the match's start, exactly regsearch's slots; from any earlier position, no match.
            const char* at = prog_->match_start[0];
            if (regsearch_from(from_.get(), text, at) != 1 || !same_slots(prog_.get(), from_.get()))
                trouble += " regsearch_from's slots differ: " + slots_of(from_.get(), text) + " against " +
                           slots_of(prog_.get(), text);
            if (at > text && regsearch_from(from_.get(), text, at - 1 - (at - text - 1) / 2) != 0)
                trouble += " regsearch_from matches before the leftmost start";
        }
        if (!reported.empty()) trouble += " messages " + describe_messages(reported);
        if (!trouble.empty() && ++tally.failures <= MAX_REPORTED_FAILURES)
            ADD_FAILURE() << context << "\n  pattern \"" << escape_bytes(pattern_) << "\"\n  line    \""
                          << escape_bytes(line) << "\"\n  regsearch: " << expected << "\n " << trouble;
        if (in_buffer) lines_.push_back({line, expected});
    }

    // check_buffer selects the lines checked so far from one buffer, each ended by '\n', with
    // the NFA in BUFFER mode, and compares the lines selected with regsearch's results.
    void check_buffer(EngineTally& tally, const std::string& context) {
        if (!nfa_built_ || lines_.empty()) return;
        std::string buffer;
        std::vector<size_t> starts;
        std::vector<size_t> expected;
        for (size_t i = 0; i < lines_.size(); ++i) {
            starts.push_back(buffer.size());
            buffer += lines_[i].first + '\n';
            if (lines_[i].second == 1) expected.push_back(i);
        }
        std::vector<size_t> selected;
        const char* data = buffer.data();
        const char* end = data + buffer.size();
        for (const char* from = data; from < end;) {
            const LazyDfa::Outcome outcome = nfa_.scan(from, end, LazyDfa::Mode::BUFFER);
            if (outcome.result != LazyDfa::Result::MATCH) break;
            // The line that holds `at`: its '\n' belongs to it.
            const size_t at = size_t(outcome.at - data);
            const size_t index = size_t(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin()) - 1;
            if (at < size_t(from - data) || at >= buffer.size()) {
                selected.push_back(starts.size());  // outside the region: reported below
                break;
            }
            selected.push_back(index);
            from = index + 1 < starts.size() ? data + starts[index + 1] : end;
        }
        ++tally.buffers;
        if (selected != expected && ++tally.failures <= MAX_REPORTED_FAILURES) {
            std::string lines;
            for (size_t i = 0; i < lines_.size(); ++i)
                lines += "\n    " + std::to_string(i) + ": \"" + escape_bytes(lines_[i].first) + "\" -> " +
                         std::to_string(lines_[i].second);
            ADD_FAILURE() << context << ": the NFA over a buffer\n  pattern \"" << escape_bytes(pattern_)
                          << "\"\n  selected " << join(selected) << ", expected " << join(expected) << lines;
        }
    }

private:
    static std::string name(const LazyDfa::Outcome& outcome) {
        return outcome.result == LazyDfa::Result::MATCH ? "MATCH" : outcome.result == LazyDfa::Result::NONE ? "NONE"
                                                                                                             : "GAVE_UP";
    }
    static bool same_slots(const Regexp* a, const Regexp* b) {
        return std::equal(std::begin(a->match_start), std::end(a->match_start), std::begin(b->match_start)) &&
               std::equal(std::begin(a->match_end), std::end(a->match_end), std::begin(b->match_end));
    }
    static std::string slots_of(const Regexp* prog, const char* text) {
        std::string out;
        for (int i = 0; i < REGEXP_GROUPS; ++i) {
            auto at = [&](const char* p) { return p == nullptr ? std::string("n") : std::to_string(p - text); };
            out += (i ? " " : "") + at(prog->match_start[i]) + "-" + at(prog->match_end[i]);
        }
        return out;
    }
    static std::string join(const std::vector<size_t>& indices) {
        std::string out = "{";
        for (size_t i : indices) out += (out.size() > 1 ? " " : "") + std::to_string(i);
        return out + "}";
    }

    std::string pattern_;
    RegexpPtr prog_;
    RegexpPtr from_;
    BitNfa nfa_;
    bool nfa_built_ = false;
    LazyDfa reverse_;
    std::vector<std::pair<std::string, int>> lines_;
};

void print_engine_tally(const char* name, const EngineTally& tally, double seconds) {
    std::printf("[ tally    ] %s: %llu patterns (%llu too large for the NFA), %llu lines compared, %llu matched, "
                "%llu buffers, reverse start gave up on %llu lines, %.2f s\n",
                name, static_cast<unsigned long long>(tally.patterns), static_cast<unsigned long long>(tally.nfa_refused),
                static_cast<unsigned long long>(tally.lines), static_cast<unsigned long long>(tally.matches),
                static_cast<unsigned long long>(tally.buffers), static_cast<unsigned long long>(tally.reverse_gave_up),
                seconds);
}

// check_random_engines runs seeded random patterns and lines through EngineRun until
// wanted_lines lines are compared: some lines long (up to 3,000 bytes), one in five with a NUL
// and more bytes after it, one in ten also checked alone with a '\n' inside it (an ordinary
// byte there). The extra bytes are drawn from a second generator, as in compare_random_pairs.
EngineTally check_random_engines(uint64_t seed, uint64_t wanted_lines, size_t reverse_cache) {
    std::printf("[ seed     ] QUARNEL_DIFF_SEED=%llu\n", static_cast<unsigned long long>(seed));
    TestRandom random(seed);
    TestRandom extra(seed ^ 0xB17AFA);
    EngineTally tally;
    for (uint64_t case_number = 0; tally.lines < wanted_lines; ++case_number) {
        const std::string pattern = random_pattern(random, 2 + static_cast<int>(random.below(6)));
        EngineRun run(pattern, reverse_cache);
        if (!run.compiled()) continue;
        ++tally.patterns;
        tally.nfa_refused += !run.nfa_built();
        const std::string context = "seed " + std::to_string(seed) + ", engine case " + std::to_string(case_number);
        for (int i = 0; i < LINES_PER_PATTERN; ++i) {
            std::string line = random_line(random, pattern, 3000);
            if (extra.chance(20)) line += std::string(1, '\0') + random_line(extra, pattern, 60);
            run.check_line(line, tally, context);
            if (extra.chance(10)) {
                line.insert(extra.below(uint32_t(line.size() + 1)), 1, '\n');
                run.check_line(line, tally, context, false);
            }
        }
        run.check_buffer(tally, context);
        if (tally.failures > MAX_REPORTED_FAILURES) break;
    }
    return tally;
}

TEST(MatcherDiff, BitNfaAndLeftmostStartOnSeededRandomPatterns) {
    const uint64_t seed = environment_number("QUARNEL_DIFF_SEED", DEFAULT_SEED) + 5;
    const uint64_t lines = std::max<uint64_t>(environment_number("QUARNEL_DIFF_COUNT", DEFAULT_PAIRS) / 4, 1000);
    auto start = std::chrono::steady_clock::now();
    const EngineTally tally = check_random_engines(seed, lines, DEFAULT_DFA_CACHE_BYTES);
    print_engine_tally("engines", tally, seconds_since(start));
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_LT(tally.nfa_refused * 100, tally.patterns);
    EXPECT_GT(tally.matches * 5, tally.lines);
    EXPECT_LT(tally.matches * 5, tally.lines * 4);
    EXPECT_EQ(tally.reverse_gave_up, 0u);
    EXPECT_GT(tally.buffers * 2, tally.patterns);

    // With a cache too small for a few states the reverse DFA keeps clearing it and gives some
    // lines up; the others must still get the right start.
    start = std::chrono::steady_clock::now();
    const EngineTally shrunk = check_random_engines(seed + 1, lines / 4, 1);
    print_engine_tally("engines, reverse cache shrunk", shrunk, seconds_since(start));
    EXPECT_EQ(shrunk.failures, 0u);
    EXPECT_GT(shrunk.reverse_gave_up, 0u);
    EXPECT_LT(shrunk.reverse_gave_up * 2, shrunk.lines);
}

TEST(MatcherDiff, BitNfaAndLeftmostStartOnEveryShortPattern) {
    // The patterns and lines of EveryShortPatternAgainstEveryShortLine, plus the lines with a
    // '\n' inside (an ordinary byte to one line given alone).
    const std::vector<std::string> lines = short_lines();
    const auto start = std::chrono::steady_clock::now();
    EngineTally tally;
    for_each_short_pattern([&](const std::string& pattern) {
        EngineRun run(pattern);
        if (!run.compiled()) return;
        ++tally.patterns;
        tally.nfa_refused += !run.nfa_built();
        for (const std::string& line : lines) run.check_line(line, tally, "exhaustive engines");
        for (const char* line : {"\n", "a\nb", "ab\n", "\nba"}) run.check_line(line, tally, "exhaustive engines", false);
        run.check_buffer(tally, "exhaustive engines");
    });
    print_engine_tally("exhaustive engines", tally, seconds_since(start));
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_EQ(tally.nfa_refused, 0u);
    EXPECT_EQ(tally.reverse_gave_up, 0u);
    EXPECT_GT(tally.lines, 1000000u);
}

TEST(MatcherDiff, BitNfaAndLeftmostStartOnLongLines) {
    // Lines of 200,000 bytes: a match at the end, at the start, or none, and `^`, `$` at the
    // ends of the text; the same line after a short one in a buffer. The last two patterns
    // take two and four words of state.
    struct LongCase {
        std::string pattern;
        const char* head;
        const char* unit;
        std::string tail;
    };
    const std::string wide2 = "x(a|b)*" + std::string(80, 'c') + "[ab]*y";
    const std::string wide4 = "x[ab]*(" + std::string(100, 'c') + "|" + std::string(100, 'd') + ")[ab]+$";
    const LongCase cases[] = {
        {"(a|a)*b", "", "a", "cb"},
        {"(a|a)*b", "", "a", "c"},
        {"(a|aa)*b$", "", "a", "b"},
        {"^(ab)*c", "", "ab", "c"},
        {"^(ab)*c", "x", "ab", "c"},
        {"a[ab][ab][ab][ab][ab]b$", "", "ab", "aaaaaab"},
        {"a[ab][ab][ab][ab][ab]b$", "", "ab", "abababa"},
        {"(a|b)+$", "", "ab", ""},
        {"x.*y|z", "x", "ab", "z"},
        {".*", "", "ab", ""},
        {"$", "", "ab", ""},
        {wide2, "x", "ab", std::string(80, 'c') + "y"},
        {wide4, "x", "ab", std::string(100, 'd') + "a"},
    };
    EngineTally tally;
    unsigned widths = 0;
    for (const LongCase& c : cases) {
        EngineRun run(c.pattern);
        ASSERT_TRUE(run.compiled()) << c.pattern;
        ASSERT_TRUE(run.nfa_built()) << c.pattern;
        widths |= 1u << run.nfa().state_words();
        std::string line = c.head;
        while (line.size() < 200000) line += c.unit;
        run.check_line("ab", tally, c.pattern);
        run.check_line(line + c.tail, tally, c.pattern);
        run.check_line(line, tally, c.pattern);
        run.check_buffer(tally, c.pattern);
    }
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_EQ(tally.reverse_gave_up, 0u);
    EXPECT_EQ(widths, (1u << 1) | (1u << 2) | (1u << 4));
}

TEST(MatcherDiff, DfaHostilePatternsAreDecidedByTheNfa) {
    // a[ab]{k}b$ written out: after each byte the automaton must remember which of the last
    // k + 1 bytes were an `a`, 2^k sets of positions on random a/b text. The lazy DFA builds
    // a state for nearly every byte, clears its cache again and again and gives lines up; the
    // NFA, which needs no cache, must select exactly the lines regsearch matches.
    TestRandom random(DEFAULT_SEED + 11);
    std::string buffer;
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) {
        std::string line;
        for (int j = 0; j < 80; ++j) line += random.chance(50) ? 'a' : 'b';
        lines.push_back(line);
        buffer += line + '\n';
    }
    for (int k : {4, 8, 12, 16, 20}) {
        std::string pattern = "a";
        for (int i = 0; i < k; ++i) pattern += "[ab]";
        pattern += "b$";
        RegexpPtr prog(regcompile(pattern.c_str()));
        ASSERT_NE(prog, nullptr);
        const size_t size = inspect_program(prog->program).size;
        LazyDfa dfa;
        dfa.build(prog->program, size, size_t(256) << 10);
        BitNfa nfa;
        ASSERT_TRUE(nfa.build(prog->program, size));
        EXPECT_EQ(nfa.positions(), size_t(k) + 3) << pattern;  // a, the k sets, b and the `$`
        EXPECT_EQ(nfa.table_chunks(), 0u) << pattern;          // all shifts

        std::vector<size_t> expected;
        for (size_t i = 0; i < lines.size(); ++i)
            if (regsearch(prog.get(), lines[i].c_str()) == 1) expected.push_back(i);
        std::vector<size_t> by_nfa;
        std::vector<size_t> by_dfa;
        uint64_t given_up = 0;
        const char* end = buffer.data() + buffer.size();
        for (auto* engine : {&by_nfa, &by_dfa}) {
            for (const char* from = buffer.data(); from < end;) {
                const LazyDfa::Outcome outcome = engine == &by_nfa ? nfa.scan(from, end, LazyDfa::Mode::BUFFER)
                                                                   : dfa.scan(from, end, LazyDfa::Mode::BUFFER);
                if (outcome.result == LazyDfa::Result::NONE) break;
                const size_t index = size_t(outcome.at - buffer.data()) / 81;
                if (outcome.result == LazyDfa::Result::GAVE_UP) {
                    ++given_up;  // the selection matcher would hand this line on
                    if (regsearch(prog.get(), lines[index].c_str()) == 1) engine->push_back(index);
                } else {
                    engine->push_back(index);
                }
                from = buffer.data() + 81 * (index + 1);
            }
        }
        EXPECT_EQ(by_nfa, expected) << pattern;
        EXPECT_EQ(by_dfa, expected) << pattern;
        EXPECT_GT(expected.size(), lines.size() / 8) << pattern;
        EXPECT_LT(expected.size(), lines.size() / 2) << pattern;
        // The DFA thrashes from about k = 12 on: many states, clears, lines given up.
        if (k >= 16) {
            EXPECT_GT(dfa.stats().cache_clears, 10u) << pattern;
            EXPECT_GT(given_up, 0u) << pattern;
        }
        if (k <= 8) {
            EXPECT_EQ(dfa.stats().cache_clears, 0u) << pattern;
        }

        // The leftmost start of the same lines, from the end of each.
        EngineRun run(pattern);
        EngineTally tally;
        for (size_t i = 0; i < 300; ++i) run.check_line(lines[i], tally, pattern);
        EXPECT_EQ(tally.failures, 0u);
    }
}

TEST(MatcherDiff, BitNfaWidthsAndItsLimit) {
    // Random valid patterns long enough to need two and four words of state, against random
    // lines, and programs the NFA cannot take: over 256 positions.
    TestRandom random(DEFAULT_SEED + 13);
    EngineTally tally;
    int by_words[5] = {};
    for (int attempt = 0; attempt < 4000 && (by_words[2] < 40 || by_words[4] < 40); ++attempt) {
        PatternOptions options;
        options.valid_only = true;
        options.max_pieces = 24 + int(random.below(40));
        std::string pattern = random_pattern(random, options);
        // Lengthen it with literals so that more of them reach the wide sizes.
        pattern = "(" + pattern + ")" + std::string(random.below(220), 'c') + "[ab]*";
        EngineRun run(pattern);
        if (!run.compiled() || !run.nfa_built()) continue;
        const unsigned words = run.nfa().state_words();
        if (words == 1 || by_words[words] >= 40) continue;
        ++by_words[words];
        ++tally.patterns;
        for (int i = 0; i < LINES_PER_PATTERN; ++i)
            run.check_line(random_line(random, pattern, 1000) + std::string(random.below(130), 'c'), tally, "wide");
        run.check_buffer(tally, "wide");
    }
    EXPECT_EQ(tally.failures, 0u);
    EXPECT_EQ(by_words[2], 40);
    EXPECT_EQ(by_words[4], 40);
    EXPECT_GT(tally.matches, 0u);
    EXPECT_LT(tally.matches, tally.lines);

    for (const std::string& pattern : {std::string(300, 'a'), "(" + std::string(200, 'a') + "|" + std::string(100, 'b') + ")x"}) {
        RegexpPtr prog(regcompile(pattern.c_str()));
        ASSERT_NE(prog, nullptr);
        BitNfa nfa;
        EXPECT_FALSE(nfa.build(prog->program, inspect_program(prog->program).size));
        EXPECT_GT(nfa.positions(), BitNfa::MAX_POSITIONS);
    }
}

TEST(MatcherDiff, BitNfaOverLargeBuffers) {
    // Many random lines in one buffer (some with a NUL and junk after their text), selected
    // line after line from each found line on, against regsearch line by line: large regions
    // run their two halves at once, which must still give the first matching line.
    TestRandom random(DEFAULT_SEED + 17);
    uint64_t patterns = 0;
    uint64_t paired = 0;
    uint64_t matched = 0;
    uint64_t lines_total = 0;
    while (patterns < 150) {
        CaptureHook hook;
        const std::string pattern = random_pattern(random, 2 + int(random.below(6)));
        RegexpPtr prog(regcompile(pattern.c_str()));
        if (prog == nullptr) continue;
        BitNfa nfa;
        if (!nfa.build(prog->program, inspect_program(prog->program).size) || nfa.matches_every_line()) continue;
        ++patterns;
        std::string buffer;
        std::vector<size_t> starts;
        std::vector<size_t> expected;
        for (int i = 0; i < 1000; ++i) {
            std::string text = random_line(random, pattern, 400);
            if (random.chance(5)) text += std::string(1, '\0') + random_line(random, pattern, 60);
            if (regsearch(prog.get(), text.c_str()) == 1) expected.push_back(starts.size());
            starts.push_back(buffer.size());
            buffer += text + "\n";
        }
        if (random.chance(50)) buffer.pop_back();  // a last line without its '\n'
        std::vector<size_t> selected;
        const char* end = buffer.data() + buffer.size();
        for (const char* from = buffer.data(); from < end;) {
            const LazyDfa::Outcome outcome = nfa.scan(from, end, LazyDfa::Mode::BUFFER);
            if (outcome.result != LazyDfa::Result::MATCH) break;
            const size_t at = size_t(outcome.at - buffer.data());
            const size_t index = size_t(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin()) - 1;
            ASSERT_GE(outcome.at, from);
            selected.push_back(index);
            from = index + 1 < starts.size() ? buffer.data() + starts[index + 1] : end;
        }
        EXPECT_EQ(selected, expected) << "pattern \"" << escape_bytes(pattern) << "\"";
        EXPECT_TRUE(reported.empty());
        paired += nfa.paired_scans();
        matched += expected.size();
        lines_total += starts.size();
        if (HasFailure()) break;
    }
    EXPECT_GT(paired, patterns * 10);
    EXPECT_GT(matched * 10, lines_total);
    EXPECT_LT(matched * 10, lines_total * 9);
}

}  // namespace
