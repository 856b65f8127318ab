// matcher_diff.h: the differential check of the matchers, shared by
// tests/matcher_diff_test.cpp and fuzz/differential_fuzz.cpp.
//
// PatternDiff compiles one pattern once for each matcher and feeds them all the same lines,
// in sequence, on the same records:
//   regsearch     the backtracker (regexp/backtracker.cpp), one copy per memo budget asked for;
//   reference     reference_search (reference_matcher.h), the plain recursive reading of
//                 the matching rules: the yardstick;
//   unfiltered    reference_search without its prefilters, which tries every position;
//   selection     one selection matcher per RegMatcherConfig (regexp/selection.cpp):
//                 regselect_line on each line, and regselect over all the lines checked so
//                 far as one buffer (check_buffer).
// regsearch must agree with the reference on the result, on all twenty slots (compared as
// positions, so that slots left over from an earlier line count too) and on the engine
// messages as the MessageRule says; the unfiltered reference on the result and on the slots
// of a match (the compiler's hints never change a result); every selection matcher on which
// lines match; and on every line that matches, every literal set of the program's analysis
// must occur (the prefilters never lose a line); regsearch_with, on a record of its own, must
// leave exactly the reference's result and slots. A disagreement is described in full and handed to the caller's DiffReport:
// the test makes it a GoogleTest failure, the fuzz target aborts on it.
//
// A new strategy is a selection matcher built another way (a RegMatcherConfig more in the
// caller's DiffSetup, or another way of building in build_selector), or a step of its own
// in PatternDiff::check_line (a property every line must have). Test-only code, free of
// GoogleTest so that the fuzz targets compile it too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "regexp/literals.h"
#include "regexp/regexp.h"
#include "regexp/backtracker.h"
#include "regexp/selection.h"
#include "support/random_regex.h"
#include "support/reference_matcher.h"

// build_selector builds the selection matcher of prog with config (selection.h): the
// one place where the check makes a selection matcher.
RegMatcherPtr build_selector(const Regexp* prog, const RegMatcherConfig& config);

// MessageRule says what the engine may report while the lines are checked.
enum class MessageRule {
    NONE,        // nothing at all: not the compiler, not one of the matchers
    SAME,        // regsearch exactly what the reference reports; the selection matchers nothing
    SAME_KINDS,  // a damaged program: regsearch the kinds of messages the reference reports,
                 // at most as often (it remembers the paths that failed); the selection
                 // matchers anything
};

// DiffSetup is what one PatternDiff compares.
struct DiffSetup {
    int64_t step_budget = REFERENCE_DEFAULT_BUDGET;  // the reference's, per search
    // One regsearch copy for each budget, every search made under it; none: one copy,
    // searched under the budget in force.
    std::vector<MemoBudget> memo_budgets{};
    std::vector<RegMatcherConfig> selectors = {RegMatcherConfig{}};
    MessageRule messages = MessageRule::SAME;
    bool check_unfiltered = true;  // false: no search by the reference without prefilters
};

// DiffTally counts what a check compared, so that a caller can prove it was not vacuous.
struct DiffTally {
    uint64_t patterns = 0;            // counted by the caller
    uint64_t refused = 0;             // counted by the caller: patterns that did not compile
    uint64_t pairs = 0;               // lines compared
    uint64_t matches = 0;             // of those, lines the reference matched
    uint64_t gave_up = 0;             // lines skipped: the reference spent its step budget
    uint64_t failures = 0;            // disagreements
    uint64_t buffers = 0;             // sequences also selected as one buffer
    uint64_t dfa_clears = 0;          // selection: times a DFA cache was cleared
    uint64_t backtracked_lines = 0;   // selection: lines handed to the backtracker
    uint64_t prefiltered = 0;         // selection: patterns with a literal prefilter
    uint64_t split = 0;               // selection: patterns whose lines are decided around a literal
    uint64_t split_lines = 0;         // selection: lines decided so
    uint64_t split_fallbacks = 0;     // selection: of those, lines handed back to the DFA from their start
    uint64_t literals_alone = 0;      // selection: patterns whose every string the literal set is
    uint64_t nfa_patterns = 0;        // selection: patterns whose lines the bit-parallel NFA decided
    uint64_t nfa_switches = 0;        // selection: times a DFA gave up and the NFA took over
    uint64_t leftmost_checked = 0;    // lines searched by regsearch_with too
    uint64_t literal_sets_checked = 0;  // literal sets found in lines that match (check_literal_sets)
};

// MAX_REPORTED_FAILURES: past this many failures in one tally they are counted, not reported.
constexpr uint64_t MAX_REPORTED_FAILURES = 10;

// DiffReport receives one disagreement, described in full.
using DiffReport = std::function<void(const std::string& failure)>;

// describe_messages renders engine messages for a report: each quoted, or "none".
std::string describe_messages(const std::vector<std::string>& messages);

// LineRun holds every line of one sequence alive, each in a block of exactly its size (so
// that the sanitizers see a read past its end), so that a slot can always be named by the
// line it points into and its offset there.
class LineRun {
public:
    // add keeps a copy of line, NUL-terminated, and returns it.
    const char* add(std::string_view line);

    // last_size is the size of the last line added, bytes after a NUL included.
    size_t last_size() const { return lines_.back().size; }

    // describe_slots renders the ten slots as "s-e" offsets into the current (last) line,
    // "-" for none, and "@k:s-e" (k counting lines from 0, "init" for the marker a fresh
    // record of PatternDiff starts with) for positions in another text.
    std::string describe_slots(const Regexp* prog) const;
    // This form names slots kept apart from their record: starts[i] to ends[i].
    std::string describe_slots(const char* const* starts, const char* const* ends) const;

private:
    struct Line {
        std::unique_ptr<char[]> bytes;
        size_t size;
    };

    std::string name_position(const char* pos) const;

    std::vector<Line> lines_;
};

// PatternDiff is one pattern compared across the matchers, line after line.
class PatternDiff {
public:
    PatternDiff(std::string pattern, DiffReport report, DiffSetup setup = {});

    // compiled: every copy compiled (a pattern the compiler refuses is no case).
    bool compiled() const { return compiled_; }
    Regexp* real() { return searches_.front().prog.get(); }  // the first regsearch copy
    Regexp* reference() { return reference_.get(); }
    const std::string& pattern() const { return pattern_; }

    // check_line searches the next line with every matcher and reports any disagreement;
    // it returns how many messages the reference reported. A line on which the reference
    // spends its step budget is skipped (the records start over from the marker).
    size_t check_line(std::string_view line, DiffTally& tally, const std::string& context);

    // check_buffer selects every line checked so far from one buffer, each line ended by
    // '\n', and compares the lines selected with the reference's results; with junk, some
    // lines get a NUL and more bytes after their text, drawn from it. It also adds the
    // selection counters to the tally (once).
    void check_buffer(DiffTally& tally, const std::string& context, TestRandom* junk);

    // real_slots names the first regsearch copy's slots as LineRun::describe_slots does.
    std::string real_slots() const { return lines_.describe_slots(searches_.front().prog.get()); }

private:
    struct SearchCopy {
        std::optional<MemoBudget> budget;  // none: the budget in force
        RegexpPtr prog;
    };
    struct Outcome {
        int result = 0;
        std::array<const char*, 2 * REGEXP_GROUPS> slots{};  // starts, then ends
        std::vector<std::string> messages;
    };
    struct Checked {
        std::string text;
        int result;
    };

    template <typename Search>
    Outcome run(Search search, const Regexp* prog);
    std::string search_name(size_t copy) const;
    bool messages_agree(const Outcome& real, const Outcome& reference) const;
    void check_selection(const char* line, size_t length, int expected, DiffTally& tally, const std::string& context);
    void check_unfiltered(const char* line, const Outcome& reference, DiffTally& tally, const std::string& context);
    void check_literal_sets(const char* line, DiffTally& tally, const std::string& context);
    void add_selection_counters(DiffTally& tally);
    void fail(DiffTally& tally, const std::string& failure);
    void fail(DiffTally& tally, const std::string& context, const char* line, const std::string& left_name,
              const Outcome& left, const char* right_name, const Outcome& right);

    std::string pattern_;
    DiffReport report_;
    DiffSetup setup_;
    ReferenceOptions reference_options_;
    std::vector<SearchCopy> searches_;
    RegexpPtr reference_;
    RegexpPtr unfiltered_;
    RegexpPtr with_;  // searched by regsearch_with with the first selection matcher
    std::vector<RegMatcherPtr> selectors_;  // one per config, built at the first line checked
    LineRun lines_;
    std::vector<Checked> checked_;  // every line compared, with the reference's result
    bool compiled_ = false;
    bool counted_ = false;
    bool analysed_ = false;
    std::vector<LiteralSet> literal_sets_;  // the analysis's sets (analysis.h), on the first matching line
};
