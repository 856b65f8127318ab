// differential_fuzz.cpp: the real matchers against the plain reference matcher.
//
// Input: pattern NUL lines, the lines separated by line feeds (at most MAX_LINES of them,
// each cut to MAX_LINE_BYTES; a NUL ends a line early). The lines go in order through
// PatternDiff (tests/support/matcher_diff.h), the check that tests/matcher_diff_test.cpp
// runs too, set up as follows:
//   regsearch  three copies: with the default memo budget, with none (every choice point
//              goes to the lossy table) and with a few words (only the first ones get rows);
//   selection  regselect_line on each line and regselect over a buffer of all the lines,
//              with the default DFA cache and with one so small that the DFA keeps
//              clearing it and hands lines to the backtracker, and both again with every
//              candidate line decided around a literal on the top level of the pattern
//              where it has one (P backward from each occurrence, S forward); with the
//              bit-parallel NFA deciding every line; and with the DFA alone, which hands the
//              lines it gives up on to the backtracker (by default the NFA takes them);
// against reference_search, and reference_search without its prefilters; no engine message
// may be reported at all. PatternDiff also checks on every line that matches that each
// literal set of the program's analysis occurs in it.
//
// A pattern that begins with '@' is a list of words separated by blanks (classes and all
// allowed in a word), searched as their alternation: up to MAX_WORDS words, so that the
// literal sets of big alternations and their kernels are fuzzed too.
//
// The leftmost start (the reverse DFA, with the default cache and one that keeps clearing)
// must find where the reference's match begins, or give up, and regsearch_from from there
// must leave the reference's slots (check_leftmost_start). The vector kernels are on for
// even-sized inputs and off for odd ones. A case on which the reference spends its step
// budget is dropped from there on.
//
// The reference recurses on the machine stack, once per choice and per group node passed,
// so lines and patterns are kept short here.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "regexp/analysis.h"
#include "regexp/dfa.h"
#include "regexp/backtracker.h"
#include "regexp/selection.h"
#include "scan/scan.h"
#include "support/capture_hook.h"
#include "support/matcher_diff.h"

namespace {

constexpr size_t MAX_PATTERN_BYTES = 128;
constexpr size_t MAX_WORD_LIST_BYTES = 1024;
constexpr size_t MAX_WORDS = 80;
constexpr size_t MAX_LINE_BYTES = 200;
constexpr size_t MAX_LINES = 8;
// The reference is exponential on patterns such as (a|aa)*b; a line that needs more passes
// than this is skipped, which keeps the target fast on the mutants of such seeds.
constexpr int64_t REFERENCE_STEP_BUDGET = 200'000;

DiffSetup fuzz_setup() {
    DiffSetup setup;
    setup.step_budget = REFERENCE_STEP_BUDGET;
    setup.memo_budgets = {{DEFAULT_MEMO_BUDGET_BYTES, DEFAULT_MEMO_BUDGET_PER_POSITION}, {0, 0}, {24, 0}};
    setup.selectors = {
        RegMatcherConfig{},
        RegMatcherConfig{.cache_bytes = 1},
        RegMatcherConfig{.inner = InnerLiteral::ALWAYS},
        RegMatcherConfig{.cache_bytes = 1, .inner = InnerLiteral::ALWAYS},
        RegMatcherConfig{.core = CoreEngine::NFA},
        RegMatcherConfig{.cache_bytes = 1, .core = CoreEngine::DFA},
    };
    setup.messages = MessageRule::NONE;
    return setup;
}

// alternation_of turns "@w1 w2 w3" into "w1|w2|w3"; an empty word is left out.
std::string alternation_of(const std::string& list) {
    std::string pattern;
    size_t words = 0;
    for (size_t begin = 1; begin <= list.size() && words < MAX_WORDS;) {
        size_t end = list.find(' ', begin);
        if (end == std::string::npos) end = list.size();
        if (end > begin) {
            pattern += (words++ ? "|" : "") + list.substr(begin, end - begin);
        }
        begin = end + 1;
    }
    return pattern;
}

// check_leftmost_start holds the reverse DFA's leftmost start and regsearch_from to the
// reference on each line.
void check_leftmost_start(const std::string& pattern, const std::vector<std::string>& lines) {
    CaptureHook hook;
    RegexpPtr reference(regcompile(pattern.c_str()));
    RegexpPtr from(regcompile(pattern.c_str()));
    if (reference == nullptr || from == nullptr) return;
    const ProgramExtent extent = inspect_program(reference->program);
    if (!extent.sound) return;
    LazyDfa reverse[2];
    reverse[0].build_reverse(reference->program, extent.size, DEFAULT_DFA_CACHE_BYTES);
    reverse[1].build_reverse(reference->program, extent.size, 1);
    ReferenceOptions options;
    options.step_budget = REFERENCE_STEP_BUDGET;
    for (const std::string& text : lines) {
        const char* line = text.c_str();
        const int expected = reference_search(reference.get(), line, options);
        if (expected == REFERENCE_GAVE_UP) return;
        for (LazyDfa& dfa : reverse) {
            const LazyDfa::Outcome start = dfa.scan_reverse(line, line + text.size());
            if (start.result == LazyDfa::Result::GAVE_UP) continue;
            const bool found = start.result == LazyDfa::Result::MATCH;
            if (found != (expected == 1) || (found && start.at != reference->match_start[0]))
                fuzz_fail("pattern \"%s\" on line \"%s\": the reverse DFA finds %ld, the reference's match begins at %ld",
                          escape_bytes(pattern).c_str(), escape_bytes(text).c_str(), found ? long(start.at - line) : -1L,
                          expected == 1 ? long(reference->match_start[0] - line) : -1L);
        }
        if (expected != 1) continue;
        const bool same = regsearch_from(from.get(), line, reference->match_start[0]) == 1 &&
                          std::equal(from->match_start, from->match_start + REGEXP_GROUPS, reference->match_start) &&
                          std::equal(from->match_end, from->match_end + REGEXP_GROUPS, reference->match_end);
        if (!same)
            fuzz_fail("pattern \"%s\" on line \"%s\": regsearch_from at the match's start leaves other slots",
                      escape_bytes(pattern).c_str(), escape_bytes(text).c_str());
    }
    if (!reported.empty())
        fuzz_fail("pattern \"%s\": the reverse DFA or regsearch_from reported \"%s\"", escape_bytes(pattern).c_str(),
                  escape_bytes(reported[0]).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> fields = split_at_nul(data, size, 2);
    const std::string pattern = !fields[0].empty() && fields[0][0] == '@'
                                    ? alternation_of(fields[0].substr(0, MAX_WORD_LIST_BYTES))
                                    : fields[0].substr(0, MAX_PATTERN_BYTES);
    std::vector<std::string> lines;
    for (size_t begin = 0; lines.size() < MAX_LINES;) {
        size_t end = fields[1].find('\n', begin);
        const bool last = end == std::string::npos;
        if (last) end = fields[1].size();
        std::string line = fields[1].substr(begin, end - begin).substr(0, MAX_LINE_BYTES);
        line.resize(std::strlen(line.c_str()));
        lines.push_back(std::move(line));
        if (last) break;
        begin = end + 1;
    }

    static const DiffSetup SETUP = fuzz_setup();
    PatternDiff diff(pattern, [](const std::string& failure) { fuzz_fail("%s", failure.c_str()); }, SETUP);
    if (!diff.compiled()) return 0;
    check_program(diff.reference(), pattern);

    const KernelLevel kernels = scan_select_kernels(size % 2 == 0 ? KernelLevel::AVX2 : KernelLevel::PLAIN);
    DiffTally tally;
    for (const std::string& line : lines) {
        diff.check_line(line, tally, "differential_fuzz");
        if (tally.gave_up > 0) break;  // the case is dropped from there on
    }
    diff.check_buffer(tally, "differential_fuzz", nullptr);
    if (tally.gave_up == 0) check_leftmost_start(pattern, lines);
    scan_select_kernels(kernels);
    return 0;
}
