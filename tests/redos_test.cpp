// redos_test.cpp: the ReDoS regression family.
//
// Patterns built to make a plain backtracker explode ((a|aa)*b, (a+)+b, (.+)+x, nested and
// alternated repetitions with shared prefixes) on lines up to 100 KB. Each row gives a
// pattern, a family of lines made from a repetition count n, and the result and slots that
// the matching rules give for every n, worked out by hand (see the comment on each row).
// Three checks use the rows:
// - the reasoning: for small n the plain recursive reference matcher must agree with the
//   formula, so a wrong derivation cannot hide behind a wrong engine;
// - the engine: regsearch on lines of about 1,000, 10,000 and 100,000 bytes;
// - the binary: quarnel -reg/-sub over the same lines, every slot written out.
// No time is asserted here: bench/redos_bench.cpp reports it. A search that explodes still
// shows, as a hang (the binary runs carry a timeout, the suite's own timeout covers the
// in-process searches).
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "regexp/regexp.h"
#include "support/capture_hook.h"
#include "support/end_to_end.h"
#include "support/reference_matcher.h"

namespace {

struct Span {
    size_t start, end;
};
// Slots of a search: empty for no match, else slot 0 and then one entry per group.
using Slots = std::vector<std::optional<Span>>;

const Slots NO_MATCH{};

std::string repeat(const std::string& unit, size_t n) {
    std::string text;
    text.reserve(unit.size() * n);
    for (size_t i = 0; i < n; ++i) text += unit;
    return text;
}

std::string slots_text(const Slots& slots) {
    if (slots.empty()) return "no match";
    std::string text;
    for (const std::optional<Span>& s : slots) {
        if (!text.empty()) text += ' ';
        text += s ? std::to_string(s->start) + "-" + std::to_string(s->end) : "-";
    }
    return text;
}

struct LineFamily {
    const char* name;
    size_t unit;  // bytes the line grows by per step of n
    std::function<std::string(size_t n)> line;
    std::function<Slots(size_t n)> expected;  // for every n >= 1
};

struct RedosCase {
    const char* pattern;
    int groups;
    std::vector<LineFamily> families;
};

Span sp(size_t start, size_t end) { return {start, end}; }
const std::nullopt_t unset = std::nullopt;

// Rows. n counts the repeated unit; "the walk" below is the order of choices the matcher
// takes: alternatives in pattern order, one more iteration before stopping, simple
// repetitions longest first; a group's slots come from its last passage on the path.
const std::vector<RedosCase>& redos_cases() {
    static const std::vector<RedosCase> cases = {
        {"(a|aa)*b", 1,
         {
             // No b after the a's: every try in the run fails; the try at b matches with no
             // iteration, so group 1 never took part.
             {"a^n c b", 1, [](size_t n) { return repeat("a", n) + "cb"; },
              [](size_t n) { return Slots{sp(n + 1, n + 2), unset}; }},
             // Every iteration takes the first alternative, a; the last is the nth a.
             {"a^n b", 1, [](size_t n) { return repeat("a", n) + "b"; },
              [](size_t n) { return Slots{sp(0, n + 1), sp(n - 1, n)}; }},
         }},
        {"(a|a)*b", 1,
         {
             {"a^n c b", 1, [](size_t n) { return repeat("a", n) + "cb"; },
              [](size_t n) { return Slots{sp(n + 1, n + 2), unset}; }},
             {"a^n b", 1, [](size_t n) { return repeat("a", n) + "b"; },
              [](size_t n) { return Slots{sp(0, n + 1), sp(n - 1, n)}; }},
         }},
        {"(aa|a)*b", 1,
         {
             {"a^n c b", 1, [](size_t n) { return repeat("a", n) + "cb"; },
              [](size_t n) { return Slots{sp(n + 1, n + 2), unset}; }},
             // Pairs first: with n even the last iteration is a pair, with n odd the single a.
             {"a^n b", 1, [](size_t n) { return repeat("a", n) + "b"; },
              [](size_t n) { return Slots{sp(0, n + 1), n % 2 == 0 ? sp(n - 2, n) : sp(n - 1, n)}; }},
         }},
        {"(a+)+b", 1,
         {
             // At least one a must stand right before the b: none does.
             {"a^n c b", 1, [](size_t n) { return repeat("a", n) + "cb"; }, [](size_t) { return NO_MATCH; }},
             // The first iteration's a+ takes the whole run; a second iteration finds no a.
             {"a^n b", 1, [](size_t n) { return repeat("a", n) + "b"; },
              [](size_t n) { return Slots{sp(0, n + 1), sp(0, n)}; }},
             {"a^n c a b", 1, [](size_t n) { return repeat("a", n) + "cab"; },
              [](size_t n) { return Slots{sp(n + 1, n + 3), sp(n + 1, n + 2)}; }},
         }},
        {"(.+)+x", 1,
         {
             {"a^n", 1, [](size_t n) { return repeat("a", n); }, [](size_t) { return NO_MATCH; }},
             // The first iteration gives back from the line's end until the x follows it:
             // it ends right before the x, and a second iteration would swallow that x.
             {"a^n x a^n", 2, [](size_t n) { return repeat("a", n) + "x" + repeat("a", n); },
              [](size_t n) { return Slots{sp(0, n + 1), sp(0, n)}; }},
         }},
        {"((a|b)*c)*d", 2,
         {
             // Each outer iteration is one abc; the last inner passage is its b.
             {"(abc)^n d", 3, [](size_t n) { return repeat("abc", n) + "d"; },
              [](size_t n) { return Slots{sp(0, 3 * n + 1), sp(3 * n - 3, 3 * n), sp(3 * n - 2, 3 * n - 1)}; }},
             {"(abc)^n x d", 3, [](size_t n) { return repeat("abc", n) + "xd"; },
              [](size_t n) { return Slots{sp(3 * n + 1, 3 * n + 2), unset, unset}; }},
             // No c at all: only the try at d, with no outer iteration, matches.
             {"(ab)^n d", 2, [](size_t n) { return repeat("ab", n) + "d"; },
              [](size_t n) { return Slots{sp(2 * n, 2 * n + 1), unset, unset}; }},
         }},
        {"(a|b|ab)*c", 1,
         {
             {"(ab)^n x c", 2, [](size_t n) { return repeat("ab", n) + "xc"; },
              [](size_t n) { return Slots{sp(2 * n + 1, 2 * n + 2), unset}; }},
             // a and b are taken one by one; ab is never needed. The last iteration is a b.
             {"(ab)^n c", 2, [](size_t n) { return repeat("ab", n) + "c"; },
              [](size_t n) { return Slots{sp(0, 2 * n + 1), sp(2 * n - 1, 2 * n)}; }},
         }},
        {"(x+x+)+y", 1,
         {
             {"x^n", 1, [](size_t n) { return repeat("x", n); }, [](size_t) { return NO_MATCH; }},
             // The first x+ gives back one x to the second; one iteration covers the run.
             {"x^(n+1) y", 1, [](size_t n) { return repeat("x", n + 1) + "y"; },
              [](size_t n) { return Slots{sp(0, n + 2), sp(0, n + 1)}; }},
         }},
        {"(a*a)*b", 1,
         {
             {"a^n c b", 1, [](size_t n) { return repeat("a", n) + "cb"; },
              [](size_t n) { return Slots{sp(n + 1, n + 2), unset}; }},
             {"a^n b", 1, [](size_t n) { return repeat("a", n) + "b"; },
              [](size_t n) { return Slots{sp(0, n + 1), sp(0, n)}; }},
         }},
        {"(a?a)+b", 1,
         {
             // At least one iteration, which needs an a: nothing before the b.
             {"a^n c b", 1, [](size_t n) { return repeat("a", n) + "cb"; }, [](size_t) { return NO_MATCH; }},
             // a? takes its a first, so iterations are pairs; an odd run ends with a single.
             {"a^n b", 1, [](size_t n) { return repeat("a", n) + "b"; },
              [](size_t n) { return Slots{sp(0, n + 1), n % 2 == 0 ? sp(n - 2, n) : sp(n - 1, n)}; }},
         }},
        {"(((a|aa)+)+)+b", 3,
         {
             {"a^n c b", 1, [](size_t n) { return repeat("a", n) + "cb"; }, [](size_t) { return NO_MATCH; }},
             // The innermost group takes single a's; both outer groups cover the run once.
             {"a^n b", 1, [](size_t n) { return repeat("a", n) + "b"; },
              [](size_t n) { return Slots{sp(0, n + 1), sp(0, n), sp(0, n), sp(n - 1, n)}; }},
         }},
        {"(foo|foobar|foob)*x", 1,
         {
             // foo leads nowhere (bar follows), foobar does: every iteration is a foobar.
             {"(foobar)^n x", 6, [](size_t n) { return repeat("foobar", n) + "x"; },
              [](size_t n) { return Slots{sp(0, 6 * n + 1), sp(6 * n - 6, 6 * n)}; }},
             {"(foobar)^n y x", 6, [](size_t n) { return repeat("foobar", n) + "yx"; },
              [](size_t n) { return Slots{sp(6 * n + 1, 6 * n + 2), unset}; }},
         }},
        {"(abc|ab|a)*d", 1,
         {
             // Alternatives that share their prefixes, longest first: each iteration tries
             // abc, then ab, then a; one more iteration fails on all three before the d.
             {"(abc)^n d", 3, [](size_t n) { return repeat("abc", n) + "d"; },
              [](size_t n) { return Slots{sp(0, 3 * n + 1), sp(3 * n - 3, 3 * n)}; }},
             {"(ab)^n d", 2, [](size_t n) { return repeat("ab", n) + "d"; },
              [](size_t n) { return Slots{sp(0, 2 * n + 1), sp(2 * n - 2, 2 * n)}; }},
             {"a^n d", 1, [](size_t n) { return repeat("a", n) + "d"; },
              [](size_t n) { return Slots{sp(0, n + 1), sp(n - 1, n)}; }},
             {"(ab)^n x d", 2, [](size_t n) { return repeat("ab", n) + "xd"; },
              [](size_t n) { return Slots{sp(2 * n + 1, 2 * n + 2), unset}; }},
         }},
        {"(a|b)+$", 1,
         {
             {"(ab)^n", 2, [](size_t n) { return repeat("ab", n); },
              [](size_t n) { return Slots{sp(0, 2 * n), sp(2 * n - 1, 2 * n)}; }},
             {"(ab)^n c", 2, [](size_t n) { return repeat("ab", n) + "c"; }, [](size_t) { return NO_MATCH; }},
         }},
        {"(ab)*c", 1,
         {
             {"(ab)^n c", 2, [](size_t n) { return repeat("ab", n) + "c"; },
              [](size_t n) { return Slots{sp(0, 2 * n + 1), sp(2 * n - 2, 2 * n)}; }},
             {"(ab)^n d c", 2, [](size_t n) { return repeat("ab", n) + "dc"; },
              [](size_t n) { return Slots{sp(2 * n + 1, 2 * n + 2), unset}; }},
         }},
        {".*.*.*x", 0,
         {
             // The only x is the first byte: every .* must end up empty.
             {"x a^n", 1, [](size_t n) { return "x" + repeat("a", n); }, [](size_t) { return Slots{sp(0, 1)}; }},
             {"a^n x a^n", 2, [](size_t n) { return repeat("a", n) + "x" + repeat("a", n); },
              [](size_t n) { return Slots{sp(0, n + 1)}; }},
         }},
    };
    return cases;
}

// The reference backtracks without a memo: n up to 8 stays well inside this budget even
// for the triply nested row.
const ReferenceOptions REFERENCE_OPTIONS{true, 20'000'000};

// CompiledPattern compiles with the capturing hook and frees the record at the end.
class CompiledPattern {
public:
    explicit CompiledPattern(const char* pattern) : prog_(regcompile(pattern)) {}
    Regexp* get() const { return prog_.get(); }

private:
    CaptureHook hook_;  // declared first: installed before compiling, removed after freeing
    RegexpPtr prog_;
};

Slots slots_of(const Regexp* prog, const std::string& line, int result, int groups) {
    if (result != 1) return NO_MATCH;
    Slots slots;
    for (int k = 0; k <= groups; ++k) {
        const char* start = prog->match_start[k];
        const char* end = prog->match_end[k];
        if (start == nullptr || end == nullptr) {
            slots.push_back(std::nullopt);
        } else {
            slots.push_back(Span{static_cast<size_t>(start - line.c_str()), static_cast<size_t>(end - line.c_str())});
        }
    }
    return slots;
}

// Slots past the pattern's groups must stay unset after a match.
bool higher_slots_unset(const Regexp* prog, int groups) {
    for (int k = groups + 1; k < REGEXP_GROUPS; ++k)
        if (prog->match_start[k] != nullptr || prog->match_end[k] != nullptr) return false;
    return true;
}

// The line lengths the engine and the binary see: about 1,000, 10,000 and 100,000 bytes,
// each with its neighbour count so both parities of n occur.
std::vector<size_t> counts_for(size_t unit) {
    std::vector<size_t> counts;
    for (size_t target : {size_t{1000}, size_t{10000}, size_t{100000}}) {
        counts.push_back(target / unit - 1);
        counts.push_back(target / unit);
    }
    return counts;
}

TEST(Redos, FormulasAgreeWithTheReferenceMatcherOnShortLines) {
    for (const RedosCase& c : redos_cases()) {
        CompiledPattern prog(c.pattern);
        ASSERT_NE(prog.get(), nullptr) << c.pattern;
        for (const LineFamily& family : c.families) {
            for (size_t n = 1; n <= 8; ++n) {
                SCOPED_TRACE(std::string(c.pattern) + " on " + family.name + ", n = " + std::to_string(n));
                const std::string line = family.line(n);
                int result = reference_search(prog.get(), line.c_str(), REFERENCE_OPTIONS);
                ASSERT_NE(result, REFERENCE_GAVE_UP);
                EXPECT_EQ(slots_text(slots_of(prog.get(), line, result, c.groups)), slots_text(family.expected(n)));
            }
        }
        EXPECT_TRUE(reported.empty());
    }
}

TEST(Redos, EngineGivesTheDefinedSlotsOnLongLines) {
    for (const RedosCase& c : redos_cases()) {
        CompiledPattern prog(c.pattern);
        ASSERT_NE(prog.get(), nullptr) << c.pattern;
        for (const LineFamily& family : c.families) {
            std::vector<size_t> counts = counts_for(family.unit);
            counts.insert(counts.begin(), {1, 2, 3});
            for (size_t n : counts) {
                SCOPED_TRACE(std::string(c.pattern) + " on " + family.name + ", n = " + std::to_string(n));
                const std::string line = family.line(n);
                int result = regsearch(prog.get(), line.c_str());
                EXPECT_EQ(slots_text(slots_of(prog.get(), line, result, c.groups)), slots_text(family.expected(n)));
                if (result == 1) {
                    EXPECT_TRUE(higher_slots_unset(prog.get(), c.groups));
                }
            }
        }
        EXPECT_TRUE(reported.empty());
    }
}

TEST(Redos, EmptyOperandsOfNestedRepetitionsAreRefused) {
    for (const char* pattern : {"(a*)*", "(a*)+b", "(a?)*", "(a|)*b", "(a*b*)+", "((a*)*)*b", "(^)*", "($)+"}) {
        SCOPED_TRACE(pattern);
        CompiledPattern prog(pattern);
        EXPECT_EQ(prog.get(), nullptr);
        EXPECT_EQ(reported, std::vector<std::string>{"*+ operand could be empty"});
    }
}

// ---------------------------------------------------------------------------------------
// Through the binary.

// Far above what any of these runs needs; past it a run is taken to hang.
constexpr int RUN_TIMEOUT_SECONDS = 20;

// slot_template writes every slot of a pattern with g groups in brackets: [\0][\1]...
std::string slot_template(int groups) {
    std::string tmpl;
    for (int k = 0; k <= groups; ++k) tmpl += "[\\" + std::to_string(k) + "]";
    return tmpl;
}

std::string written_slots(const std::string& line, const Slots& slots) {
    std::string text;
    for (const std::optional<Span>& s : slots) text += "[" + (s ? line.substr(s->start, s->end - s->start) : "") + "]";
    return text;
}

// after_banner drops the banner line from the error text.
std::string after_banner(const std::string& err) {
    size_t end = err.find('\n');
    return end == std::string::npos ? err : err.substr(end + 1);
}

// run_timed runs the binary through run_quarnel with the hang timeout and drops the banner.
RunResult run_timed(const std::vector<std::string>& args, const std::string& input) {
    RunResult r = run_quarnel(args, input, options_with(&RunOptions::timeout_seconds, RUN_TIMEOUT_SECONDS));
    r.err = after_banner(r.err);
    return r;
}

TEST(Redos, BinaryWritesTheDefinedSlotsOnLongLines) {
    for (const RedosCase& c : redos_cases()) {
        SCOPED_TRACE(c.pattern);
        std::string input, expected;
        size_t lines = 0, written = 0;
        for (const LineFamily& family : c.families) {
            for (size_t n : {size_t{5}, 100000 / family.unit}) {
                const std::string line = family.line(n);
                const Slots slots = family.expected(n);
                input += line + "\n";
                ++lines;
                if (!slots.empty()) {
                    expected += written_slots(line, slots) + "\n";
                    ++written;
                }
            }
        }
        RunResult r = run_timed({"-reg" + std::string(c.pattern), "-sub" + slot_template(c.groups)}, input);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_TRUE(r.out == expected) << "the written slots differ";
        EXPECT_EQ(r.err, summary(written, lines));
        EXPECT_EQ(r.exit_status, 0);
    }
}

// A long line gives every choice point a long row of the failure memo, so a pattern with
// thousands of cheap choice points in front exhausts the memo's budget before the
// catastrophic part is reached. The memo must still keep that part from backtracking
// without end: the search is one anchored try over a 100 KB line.
TEST(Redos, CatastrophicTailBehindThousandsOfChoicePointsOnALongLine) {
    std::string prefix = "^" + repeat("x*", 2700);
    const std::string line = repeat("a", 100000) + "cb";
    struct Case {
        std::string tail;
        std::string out;
        size_t written;
    };
    for (const Case& c : {Case{"(a+)+b", "", 0}, Case{"(.+)+x", "", 0}, Case{"(a|aa)*c", "[" + repeat("a", 100000) + "c]\n", 1}}) {
        SCOPED_TRACE(c.tail);
        RunResult r = run_timed({"-reg" + prefix + c.tail, "-sub[&]"}, line + "\n");
        EXPECT_FALSE(r.timed_out) << "the search backtracked without end";
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_EQ(r.out.size(), c.out.size());
        EXPECT_TRUE(r.out == c.out);
        EXPECT_EQ(r.err, summary(c.written, 1));
        EXPECT_EQ(r.exit_status, 0);
    }
}

}  // namespace
