// matcher_test: regsearch on the worked examples, the edge cases of its prefilters and slots,
// hand-damaged programs, and lines long enough that a walk on the machine stack or without
// the failure memo would crash or never finish. The same results on random patterns are
// checked against the plain reference matcher in matcher_diff_test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "regexp/program.h"
#include "regexp/regexp.h"
#include "support/capture_hook.h"

namespace {

RegexpPtr compile(const std::string& pattern) {
    regsethook(capture_message);
    RegexpPtr prog(regcompile(pattern.c_str()));
    EXPECT_NE(prog, nullptr) << "pattern " << pattern;
    return prog;
}

// slot_text renders the ten slots as offsets into line: "1-4 - 0-1"; trailing unset slots
// are left out, and "no match" stands for a result of 0.
std::string slot_text(const Regexp& prog, const char* line) {
    std::string text;
    std::string pending;
    for (int n = 0; n < REGEXP_GROUPS; ++n) {
        const char* start = prog.match_start[n];
        const char* end = prog.match_end[n];
        if (start == nullptr && end == nullptr) {
            pending += pending.empty() && text.empty() ? "-" : " -";
            continue;
        }
        text += pending;
        pending.clear();
        if (!text.empty()) text += ' ';
        auto offset = [&](const char* p) { return p == nullptr ? std::string("?") : std::to_string(p - line); };
        text += offset(start) + "-" + offset(end);
    }
    return text.empty() ? "none" : text;
}

std::string search(const std::string& pattern, const std::string& line) {
    RegexpPtr prog = compile(pattern);
    if (!prog) return "no pattern";
    if (!regsearch(prog.get(), line.c_str())) return "no match";
    return slot_text(*prog, line.c_str());
}

struct SearchCase {
    const char* pattern;
    const char* line;
    const char* slots;
};

TEST(Matcher, WorkedExamples) {
    const SearchCase cases[] = {
        {"b+", "abbbc", "1-4"},
        {"a*b", "xaab", "1-4"},
        {"a|ab", "abc", "0-1"},
        {"(a|ab)c", "abc", "0-3 0-2"},
        {"(a|ab)(c|bcd)", "abcd", "0-4 0-1 1-4"},
        {"(ab|c)+", "abcab", "0-5 3-5"},
        {"((a)|b)+", "ab", "0-2 1-2 0-1"},
        {"^ab", "xab", "no match"},
        {"b$", "abab", "3-4"},
        {"x*", "abc", "0-0"},
        {"$", "abc", "3-3"},
        {".*foo", "a fo foo", "0-8"},
        // The substitution example's search.
        {"([a-z]+)=([0-9]*)", "key=42;", "0-6 0-3 4-6"},
    };
    for (const SearchCase& c : cases) EXPECT_EQ(search(c.pattern, c.line), c.slots) << c.pattern << " on " << c.line;
}

TEST(Matcher, EdgeCases) {
    const SearchCase cases[] = {
        {"^$", "", "0-0"},
        {"a", "", "no match"},
        {"[^a]", "a", "no match"},
        {".", "\xE9", "0-1"},
        {"[\xE9]", "x\xE9", "1-2"},
        {"[\xC9]", "\xE9", "no match"},
        {"x|^a", "ab", "0-1"},
        {"x|^a", "ba", "no match"},
        {"a^b", "a^b ab", "no match"},
        {"a$b", "a$b ab", "no match"},
        // Group slots: a group the successful path never entered stays unset; a group in
        // a repetition reports its last iteration, even when a later one took another way.
        {"(a)|b", "b", "0-1"},
        {"(x)?y", "y", "0-1"},
        {"((a)|(b))*", "ab", "0-2 1-2 0-1 1-2"},
        {"((a)|(b))*", "ba", "0-2 1-2 1-2 0-1"},
        {"(a*)b", "b", "0-1 0-0"},
        {"(a|b)*c", "abac", "0-4 2-3"},
        {"(.)(.)(.)(.)(.)(.)(.)(.)(.)", "abcdefghi", "0-9 0-1 1-2 2-3 3-4 4-5 5-6 6-7 7-8 8-9"},
        // First by order of choices, not longest.
        {"(a|ab)(b*)", "abb", "0-3 0-1 1-3"},
        {"a?ab", "ab", "0-2"},
        {"(a+|b)+c", "aabc", "0-4 2-3"},
        // Leftmost wins over longer.
        {"b+|a+b+", "aabb", "0-4"},
        // Repetition of sets and literals.
        {"[a-c]+d", "xxabcabd", "2-8"},
        {"[^x]*x", "abx", "0-3"},
        {"a+a", "aaaa", "0-4"},
        {"a*a*a", "aa", "0-2"},
        {"(aa)*a", "aaaa", "0-3 0-2"},
        {"x(a|b)*y", "xababz xaby", "7-11 9-10"},
    };
    for (const SearchCase& c : cases) EXPECT_EQ(search(c.pattern, c.line), c.slots) << c.pattern << " on " << c.line;
}

TEST(Matcher, PrefilterRejectionKeepsEarlierSlots) {
    RegexpPtr prog = compile("x*abc");  // must_text "abc"
    ASSERT_NE(prog->must_text, nullptr);
    const char* first = "zzabc";
    ASSERT_EQ(regsearch(prog.get(), first), 1);
    EXPECT_EQ(slot_text(*prog, first), "2-5");
    EXPECT_EQ(regsearch(prog.get(), "ab c"), 0);  // no try: the slots still describe the first line
    EXPECT_EQ(slot_text(*prog, first), "2-5");

    RegexpPtr literal = compile("q(u)");  // first_char 'q'
    const char* line = "aquq";
    ASSERT_EQ(regsearch(literal.get(), line), 1);
    EXPECT_EQ(regsearch(literal.get(), "none here"), 0);
    EXPECT_EQ(slot_text(*literal, line), "1-3 2-3");
    EXPECT_EQ(regsearch(literal.get(), "q"), 0);  // tried and failed: every slot unset
    EXPECT_EQ(slot_text(*literal, "q"), "none");
}

TEST(Matcher, ArgumentAndMagicErrors) {
    reported.clear();
    regsethook(capture_message);
    EXPECT_EQ(regsearch(nullptr, "x"), 0);
    RegexpPtr prog = compile("a");
    EXPECT_EQ(regsearch(prog.get(), nullptr), 0);
    const char* line = "a";
    ASSERT_EQ(regsearch(prog.get(), line), 1);
    prog->program[0] = 0x9D;
    EXPECT_EQ(regsearch(prog.get(), "a"), 0);
    EXPECT_EQ(slot_text(*prog, line), "0-1");  // untouched
    EXPECT_EQ(reported, (std::vector<std::string>{"NULL parameter", "NULL parameter", "corrupted program"}));

    reported.clear();
    regsethook(nullptr);
    EXPECT_EQ(regsearch(prog.get(), "a"), 0);
    EXPECT_TRUE(reported.empty());
}

// Damaged programs: the node-walk messages fail only the path being tried.
TEST(Matcher, DamagedNodesFailOnlyTheirPath) {
    struct DamageCase {
        const char* pattern;
        size_t offset;       // program byte to change
        unsigned char byte;  // its new value
        const char* line;
        const char* slots;
        const char* message;
    };
    const DamageCase cases[] = {
        // "a|b": 1 ALT, 4 LITERAL a, 9 ALT, 12 LITERAL b, 17 END. A bad opcode in the first
        // alternative fails it; the second still matches.
        {"a|b", 4, 15, "b", "0-1", "memory corruption"},
        // Unlinking the first literal's next: that path has nowhere to go.
        {"a|b", 6, 0, "ab", "1-2", "corrupted pointers"},
        // "x*" 1 ALT, 4 STAR, 7 LITERAL x: repeating an OP_EMPTY is no single-byte node;
        // the star goes on as with no repetition.
        {"x*", 7, OP_EMPTY, "abc", "0-0", "internal foulup"},
        {"x+", 7, OP_EMPTY, "abc", "no match", "internal foulup"},
    };
    for (const DamageCase& c : cases) {
        RegexpPtr prog = compile(c.pattern);
        prog->program[c.offset] = c.byte;
        reported.clear();
        std::string result = regsearch(prog.get(), c.line) ? slot_text(*prog, c.line) : "no match";
        EXPECT_EQ(result, c.slots) << c.pattern;
        ASSERT_FALSE(reported.empty()) << c.pattern;
        for (const std::string& message : reported) EXPECT_EQ(message, c.message) << c.pattern;
    }
}

// Lines far longer than any machine stack could walk recursively, and patterns that make
// a plain backtracker take exponential time. The results are the defined ones.
TEST(Matcher, LongLinesAndCatastrophicPatterns) {
    struct LongCase {
        const char* pattern;
        std::string line;
        const char* slots;
    };
    const std::string a10k(10000, 'a');
    const std::string a10k_b = a10k + "!b";
    const std::string a10k_d = a10k + "!d";
    const std::string ab(2000000, 'a');
    std::string abab;
    for (int i = 0; i < 1000000; ++i) abab += "ab";
    const LongCase cases[] = {
        {"(a|aa)*b", a10k_b, "10001-10002"},
        {"(a|a)*b", a10k_b, "10001-10002"},
        {"(a+)+b", a10k_b, "no match"},
        {"(.+)+x", a10k_b, "no match"},
        {"((a|b)*c)*d", a10k_d, "10001-10002"},
        {"(a|aa)*$", a10k, "0-10000 9999-10000"},
        {"(a|b)+$", ab, "0-2000000 1999999-2000000"},
        {"(ab)*c", abab + "c", "0-2000001 1999998-2000000"},
        {".*x", ab, "no match"},
        {".*a", ab, "0-2000000"},
        {"(aa)*a*b", a10k_b, "10001-10002"},
        {"a*a*a*a*a*c", a10k_b + "c", "10002-10003"},
        {"(a|b|ab)*!", "abababababababababababababababababababababababababababababababab?!", "65-66"},
    };
    for (const LongCase& c : cases) {
        EXPECT_EQ(search(c.pattern, c.line), c.slots) << c.pattern << " on " << c.line.size() << " bytes";
    }
}

TEST(Matcher, TenMillionByteLines) {
    const std::string line(10000000, 'a');
    EXPECT_EQ(search("(a|b)+$", line), "0-10000000 9999999-10000000");
    EXPECT_EQ(search(".*x", line), "no match");
    std::string abab;
    abab.reserve(10000001);
    for (int i = 0; i < 5000000; ++i) abab += "ab";
    EXPECT_EQ(search("(ab)*c", abab), "no match");
    EXPECT_EQ(search("(ab)*c", abab + "c"), "0-10000001 9999998-10000000");
}

// One Regexp searched line after line must not carry anything from one search to the next.
TEST(Matcher, ConsecutiveSearchesAreIndependent) {
    RegexpPtr prog = compile("(a|b)*c");
    const char* lines[] = {"ababx", "abc", "x", "bbbbbbbbbbbbbbbbbbbbbbbbc", "ab", "c"};
    const char* expected[] = {"no match", "0-3 1-2", "no match", "0-25 23-24", "no match", "0-1"};
    for (size_t i = 0; i < std::size(lines); ++i) {
        std::string result = regsearch(prog.get(), lines[i]) ? slot_text(*prog, lines[i]) : "no match";
        EXPECT_EQ(result, expected[i]) << lines[i];
    }
}

}  // namespace
