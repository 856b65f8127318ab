// analysis_test: the program analyses and the literal sets (regexp/analysis.h, literals.h).
//
// A table pins what the analyses say of documented shapes: the literal sets a pattern offers
// (class literals kept as classes, every required factor, big alternations), the literal runs
// of its top level, its anchoring and its start bytes. Then the property the selection
// matcher rests on, on seeded random patterns and lines: wherever the backtracker finds a
// match, every literal set has an occurrence in the line's text, a match begins with one of
// the start bytes, and an anchored pattern's match begins at the line's start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "regexp/analysis.h"
#include "regexp/literals.h"
#include "regexp/regexp.h"
#include "support/capture_hook.h"
#include "support/random_regex.h"

namespace {

std::vector<std::string> described(const LiteralSet& set) {
    std::vector<std::string> out;
    for (const ClassLiteral& literal : set.literals) out.push_back(describe_literal(literal));
    return out;
}

std::string described_runs(const ProgramAnalysis& analysis) {
    std::string out;
    for (const LiteralRun& run : analysis.literal_runs) {
        if (!out.empty()) out += " | ";
        for (size_t i = 0; i < run.nodes.size(); ++i) out += (i ? " " : "") + describe_literal(run.nodes[i].text);
    }
    return out;
}

std::string start_text(const StartBytes& start) {
    if (!start.known) return "any";
    std::string out;
    for (int b = 0; b < 256; ++b)
        if (start.can_start[b]) out += b == 0 ? std::string("\\0") : std::string(1, char(b));
    return out;
}

struct AnalysisCase {
    const char* pattern;
    std::vector<std::string> best_set;  // the first set the background table rates best; {} none
    size_t min_sets;                    // at least this many sets are offered
    const char* runs;
    bool anchored;
    const char* start;
};

const AnalysisCase ANALYSIS_CASES[] = {
    // A class literal stays one literal, not its 32 spellings; its prefixes are offered too.
    {"[Ee][Rr][Rr][Oo][Rr]", {"[Ee][Rr][Rr][Oo][Rr]"}, 3, "[Ee] [Rr] [Rr] [Oo] [Rr]", false, "Ee"},
    // Every required factor: both literals of a gapped motif, the rarer rated first.
    {"TATA....................GC", {"TATA"}, 2, "TATA | GC", false, "T"},
    // Joins across a piece with no exact strings: x* then TATA[AT].
    {"x*TATA[AT]", {"TATA[AT]"}, 1, "TATA [AT]", false, "Tx"},
    {"(TATA[AT]A[AT]).........([ACG]GCC)", {"[ACG]GCC"}, 4, "TATA [AT] A [AT] | [ACG] GCC", false, "T"},
    // An alternation is one set of all its words.
    {"Acquire|BUFSIZ|EWOULDBLOCK|O_CLOEXEC|SIGSEGV|getaddrinfo|mmap64|sched_yield|epoll_wait|inotify_add|"
     "pthread_mutex_lock|clock_gettime|strerror|fcntl|ioctl|sockaddr|memcpy|calloc|realloc|snprintf",
     {"Acquire", "BUFSIZ", "EWOULDBLOCK", "O_CLOEXEC", "SIGSEGV", "calloc", "clock_gettime", "epoll_wait", "fcntl",
      "getaddrinfo", "inotify_add", "ioctl", "memcpy", "mmap64", "pthread_mutex_lock", "realloc", "sched_yield",
      "snprintf", "sockaddr", "strerror"},
     1, "", false, "ABEOScefgimprs"},
    // x+ holds x and ends with it: [a-z]+_t  has "_t " and nothing of the letters (too many).
    {"[a-z]+_t ", {"_t "}, 1, "_t ", false, "abcdefghijklmnopqrstuvwxyz"},
    {"a+b", {"ab"}, 1, "b", false, "a"},
    {"([a-z]+)=([0-9]+)", {"=[0-9]"}, 2, "=", false, "abcdefghijklmnopqrstuvwxyz"},
    // An optional piece requires nothing; a loop that may be skipped neither.
    {"(foo)*bar?", {"ba"}, 1, "ba", false, "bf"},
    {"foo|b*", {}, 0, "", false, "any"},
    {"[a-z]+", {}, 0, "", false, "abcdefghijklmnopqrstuvwxyz"},
    // Anchoring: every path meets ^ first.
    {"^#define", {"#define"}, 1, "#define", true, "#"},
    {"^a|^b", {"a", "b"}, 1, "", true, "ab"},
    {"^a|b", {"a", "b"}, 1, "", false, "ab"},
    {"(^a|^b)c", {"ac", "bc"}, 1, "c", true, "ab"},
    // $ alone: a match may begin at the line's NUL.
    {"x*$", {}, 0, "", false, "\\0x"},
    {"", {}, 0, "", false, "any"},
};

TEST(ProgramAnalysis, DocumentedShapes) {
    for (const AnalysisCase& c : ANALYSIS_CASES) {
        SCOPED_TRACE(c.pattern);
        CaptureHook hook;
        RegexpPtr prog(regcompile(c.pattern));
        ASSERT_NE(prog, nullptr);
        const ProgramAnalysis analysis = analyse_program(prog->program);
        ASSERT_TRUE(analysis.extent.sound);
        EXPECT_GE(analysis.literal_sets.size(), c.min_sets);
        if (c.best_set.empty()) {
            EXPECT_TRUE(analysis.literal_sets.empty());
        } else {
            ASSERT_FALSE(analysis.literal_sets.empty());
            std::vector<std::string> best = described(analysis.literal_sets[0]);
            std::sort(best.begin(), best.end());
            EXPECT_EQ(best, c.best_set);
        }
        EXPECT_EQ(described_runs(analysis), c.runs);
        EXPECT_EQ(analysis.anchored, c.anchored);
        EXPECT_EQ(start_text(analysis.start), c.start);
    }
}

// Every literal of every set lies within the limits that keep the walk linear, and a large
// program is analysed: a 64-word alternation is one set of 64 words.
TEST(ProgramAnalysis, LimitsAndLargeAlternations) {
    std::string pattern;
    for (int i = 0; i < 64; ++i) pattern += (i ? "|" : "") + std::string("word") + char('A' + i % 26) + char('a' + i / 26);
    CaptureHook hook;
    RegexpPtr prog(regcompile(pattern.c_str()));
    ASSERT_NE(prog, nullptr);
    const ProgramAnalysis analysis = analyse_program(prog->program);
    ASSERT_FALSE(analysis.literal_sets.empty());
    EXPECT_EQ(analysis.literal_sets[0].literals.size(), 64u);

    // Long runs of classes stay within MAX_LENGTH positions, and a 300-byte literal is taken whole.
    std::string classes;
    for (int i = 0; i < 40; ++i) classes += "[ab]";
    std::string literal(300, 'q');
    for (const std::string& p : {classes, literal, classes + "x" + literal}) {
        RegexpPtr long_prog(regcompile(p.c_str()));
        ASSERT_NE(long_prog, nullptr);
        const ProgramAnalysis long_analysis = analyse_program(long_prog->program);
        for (const LiteralSet& set : long_analysis.literal_sets) {
            EXPECT_LE(set.literals.size(), MAX_SET_LITERALS);
            for (const ClassLiteral& l : set.literals) {
                // A literal node is taken whole; what is joined stays within MAX_LENGTH.
                EXPECT_TRUE(l.size() <= MAX_LENGTH || l.size() == 300 || l.size() == 301) << describe_literal(l);
            }
        }
        EXPECT_FALSE(long_analysis.literal_sets.empty());
    }
}

// The shape of a DFA that cannot stay small: a chain of twelve or more wide single-byte
// nodes entered by a single byte value; the selection matcher starts those with the NFA.
TEST(ProgramAnalysis, ShapesWhoseDfaCannotStaySmall) {
    auto repeated = [](const char* piece, int times) {
        std::string out;
        for (int i = 0; i < times; ++i) out += piece;
        return out;
    };
    const struct {
        std::string pattern;
        bool hostile;
    } cases[] = {
        {"a" + repeated("[ab]", 19) + "b$", true},
        {"a" + repeated("[ab]", 12) + "b", true},
        {"a" + repeated("[ab]", 11) + "b", false},  // a shorter chain: a DFA of a few thousand states
        {repeated("[ab]", 12), true},               // entered at the program's start
        {"x(" + repeated(".", 14) + ")y", true},     // group nodes inside or around the chain pass
        {"TATA" + repeated(".", 20) + "GC", false}, // entered by a four-byte literal: rarely
        {"[a-z]+_t ", false},
        {"(ab|ba)" + repeated("[ab]", 14), false},  // entered by two-byte literals
    };
    for (const auto& c : cases) {
        CaptureHook hook;
        RegexpPtr prog(regcompile(c.pattern.c_str()));
        ASSERT_NE(prog, nullptr) << c.pattern;
        EXPECT_EQ(analyse_program(prog->program).dfa_hostile, c.hostile) << c.pattern;
    }
}

// text_holds tells whether some literal of set occurs inside text.
bool text_holds(const LiteralSet& set, const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    for (const char* at = begin; at < end; ++at)
        for (const ClassLiteral& literal : set.literals)
            if (literal_matches_at(literal, at, end)) return true;
    return false;
}

uint64_t environment_count(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

// The property every strategy of the selection matcher rests on: no set ever misses a line
// that matches, no match begins outside the start bytes, and an anchored match begins at 0.
TEST(ProgramAnalysis, EveryMatchHoldsEverySetOnRandomPatterns) {
    const uint64_t seed = environment_count("QUARNEL_DIFF_SEED", 20241208);
    const uint64_t patterns = environment_count("QUARNEL_ANALYSIS_COUNT", 4000);
    TestRandom random(seed);
    uint64_t matches = 0;
    uint64_t with_sets = 0;
    for (uint64_t i = 0; i < patterns; ++i) {
        const std::string pattern = i % 3 == 2 ? random_split_pattern(random) : random_pattern(random, 6);
        CaptureHook hook;
        RegexpPtr prog(regcompile(pattern.c_str()));
        if (prog == nullptr) continue;
        const ProgramAnalysis analysis = analyse_program(prog->program);
        ASSERT_TRUE(analysis.extent.sound) << pattern;
        with_sets += !analysis.literal_sets.empty();
        for (int n = 0; n < 12; ++n) {
            const std::string line = random_line(random, pattern, 120);
            if (regsearch(prog.get(), line.c_str()) != 1) continue;
            ++matches;
            const size_t start = size_t(prog->match_start[0] - line.c_str());
            for (const LiteralSet& set : analysis.literal_sets) {
                if (text_holds(set, line)) continue;
                std::vector<std::string> names = described(set);
                std::string joined;
                for (const std::string& name : names) joined += " " + name;
                ADD_FAILURE() << "seed " << seed << ": pattern \"" << escape_bytes(pattern) << "\" matches \""
                              << escape_bytes(line) << "\" but the set{" << joined << " } does not occur";
            }
            if (analysis.start.known) {
                const unsigned char first = static_cast<unsigned char>(line[start]);
                EXPECT_TRUE(analysis.start.can_start[first])
                    << "pattern \"" << escape_bytes(pattern) << "\" line \"" << escape_bytes(line) << "\"";
            }
            if (analysis.anchored) {
                EXPECT_EQ(start, 0u) << escape_bytes(pattern);
            }
        }
    }
    // The random patterns reach the interesting cases.
    EXPECT_GT(matches, patterns);
    EXPECT_GT(with_sets, patterns / 4);
}

// The backtracker keeps the start bytes of the program it searched last while its bytes are
// unchanged; a program changed in place must be analysed again.
TEST(ProgramAnalysis, StartBytesFollowAProgramChangedInPlace) {
    CaptureHook hook;
    RegexpPtr prog(regcompile("[ab]c"));
    ASSERT_NE(prog, nullptr);
    EXPECT_EQ(regsearch(prog.get(), "xc"), 0);
    EXPECT_EQ(regsearch(prog.get(), "ac"), 1);
    unsigned char* set = prog->program + 4 + 3;  // the ONE_OF operand
    ASSERT_EQ(set[0], 'a');
    set[0] = 'x';
    EXPECT_EQ(regsearch(prog.get(), "xc"), 1);
    EXPECT_EQ(regsearch(prog.get(), "ac"), 0);
    EXPECT_TRUE(reported.empty());
}

}  // namespace
