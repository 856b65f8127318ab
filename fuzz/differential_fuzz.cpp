// differential_fuzz.cpp: the real matcher against the plain reference matcher.
//
// Input: pattern NUL lines, the lines separated by line feeds (at most MAX_LINES of them,
// each cut to MAX_LINE_BYTES; a NUL ends a line early). The pattern is compiled three
// times, and the lines are searched in order with each record:
//   real       regsearch (regexp/regsearch.cpp): explicit stack, failure memo; run three
//              times, with the default memo budget, with none (every choice point goes
//              to the lossy table) and with a few words (only the first ones get rows);
//   reference  reference_search (tests/support/reference_matcher.cpp), the literal recursive
//              reading of the matching rules;
//   plain      reference_search without the must-contain, anchored and first-byte
//              shortcuts, which tries every position.
// real and reference must agree on the result and on all twenty slots after every line,
// slots left over from an earlier line included (all lines live in one buffer, so a slot
// is compared as a position). plain must agree on the result, and on the slots after a
// match: that proves the compiler's hints never change a result. The selection matcher
// (regselect_line, and regselect over a buffer of all the lines, each ended by '\n') must
// select exactly the lines the reference matches, once with the default DFA cache and
// once with one so small that the DFA keeps clearing it and hands lines to the
// backtracker, and both again with every candidate line decided around a literal on the
// top level of the pattern where it has one (P backward from each occurrence, S forward);
// the vector kernels are on for even-sized inputs and off for odd ones. No
// engine message may be reported. A case on which the reference spends its step budget is
// dropped from there on. The engine's other two matchers get the same lines (check_engines):
// the bit-parallel NFA must select the lines the reference matches, one at a time and over the
// buffer; the reverse DFA (default cache, and one that keeps clearing) must find where the
// reference's match begins, or give up; regsearch_from from there must leave its slots.
//
// The reference recurses on the machine stack, once per choice and per group node passed,
// so lines and patterns are kept short here.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "regexp/analysis.h"
#include "regexp/bitnfa.h"
#include "regexp/regsearch_internal.h"
#include "regexp/regsearch_tuning.h"
#include "regexp/regselect_tuning.h"
#include "scan/scan.h"
#include "support/reference_matcher.h"

namespace {

constexpr size_t MAX_PATTERN_BYTES = 128;
constexpr size_t MAX_LINE_BYTES = 200;
constexpr size_t MAX_LINES = 8;
// The reference is exponential on patterns such as (a|aa)*b; a case that needs more passes
// than this is dropped, which keeps the target fast on the mutants of such seeds.
constexpr int64_t REFERENCE_STEP_BUDGET = 200'000;

// The matcher's memo budgets tried on every line: the default, none, and three words.
constexpr MemoBudget MEMO_BUDGETS[] = {{DEFAULT_MEMO_BUDGET_BYTES, DEFAULT_MEMO_BUDGET_PER_POSITION}, {0, 0}, {24, 0}};
constexpr size_t VARIANTS = sizeof MEMO_BUDGETS / sizeof MEMO_BUDGETS[0];

std::string describe_slots(const Regexp* re, const char* base) {
    std::string text;
    for (int n = 0; n < REGEXP_GROUPS; ++n) {
        char piece[48];
        if (re->match_start[n] == nullptr && re->match_end[n] == nullptr) {
            std::snprintf(piece, sizeof piece, " %d:-", n);
        } else {
            auto at = [&](const char* p) { return p == nullptr ? -1L : long(p - base); };
            std::snprintf(piece, sizeof piece, " %d:%ld-%ld", n, at(re->match_start[n]), at(re->match_end[n]));
        }
        text += piece;
    }
    return text;
}

bool same_slots(const Regexp* a, const Regexp* b) {
    return std::memcmp(a->match_start, b->match_start, sizeof a->match_start) == 0 &&
           std::memcmp(a->match_end, b->match_end, sizeof a->match_end) == 0;
}

struct Outcome {
    const char* name;
    int result;
    const Regexp* re;
};

[[noreturn]] void report(const char* what, std::string_view pattern, std::string_view line, const char* base, Outcome left,
                         Outcome right) {
    fuzz_fail("%s\n  pattern \"%s\"\n  line    \"%s\" (offset %ld in the buffer)\n  %-9s %d%s\n  %-9s %d%s", what,
              escape_bytes(pattern).c_str(), escape_bytes(line).c_str(), long(line.data() - base), left.name, left.result,
              describe_slots(left.re, base).c_str(), right.name, right.result, describe_slots(right.re, base).c_str());
}

// check_engines holds the bit-parallel NFA, the leftmost start and regsearch_from to the
// reference on the lines at base + offsets (each NUL-terminated) and on buffer, the same lines
// each ended by '\n' and starting at starts, of which expected are the matching ones.
void check_engines(const std::string& pattern, const char* base, const std::vector<size_t>& offsets,
                   const std::string& buffer, const std::vector<size_t>& starts, const std::vector<size_t>& expected) {
    RegexpBlock reference(regcompile(pattern.c_str()));
    RegexpBlock from(regcompile(pattern.c_str()));
    const size_t size = inspect_program(reference.re->program).size;
    BitNfa nfa;
    const bool nfa_built = nfa.build(reference.re->program, size);
    LazyDfa reverse[2];
    reverse[0].build_reverse(reference.re->program, size, DEFAULT_DFA_CACHE_BYTES);
    reverse[1].build_reverse(reference.re->program, size, 1);
    ReferenceOptions options;
    options.step_budget = REFERENCE_STEP_BUDGET;
    for (size_t i = 0; i < starts.size(); ++i) {
        const char* line = base + offsets[i];
        const std::string_view text(line);
        const int expected_result = reference_search(reference.re, line, options);
        if (expected_result == REFERENCE_GAVE_UP) continue;
        if (nfa_built) {
            const bool selected = nfa.scan(line, line + text.size(), LazyDfa::Mode::LINE).result == LazyDfa::Result::MATCH;
            if (selected != (expected_result == 1))
                fuzz_fail("pattern \"%s\" on line \"%s\": the NFA %d, reference %d", escape_bytes(pattern).c_str(),
                          escape_bytes(text).c_str(), int(selected), expected_result);
        }
        for (LazyDfa& dfa : reverse) {
            const LazyDfa::Outcome start = dfa.scan_reverse(line, line + text.size());
            if (start.result == LazyDfa::Result::GAVE_UP) continue;
            const bool found = start.result == LazyDfa::Result::MATCH;
            if (found != (expected_result == 1) || (found && start.at != reference.re->match_start[0]))
                fuzz_fail("pattern \"%s\" on line \"%s\": the reverse DFA finds %ld, the reference's match begins at %ld",
                          escape_bytes(pattern).c_str(), escape_bytes(text).c_str(), found ? long(start.at - line) : -1L,
                          expected_result == 1 ? long(reference.re->match_start[0] - line) : -1L);
        }
        if (expected_result == 1 && (regsearch_from(from.re, line, reference.re->match_start[0]) != 1 ||
                                     !same_slots(from.re, reference.re)))
            report("regsearch_from at the match's start and the reference disagree", pattern, text, base,
                   {"from", 1, from.re}, {"reference", 1, reference.re});
    }
    if (!nfa_built) return;
    std::vector<size_t> selected;
    const char* end = buffer.data() + buffer.size();
    for (const char* at = buffer.data(); at < end;) {
        const LazyDfa::Outcome outcome = nfa.scan(at, end, LazyDfa::Mode::BUFFER);
        if (outcome.result != LazyDfa::Result::MATCH) break;
        const size_t offset = size_t(outcome.at - buffer.data());
        const size_t index = size_t(std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin()) - 1;
        selected.push_back(index);
        at = index + 1 < starts.size() ? buffer.data() + starts[index + 1] : end;
    }
    if (selected != expected)
        fuzz_fail("pattern \"%s\": the NFA over the buffer selected %zu lines, the reference matched %zu",
                  escape_bytes(pattern).c_str(), selected.size(), expected.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> fields = split_at_nul(data, size, 2);
    const std::string pattern = fields[0].substr(0, MAX_PATTERN_BYTES);

    // All lines in one block of exactly their size, each ended by its NUL.
    std::vector<size_t> line_offsets;
    std::string joined;
    for (size_t begin = 0; line_offsets.size() < MAX_LINES;) {
        size_t end = fields[1].find('\n', begin);
        const bool last = end == std::string::npos;
        if (last) end = fields[1].size();
        std::string line = fields[1].substr(begin, end - begin).substr(0, MAX_LINE_BYTES);
        line.resize(std::strlen(line.c_str()));
        line_offsets.push_back(joined.size());
        joined += line;
        joined += '\0';
        if (last) break;
        begin = end + 1;
    }
    std::unique_ptr<char[]> buffer(new char[joined.size()]);
    std::memcpy(buffer.get(), joined.data(), joined.size());
    const char* base = buffer.get();

    MessageLog::install();
    RegexpBlock reference(regcompile(pattern.c_str()));
    if (reference.re == nullptr) {
        regsethook(nullptr);
        return 0;
    }
    RegexpBlock plain(regcompile(pattern.c_str()));
    RegexpBlock real[VARIANTS] = {RegexpBlock(regcompile(pattern.c_str())), RegexpBlock(regcompile(pattern.c_str())),
                                  RegexpBlock(regcompile(pattern.c_str()))};
    check_program(reference.re, pattern);

    // The selection matchers: default cache, and a cache too small to hold its states;
    // each as built by default and deciding every candidate line around its literal.
    RegMatcher* selectors[4];
    for (size_t i = 0; i < 4; ++i) {
        const size_t default_cache = regselect_set_cache_bytes(i % 2 == 0 ? DEFAULT_DFA_CACHE_BYTES : 1);
        const InnerLiteral default_inner = regselect_set_inner_literal(i < 2 ? InnerLiteral::AUTO : InnerLiteral::ALWAYS);
        selectors[i] = regmatcher(reference.re);
        regselect_set_inner_literal(default_inner);
        regselect_set_cache_bytes(default_cache);
    }
    const KernelLevel kernels = scan_select_kernels(size % 2 == 0 ? KernelLevel::AVX2 : KernelLevel::PLAIN);
    std::string selection_buffer;
    std::vector<size_t> selection_starts;
    std::vector<size_t> expected_lines;

    ReferenceOptions with_prefilters;
    with_prefilters.step_budget = REFERENCE_STEP_BUDGET;
    ReferenceOptions no_prefilters = with_prefilters;
    no_prefilters.use_prefilters = false;

    for (size_t offset : line_offsets) {
        const char* line = base + offset;
        const std::string_view line_text(line);

        const int reference_result = reference_search(reference.re, line, with_prefilters);
        if (reference_result == REFERENCE_GAVE_UP) break;
        for (RegMatcher* selector : selectors) {
            const int selected = regselect_line(selector, line, line_text.size());
            if (selected != reference_result)
                fuzz_fail("pattern \"%s\" on line \"%s\": regselect_line %d, reference %d", escape_bytes(pattern).c_str(),
                          escape_bytes(line_text).c_str(), selected, reference_result);
        }
        if (reference_result == 1) expected_lines.push_back(selection_starts.size());
        selection_starts.push_back(selection_buffer.size());
        selection_buffer += line_text;
        selection_buffer += '\n';
        for (size_t variant = 0; variant < VARIANTS; ++variant) {
            const MemoBudget default_budget = regsearch_set_memo_budget(MEMO_BUDGETS[variant]);
            const int real_result = regsearch(real[variant].re, line);
            regsearch_set_memo_budget(default_budget);
            if (!MessageLog::messages.empty())
                fuzz_fail("pattern \"%s\" on line \"%s\": the engine reported \"%s\"", escape_bytes(pattern).c_str(),
                          escape_bytes(line_text).c_str(), escape_bytes(MessageLog::messages[0]).c_str());
            if (real_result != reference_result || !same_slots(real[variant].re, reference.re)) {
                char what[96];
                std::snprintf(what, sizeof what, "regsearch (memo budget %zu bytes) and the reference matcher disagree",
                              MEMO_BUDGETS[variant].bytes);
                report(what, pattern, line_text, base, {"real", real_result, real[variant].re},
                       {"reference", reference_result, reference.re});
            }
        }

        const int plain_result = reference_search(plain.re, line, no_prefilters);
        if (plain_result == REFERENCE_GAVE_UP) continue;
        if (plain_result != reference_result || (plain_result == 1 && !same_slots(plain.re, reference.re)))
            report("the search hints changed the result", pattern, line_text, base,
                   {"reference", reference_result, reference.re}, {"plain", plain_result, plain.re});
    }

    // The lines searched so far, as one buffer: every matching line, in order, no other.
    for (RegMatcher* selector : selectors) {
        std::vector<size_t> selected;
        const char* end = selection_buffer.data() + selection_buffer.size();
        for (const char* from = selection_buffer.data(); from < end;) {
            const char* found = regselect(selector, from, end);
            if (found == nullptr) break;
            const size_t offset = size_t(found - selection_buffer.data());
            const size_t index = size_t(std::find(selection_starts.begin(), selection_starts.end(), offset) -
                                        selection_starts.begin());
            if (index == selection_starts.size()) fuzz_fail("regselect returned offset %zu, no line start", offset);
            selected.push_back(index);
            from = index + 1 < selection_starts.size() ? selection_buffer.data() + selection_starts[index + 1] : end;
        }
        if (selected != expected_lines)
            fuzz_fail("pattern \"%s\": regselect over the buffer selected %zu lines, the reference matched %zu",
                      escape_bytes(pattern).c_str(), selected.size(), expected_lines.size());
    }
    if (!MessageLog::messages.empty())
        fuzz_fail("pattern \"%s\": the selection matcher reported \"%s\"", escape_bytes(pattern).c_str(),
                  escape_bytes(MessageLog::messages[0]).c_str());
    check_engines(pattern, base, line_offsets, selection_buffer, selection_starts, expected_lines);
    if (!MessageLog::messages.empty())
        fuzz_fail("pattern \"%s\": the NFA, the reverse DFA or regsearch_from reported \"%s\"",
                  escape_bytes(pattern).c_str(), escape_bytes(MessageLog::messages[0]).c_str());
    for (RegMatcher* selector : selectors) regmatcher_free(selector);
    scan_select_kernels(kernels);
    regsethook(nullptr);
    return 0;
}
