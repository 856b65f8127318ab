// compiler_test.cpp: regcompile's programs, hints and messages, and the error hook.
//
// Golden dumps (tests/support/program_dump.h) pin the exact program of the documented
// examples; one example is also checked as raw bytes, so that the dump cannot hide a
// fault. Messages are captured through a hook and compared byte for byte. Seeded random
// patterns from the whole grammar, and every short string over the meta characters, check
// the structural rules that the matcher relies on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "regexp/program.h"
#include "regexp/regexp.h"
#include "support/capture_hook.h"
#include "support/program_check.h"
#include "support/program_dump.h"
#include "support/random_regex.h"

namespace {

RegexpPtr compile(const std::string& pattern) { return RegexpPtr(regcompile(pattern.c_str())); }

// Every test starts with the capturing hook installed and nothing reported.
class CompilerTest : public ::testing::Test {
protected:
    CaptureHook hook_;
};

// ---- Worked examples -------------------------------------------------------------------

struct GoldenCase {
    const char* pattern;
    size_t size;
    const char* dump;
};

const GoldenCase GOLDEN_CASES[] = {
    {"^ab*c", 28,
     "0 magic 0x9C\n"
     "1 OP_ALT next 24 -> 25 alternative from 4\n"
     "4 OP_LINE_START next 3 -> 7\n"
     "7 OP_LITERAL next 5 -> 12 \"a\"\n"
     "12 OP_SIMPLE_STAR next 8 -> 20 node at 15\n"
     "15 OP_LITERAL next 0 -> none \"b\"\n"
     "20 OP_LITERAL next 5 -> 25 \"c\"\n"
     "25 OP_END next 0 -> none\n"
     "hints: first_char none, anchored 1, must_text none\n"},
    {"[a-c]*xyz?", 37,
     "0 magic 0x9C\n"
     "1 OP_ALT next 33 -> 34 alternative from 4\n"
     "4 OP_SIMPLE_STAR next 10 -> 14 node at 7\n"
     "7 OP_ONE_OF next 0 -> none \"abc\"\n"
     "14 OP_LITERAL next 6 -> 20 \"xy\"\n"
     "20 OP_ALT next 8 -> 28 alternative from 23\n"
     "23 OP_LITERAL next 8 -> 31 \"z\"\n"
     "28 OP_ALT next 3 -> 31 alternative from 31\n"
     "31 OP_EMPTY next 3 -> 34\n"
     "34 OP_END next 0 -> none\n"
     "hints: first_char none, anchored 0, must_text \"xy\" at 17 length 2\n"},
    {"(a|bc)+d", 47,
     "0 magic 0x9C\n"
     "1 OP_ALT next 43 -> 44 alternative from 4\n"
     "4 OP_GROUP_OPEN+1 next 3 -> 7\n"
     "7 OP_ALT next 8 -> 15 alternative from 10\n"
     "10 OP_LITERAL next 14 -> 24 \"a\"\n"
     "15 OP_ALT next 9 -> 24 alternative from 18\n"
     "18 OP_LITERAL next 6 -> 24 \"bc\"\n"
     "24 OP_GROUP_CLOSE+1 next 3 -> 27\n"
     "27 OP_ALT next 6 -> 33 alternative from 30\n"
     "30 OP_LOOP next 26 -> 4\n"
     "33 OP_ALT next 3 -> 36 alternative from 36\n"
     "36 OP_EMPTY next 3 -> 39\n"
     "39 OP_LITERAL next 5 -> 44 \"d\"\n"
     "44 OP_END next 0 -> none\n"
     "hints: first_char none, anchored 0, must_text none\n"},
    {"(ab)*c", 39,
     "0 magic 0x9C\n"
     "1 OP_ALT next 35 -> 36 alternative from 4\n"
     "4 OP_ALT next 21 -> 25 alternative from 7\n"
     "7 OP_GROUP_OPEN+1 next 3 -> 10\n"
     "10 OP_ALT next 9 -> 19 alternative from 13\n"
     "13 OP_LITERAL next 6 -> 19 \"ab\"\n"
     "19 OP_GROUP_CLOSE+1 next 3 -> 22\n"
     "22 OP_LOOP next 18 -> 4\n"
     "25 OP_ALT next 3 -> 28 alternative from 28\n"
     "28 OP_EMPTY next 3 -> 31\n"
     "31 OP_LITERAL next 5 -> 36 \"c\"\n"
     "36 OP_END next 0 -> none\n"
     "hints: first_char none, anchored 0, must_text \"c\" at 34 length 1\n"},
    // Edge cases: the empty pattern, a plain run, a run giving back its last byte, alternation.
    {"", 10,
     "0 magic 0x9C\n"
     "1 OP_ALT next 6 -> 7 alternative from 4\n"
     "4 OP_EMPTY next 3 -> 7\n"
     "7 OP_END next 0 -> none\n"
     "hints: first_char none, anchored 0, must_text none\n"},
    {"abc", 14,
     "0 magic 0x9C\n"
     "1 OP_ALT next 10 -> 11 alternative from 4\n"
     "4 OP_LITERAL next 7 -> 11 \"abc\"\n"
     "11 OP_END next 0 -> none\n"
     "hints: first_char \"a\", anchored 0, must_text none\n"},
    {"abc*", 21,
     "0 magic 0x9C\n"
     "1 OP_ALT next 17 -> 18 alternative from 4\n"
     "4 OP_LITERAL next 6 -> 10 \"ab\"\n"
     "10 OP_SIMPLE_STAR next 8 -> 18 node at 13\n"
     "13 OP_LITERAL next 0 -> none \"c\"\n"
     "18 OP_END next 0 -> none\n"
     "hints: first_char \"a\", anchored 0, must_text none\n"},
    {"a|b", 20,
     "0 magic 0x9C\n"
     "1 OP_ALT next 8 -> 9 alternative from 4\n"
     "4 OP_LITERAL next 13 -> 17 \"a\"\n"
     "9 OP_ALT next 8 -> 17 alternative from 12\n"
     "12 OP_LITERAL next 5 -> 17 \"b\"\n"
     "17 OP_END next 0 -> none\n"
     "hints: first_char none, anchored 0, must_text none\n"},
    // x? of a group with an empty alternative: the group's close leads on to the OP_EMPTY.
    {"(a|)?$", 39,
     "0 magic 0x9C\n"
     "1 OP_ALT next 35 -> 36 alternative from 4\n"
     "4 OP_ALT next 23 -> 27 alternative from 7\n"
     "7 OP_GROUP_OPEN+1 next 3 -> 10\n"
     "10 OP_ALT next 8 -> 18 alternative from 13\n"
     "13 OP_LITERAL next 11 -> 24 \"a\"\n"
     "18 OP_ALT next 6 -> 24 alternative from 21\n"
     "21 OP_EMPTY next 3 -> 24\n"
     "24 OP_GROUP_CLOSE+1 next 6 -> 30\n"
     "27 OP_ALT next 3 -> 30 alternative from 30\n"
     "30 OP_EMPTY next 3 -> 33\n"
     "33 OP_LINE_END next 3 -> 36\n"
     "36 OP_END next 0 -> none\n"
     "hints: first_char none, anchored 0, must_text none\n"},
};

TEST_F(CompilerTest, WorkedExamplesDumpByteForByte) {
    for (const GoldenCase& c : GOLDEN_CASES) {
        SCOPED_TRACE(c.pattern);
        RegexpPtr re = compile(c.pattern);
        ASSERT_NE(re, nullptr);
        EXPECT_TRUE(reported.empty());
        EXPECT_EQ(program_length(re.get()), c.size);
        EXPECT_EQ(dump_program(re.get()), c.dump);
    }
}

// The dump is test code too: check one example against the raw bytes as well.
TEST_F(CompilerTest, RawProgramBytes) {
    struct RawCase {
        const char* pattern;
        std::vector<unsigned char> bytes;
    };
    const RawCase cases[] = {
        {"^ab*c",
         {0x9C, OP_ALT, 0, 24, OP_LINE_START, 0, 3, OP_LITERAL, 0, 5, 'a', 0, OP_SIMPLE_STAR, 0, 8,
          OP_LITERAL, 0, 0, 'b', 0, OP_LITERAL, 0, 5, 'c', 0, OP_END, 0, 0}},
        {"(ab)*c",
         {0x9C, 6, 0, 35, 6, 0, 21, 21, 0, 3, 6, 0, 9, 8, 0, 6, 'a', 'b', 0, 31, 0, 3,
          7, 0, 18, 6, 0, 3, 9, 0, 3, 8, 0, 5, 'c', 0, 0, 0, 0}},
    };
    for (const RawCase& c : cases) {
        SCOPED_TRACE(c.pattern);
        RegexpPtr re = compile(c.pattern);
        ASSERT_NE(re, nullptr);
        ASSERT_EQ(program_length(re.get()), c.bytes.size());
        EXPECT_EQ(std::vector<unsigned char>(re->program, re->program + c.bytes.size()), c.bytes);
    }
}

TEST_F(CompilerTest, RecordAndProgramShareOneBlock) {
    RegexpPtr re = compile("abc");
    ASSERT_NE(re, nullptr);
    EXPECT_EQ(re->program, reinterpret_cast<unsigned char*>(re.get() + 1));
    for (int i = 0; i < REGEXP_GROUPS; ++i) {
        EXPECT_EQ(re->match_start[i], nullptr);
        EXPECT_EQ(re->match_end[i], nullptr);
    }
}

// ---- Atoms: sets, escapes, 8-bit bytes ---------------------------------------------------

TEST_F(CompilerTest, AtomOperands) {
    std::string high_range;
    for (int b = 0xC0; b <= 0xFF; ++b) high_range += static_cast<char>(b);
    struct AtomCase {
        std::string pattern;
        unsigned char opcode;  // of the node at byte 4, the first of the single alternative
        std::string operand;
    };
    const AtomCase cases[] = {
        {"[a-a]", OP_ONE_OF, "a"},
        {"[]a]", OP_ONE_OF, "]a"},
        {"[^]a]", OP_NONE_OF, "]a"},
        {"[a-]", OP_ONE_OF, "a-"},
        {"[-a]", OP_ONE_OF, "-a"},
        {"[a-c-e]", OP_ONE_OF, "abcde"},
        {"[aa]", OP_ONE_OF, "aa"},
        {"[\\^]", OP_ONE_OF, "\\^"},
        {"[^a-c]", OP_NONE_OF, "abc"},
        {"[]-a]", OP_ONE_OF, "]^_`a"},
        {"[.*(|]", OP_ONE_OF, ".*(|"},
        {"[\xC0-\xFF]", OP_ONE_OF, high_range},
        {"\\.", OP_LITERAL, "."},
        {"\\n", OP_LITERAL, "n"},
        {"\\\\", OP_LITERAL, "\\"},
        {"\\*", OP_LITERAL, "*"},
        {"\xE9", OP_LITERAL, "\xE9"},
        {"\xE9\x80z", OP_LITERAL, "\xE9\x80z"},
        {"]{}-", OP_LITERAL, "]{}-"},
    };
    for (const AtomCase& c : cases) {
        SCOPED_TRACE(escape_bytes(c.pattern));
        RegexpPtr re = compile(c.pattern);
        ASSERT_NE(re, nullptr);
        const unsigned char* node = re->program + 4;
        EXPECT_EQ(node_opcode(node), c.opcode);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(node_operand(node))), c.operand);
    }
}

TEST_F(CompilerTest, HighByteIsAnOrdinaryLiteral) {
    RegexpPtr re = compile("\xE9t\xE9");
    ASSERT_NE(re, nullptr);
    EXPECT_EQ(static_cast<unsigned char>(re->first_char), 0xE9);
    EXPECT_EQ(program_length(re.get()), 1u + 3 + 3 + 4 + 3);
}

// ---- Hints ------------------------------------------------------------------------------

TEST_F(CompilerTest, Hints) {
    struct HintCase {
        const char* pattern;
        char first_char;
        int anchored;
        const char* must_text;  // null: none
    };
    const HintCase cases[] = {
        {"abc", 'a', 0, nullptr},
        {"abc*", 'a', 0, nullptr},
        {"^abc", 0, 1, nullptr},
        {"^", 0, 1, nullptr},
        {"a*xy.zw", 0, 0, "zw"},     // equal lengths: the later literal wins
        {"a*bc*efg", 0, 0, "efg"},   // the longest
        {"a*efg.bc", 0, 0, "efg"},   // a shorter later literal does not
        {"x?yz", 0, 0, "yz"},
        {"x+yz", 0, 0, nullptr},     // '+' gives no STARSTART
        {"(a|b*)c", 0, 0, "c"},      // STARSTART passed on from any alternative
        {"(abc)?d(efgh)", 0, 0, "d"},  // literals inside groups never count
        {"(a*)?", 0, 0, nullptr},
        {"^?ab", 0, 0, "ab"},
        {"a|b", 0, 0, nullptr},
        {"a*b|c", 0, 0, nullptr},    // '|' at the top level: no hints at all
        {"^a|b", 0, 0, nullptr},
        {"", 0, 0, nullptr},
        {".abc", 0, 0, nullptr},
        {"(abc)", 0, 0, nullptr},
        {"\\.x", '.', 0, nullptr},
    };
    for (const HintCase& c : cases) {
        SCOPED_TRACE(c.pattern);
        RegexpPtr re = compile(c.pattern);
        ASSERT_NE(re, nullptr);
        EXPECT_EQ(re->first_char, c.first_char);
        EXPECT_EQ(re->anchored, c.anchored);
        if (c.must_text == nullptr) {
            EXPECT_EQ(re->must_text, nullptr);
            EXPECT_EQ(re->must_length, 0);
        } else {
            ASSERT_NE(re->must_text, nullptr);
            EXPECT_STREQ(re->must_text, c.must_text);
            EXPECT_EQ(re->must_length, static_cast<int32_t>(std::strlen(c.must_text)));
            // It is the operand of a literal node inside this record's program.
            const unsigned char* text = reinterpret_cast<const unsigned char*>(re->must_text);
            EXPECT_GT(text, re->program);
            EXPECT_EQ(node_opcode(text - 3), OP_LITERAL);
        }
    }
}

// ---- Messages ---------------------------------------------------------------------------

struct MessageCase {
    std::string pattern;
    const char* message;
};

std::string tenth_group() {
    std::string pattern;
    for (char c = 'a'; c < 'a' + 10; ++c) pattern += std::string("(") + c + ")";
    return pattern;
}

const MessageCase MESSAGE_CASES[] = {
    {"(", "unmatched ()"},
    {"(a", "unmatched ()"},
    {"((a)", "unmatched ()"},
    {"a)", "unmatched ()"},
    {")", "unmatched ()"},
    {"a|b)", "unmatched ()"},
    {"a**", "nested *?+"},
    {"a*?", "nested *?+"},
    {"a+*", "nested *?+"},
    {"a??", "nested *?+"},
    {"(ab)?+", "nested *?+"},
    {"[ab]++", "nested *?+"},
    {"(a*)*", "*+ operand could be empty"},
    {"(a|)+", "*+ operand could be empty"},
    {"()*", "*+ operand could be empty"},
    {"^*", "*+ operand could be empty"},
    {"$+", "*+ operand could be empty"},
    {"(^)+", "*+ operand could be empty"},
    {"(a?b*)+", "*+ operand could be empty"},
    {"*a", "?+* follows nothing"},
    {"?", "?+* follows nothing"},
    {"a|*b", "?+* follows nothing"},
    {"(+a)", "?+* follows nothing"},
    {"a(|?)", "?+* follows nothing"},
    {tenth_group(), "too many ()"},
    {"((((((((((a))))))))))", "too many ()"},
    {"[z-a]", "invalid [] range"},
    {"[a-cb-a]", "invalid [] range"},
    {"[\xFF-A]", "invalid [] range"},
    {"[abc", "unmatched []"},
    {"[]", "unmatched []"},
    {"[^]", "unmatched []"},
    {"[a-", "unmatched []"},
    {"[", "unmatched []"},
    {"\\", "trailing \\"},
    {"ab\\", "trailing \\"},
    {"(a\\", "trailing \\"},
    // The first error from the left wins.
    {"(*a", "?+* follows nothing"},
    {"[z-a", "invalid [] range"},
    {"a**(", "nested *?+"},
    {"[a\\", "unmatched []"},
    {tenth_group().substr(0, 28) + "(", "too many ()"},
    {"(a))(", "unmatched ()"},
};

TEST_F(CompilerTest, SyntaxErrorsReportOneMessageEach) {
    for (const MessageCase& c : MESSAGE_CASES) {
        SCOPED_TRACE(escape_bytes(c.pattern));
        reported.clear();
        EXPECT_EQ(regcompile(c.pattern.c_str()), nullptr);
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0], c.message);
    }
}

TEST_F(CompilerTest, NullPattern) {
    EXPECT_EQ(regcompile(nullptr), nullptr);
    EXPECT_EQ(reported, std::vector<std::string>{"NULL argument"});
}

TEST_F(CompilerTest, NineGroupsCompileNestedOrInARow) {
    for (std::string pattern : {std::string("(a)(b)(c)(d)(e)(f)(g)(h)(i)"), std::string("(((((((((a)))))))))"),
                                std::string("(a(b)(c(d(e)))(f)((g)h)(i))")}) {
        SCOPED_TRACE(pattern);
        RegexpPtr re = compile(pattern);
        ASSERT_NE(re, nullptr);
        EXPECT_TRUE(reported.empty());
        // Groups are numbered by the order of their '(': opens appear 1..9 in byte order.
        std::string dump = dump_program(re.get());
        size_t from = 0;
        for (int n = 1; n <= 9; ++n) {
            size_t at = dump.find("OP_GROUP_OPEN+" + std::to_string(n) + " ", from);
            ASSERT_NE(at, std::string::npos) << n;
            from = at;
        }
    }
}

TEST_F(CompilerTest, SizeLimitBoundary) {
    RegexpPtr largest = compile(std::string(32755, 'a'));
    ASSERT_NE(largest, nullptr);
    EXPECT_TRUE(reported.empty());
    EXPECT_EQ(program_length(largest.get()), 32766u);
    EXPECT_EQ(largest->program[1], OP_ALT);
    EXPECT_EQ(largest->program[4], OP_LITERAL);
    EXPECT_EQ(largest->program[32762], 0);  // the literal's NUL
    EXPECT_EQ(largest->program[32763], OP_END);
    EXPECT_EQ(next_offset(largest->program + 1), 32762u);

    EXPECT_EQ(regcompile(std::string(32756, 'a').c_str()), nullptr);
    EXPECT_EQ(reported, std::vector<std::string>{"regexp too big"});
}

TEST_F(CompilerTest, SyntaxErrorOutranksSize) {
    const MessageCase cases[] = {
        {std::string(40000, 'a') + "(", "unmatched ()"},
        {std::string(40000, 'a') + "[b-a]", "invalid [] range"},
        {"*" + std::string(40000, 'a'), "?+* follows nothing"},
        {std::string(20000, 'a') + "a**" + std::string(20000, 'a'), "nested *?+"},
        // Sets count far more program than pattern bytes; the count must survive that.
        {[] {
             std::string p;
             for (int i = 0; i < 20000; ++i) p += "[\x01-\xFF]";
             return p + "\\";
         }(),
         "trailing \\"},
        {[] {
             std::string p;
             for (int i = 0; i < 20000; ++i) p += "[\x01-\xFF]";
             return p;
         }(),
         "regexp too big"},
    };
    for (const MessageCase& c : cases) {
        reported.clear();
        EXPECT_EQ(regcompile(c.pattern.c_str()), nullptr);
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0], c.message);
    }
}

TEST_F(CompilerTest, OffsetIsStoredHighByteFirst) {
    // 293 letters: the top OP_ALT at 1 leads to OP_END at 301.
    RegexpPtr re = compile(std::string(293, 'q'));
    ASSERT_NE(re, nullptr);
    EXPECT_EQ(re->program[2], 0x01);
    EXPECT_EQ(re->program[3], 0x2C);
    EXPECT_EQ(next_node(re->program + 1), re->program + 301);
    EXPECT_EQ(node_opcode(re->program + 301), OP_END);
}

TEST_F(CompilerTest, NextNodeOfEndAndOfSizingMarkerIsNone) {
    RegexpPtr re = compile("ab");
    ASSERT_NE(re, nullptr);
    const unsigned char* end = re->program + program_length(re.get()) - 3;
    ASSERT_EQ(node_opcode(end), OP_END);
    EXPECT_EQ(next_node(end), nullptr);
    EXPECT_EQ(next_node(SIZING_MARKER), nullptr);
}

// ---- The error hook ---------------------------------------------------------------------

std::vector<std::string> other_reported;
void capture_other(const char* message) { other_reported.emplace_back(message); }

TEST_F(CompilerTest, WithoutHookFailuresAreSilent) {
    regsethook(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(regcompile("("), nullptr);
    EXPECT_EQ(regcompile(nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(reported.empty());
}

TEST_F(CompilerTest, HookCanBeReplacedAndRemoved) {
    EXPECT_EQ(regcompile("a**"), nullptr);
    EXPECT_EQ(reported.size(), 1u);

    other_reported.clear();
    regsethook(capture_other);
    EXPECT_EQ(regcompile("[z-a]"), nullptr);
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_EQ(other_reported, std::vector<std::string>{"invalid [] range"});

    regsethook(nullptr);
    EXPECT_EQ(regcompile("("), nullptr);
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_EQ(other_reported.size(), 1u);
}

// A record whose magic byte is damaged is refused by substitution.
TEST_F(CompilerTest, DamagedMagicIsRefusedByRegsub) {
    RegexpPtr re = compile("(a)b");
    ASSERT_NE(re, nullptr);
    static const char line[] = "ab";
    re->match_start[0] = line;
    re->match_end[0] = line + 2;
    re->program[0] = 0x9D;
    char dest[8];
    std::memset(dest, '#', sizeof dest);
    regsub(re.get(), "x&", dest);
    EXPECT_EQ(reported, std::vector<std::string>{"damaged regexp fed to regsub"});
    EXPECT_EQ(std::string(dest, sizeof dest), std::string(8, '#'));
}

// ---- Structural invariants ----------------------------------------------------------------

// expect_well_formed checks the rules every compiled program keeps and the matcher relies
// on, with the validator the fuzz targets share (support/program_check.h), and that the
// program numbers exactly the groups its pattern opened.
void expect_well_formed(const Regexp* re, int groups) {
    const size_t length = program_length(re);
    ASSERT_GT(length, 0u) << "no OP_END or an unknown opcode";
    const ProgramCheck check = check_program(re, length);
    EXPECT_EQ(check.fault, "") << "at offset " << check.offset;
    EXPECT_EQ(check.shape.groups, groups);
}

uint32_t test_seed() {
    const char* text = std::getenv("QUARNEL_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20240611u;
}

TEST_F(CompilerTest, RandomValidPatternsAreWellFormed) {
    // Valid patterns from the whole grammar, with bytes from the whole range: literal runs
    // with 8-bit bytes, quoted bytes, sets with ranges, up to nine groups, alternation, all
    // three operators and both anchors.
    uint32_t seed = test_seed();
    TestRandom random(seed);
    PatternOptions options;
    options.valid_only = true;
    options.wide_bytes = true;
    for (int i = 0; i < 5000; ++i) {
        PatternShape shape;
        std::string pattern = random_pattern(random, options, &shape);
        const int groups = shape.groups;
        const bool top_alternation = shape.top_alternation;
        SCOPED_TRACE("seed " + std::to_string(seed) + " case " + std::to_string(i) + ": " + escape_bytes(pattern));
        reported.clear();
        RegexpPtr re = compile(pattern);
        ASSERT_NE(re, nullptr) << (reported.empty() ? "" : reported[0]);
        ASSERT_TRUE(reported.empty());
        expect_well_formed(re.get(), groups);
        if (top_alternation) {
            EXPECT_EQ(re->first_char, '\0');
            EXPECT_EQ(re->anchored, 0);
            EXPECT_EQ(re->must_text, nullptr);
        }
        // Compiling is deterministic: the same text gives the same program.
        RegexpPtr again = compile(pattern);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(dump_program(again.get()), dump_program(re.get()));
        if (HasFailure()) break;
    }
}

// Every pattern of up to four characters over the meta characters either compiles into a
// well-formed program or fails with exactly one message, and never with one of the three
// consistency messages that no pattern should reach.
TEST_F(CompilerTest, AllShortPatternsCompileOrReportOneMessage) {
    const std::string alphabet = "a(|)*+?[]^$.\\-";
    const std::set<std::string> unreachable = {"junk on end", "internal disaster", "internal urp"};
    std::vector<size_t> digits;
    for (size_t length = 0; length <= 4; ++length) {
        digits.assign(length, 0);
        for (;;) {
            std::string pattern;
            int groups = 0;
            for (size_t d : digits) pattern += alphabet[d];
            for (char c : pattern) groups += c == '(';
            reported.clear();
            RegexpPtr re = compile(pattern);
            if (re != nullptr) {
                EXPECT_TRUE(reported.empty()) << pattern;
                // A '(' inside a set is no group; count groups only when there is no set.
                if (pattern.find('[') == std::string::npos && pattern.find('\\') == std::string::npos) {
                    SCOPED_TRACE(pattern);
                    expect_well_formed(re.get(), groups);
                }
            } else {
                ASSERT_EQ(reported.size(), 1u) << pattern;
                EXPECT_EQ(unreachable.count(reported[0]), 0u) << pattern << ": " << reported[0];
            }
            if (HasFailure()) return;
            size_t i = 0;
            while (i < length && ++digits[i] == alphabet.size()) digits[i++] = 0;
            if (i == length) break;
        }
    }
}

}  // namespace
