// hostile_test.cpp: end-to-end runs of the quarnel binary on hostile input.
//
// A filter sits in pipelines that feed it whatever arrives, and its patterns and templates
// often come from other programs. Each test here feeds the built binary one kind of
// hostile input (every byte value, huge lines, huge expansions, patterns at the engine's
// limits, broken standard streams, extreme argument lists) and checks that the run gives
// the defined output byte for byte, or a clear message and status 1; never a signal, a
// hang (every run has a timeout) or a silently short output. Tests are named after the
// fault they pin. The ReDoS family lives in redos_test.cpp.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/end_to_end.h"

namespace {

// Generous for a normal build; a run that needs longer is taken to hang.
constexpr int RUN_TIMEOUT_SECONDS = 60;

const std::string BANNER_START = "Quarnel ";
const std::string BANNER_END = "(type '" + PROGRAM_PATH_SHOWN + " -?' for help)\n";

std::string regexp_error(const std::string& message) { return "regexp(3): " + message; }

std::string stream_error(const char* what, StreamFault fault) { return std::string(what) + ": " + system_message(fault) + "\n"; }

// Outcome is one run with the banner checked and taken off the error text.
struct Outcome {
    std::string out;
    std::string err;  // after the banner, summary time masked
    int status = -1;
};

// run_checked runs the binary through run_quarnel, checks that it ended by itself (no
// signal, no timeout) and wrote the banner first, and returns the rest.
Outcome run_checked(const std::vector<std::string>& args, const std::string& input, RunOptions options = {}) {
    options.timeout_seconds = std::min(options.timeout_seconds, RUN_TIMEOUT_SECONDS);
    RunResult r = run_quarnel(args, input, options);
    EXPECT_FALSE(r.timed_out) << "the run hung";
    EXPECT_EQ(r.term_signal, 0) << "the run ended by a signal";
    Outcome outcome{std::move(r.out), std::move(r.err), r.exit_status};
    size_t banner_end = outcome.err.find('\n');
    std::string banner = outcome.err.substr(0, banner_end == std::string::npos ? std::string::npos : banner_end + 1);
    EXPECT_EQ(banner.rfind(BANNER_START, 0), 0u) << "no banner: " << banner;
    EXPECT_TRUE(banner.size() >= BANNER_END.size() && banner.ends_with(BANNER_END)) << "no banner: " << banner;
    outcome.err.erase(0, banner.size());
    return outcome;
}

RunOptions with_stdout(const std::string& path) {
    RunOptions options;
    options.stdout_path = path;
    return options;
}

RunOptions with_stdin(const std::string& path) {
    RunOptions options;
    options.stdin_path = path;
    return options;
}

// lines_of splits input into the texts the filter works on: the bytes it reads as text
// (input_as_read), cut at each line feed, a last line without one kept, each text ended by
// its first NUL.
std::vector<std::string> lines_of(const std::string& bytes) {
    const std::string input = input_as_read(bytes);
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < input.size()) {
        size_t feed = input.find('\n', from);
        size_t end = feed == std::string::npos ? input.size() : feed;
        std::string text = input.substr(from, end - from);
        lines.push_back(text.substr(0, text.find('\0')));
        from = end + 1;
    }
    return lines;
}

std::string upper_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string lower_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string byte_text(int b) { return std::string(1, static_cast<char>(b)); }

// ---------------------------------------------------------------------------------------
// Every byte value in lines, patterns, sets and templates.

// Each byte value 0..255 framed as "<b>" on a line of its own: NUL cuts its line to "<",
// the line feed splits its line in two. 0x1A comes last: the Windows build's text mode ends
// the input there (so its last line is "<"), after every other byte was read.
std::string every_byte_lines() {
    std::string input;
    for (int b = 0; b < 256; ++b)
        if (b != 0x1A) input += "<" + byte_text(b) + ">\n";
    return input + "<\x1A>\n";
}

struct ByteLineCase {
    const char* name;
    std::vector<std::string> args;
    // written: the line as written for the line at index (0-based), or nothing when not selected
    std::function<std::optional<std::string>(size_t index, const std::string& text)> written;
};

TEST(Hostile, EveryByteValueInLinesIsWrittenAsDefined) {
    auto contains = [](const std::string& text, char c) { return text.find(c) != std::string::npos; };
    const std::vector<ByteLineCase> cases = {
        {"plain copy", {"-f"}, [](size_t, const std::string& t) { return t; }},
        {"-uc changes only a-z", {"-uc"}, [](size_t, const std::string& t) { return upper_ascii(t); }},
        {"-lc -ln", {"-lc", "-ln"},
         [](size_t i, const std::string& t) {
             std::string number = std::to_string(i);
             return std::string(number.size() < 5 ? 5 - number.size() : 0, ' ') + number + ": " + lower_ascii(t);
         }},
        {"-ic folds only ASCII letters", {"-ic", "-fQ"},
         [&](size_t, const std::string& t) -> std::optional<std::string> {
             if (contains(t, 'q') || contains(t, 'Q')) return t;
             return std::nullopt;
         }},
        {"-ic never folds 0xC9 onto 0xE9", {"-ic", "-f\xE9"},
         [&](size_t, const std::string& t) -> std::optional<std::string> {
             if (contains(t, '\xE9')) return t;
             return std::nullopt;
         }},
        {"-iv with a high byte", {"-iv", "-f\xFF"},
         [&](size_t, const std::string& t) -> std::optional<std::string> {
             if (contains(t, '\xFF')) return std::nullopt;
             return t;
         }},
        {"-reg set of high bytes with -sub", {"-reg[\x80-\xFF]", "-sub(&)"},
         [](size_t, const std::string& t) -> std::optional<std::string> {
             for (char c : t)
                 if (static_cast<unsigned char>(c) >= 0x80) return "(" + std::string(1, c) + ")";
             return std::nullopt;
         }},
        {"-reg any byte between the frames", {"-reg<.>", "-sub\\0"},
         [](size_t, const std::string& t) -> std::optional<std::string> {
             if (t.size() == 3) return t;
             return std::nullopt;
         }},
    };

    const std::string input = every_byte_lines();
    const std::vector<std::string> lines = lines_of(input);
    ASSERT_EQ(lines.size(), 257u);
    for (const ByteLineCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string expected;
        uint64_t written = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (std::optional<std::string> line = c.written(i, lines[i])) {
                expected += *line + "\n";
                ++written;
            }
        }
        Outcome r = run_checked(c.args, input);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, summary(written, lines.size()));
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Hostile, NulOnlyLinesAreEmptyLines) {
    const std::string input("\0\n\0\0\0\n\n\0", 8);
    struct Case {
        std::vector<std::string> args;
        std::string out;
        uint64_t written;
    };
    const std::vector<Case> cases = {
        {{"-ln"}, "    0: \n    1: \n    2: \n    3: \n", 4},
        {{"-reg^$", "-sub[&]"}, "[]\n[]\n[]\n[]\n", 4},
        {{"-reg."}, "", 0},
        {{"-iv", "-f"}, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Outcome r = run_checked(c.args, input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, summary(c.written, 4));
        EXPECT_EQ(r.status, 0);
    }
}

// One line per byte value 1..255 (the line feed excepted) holding that byte alone, with an
// empty line before the last, which is 0x1A: the Windows build's text mode ends the input
// there (and reads the CR line as an empty line).
std::string single_byte_lines() {
    std::string input;
    for (int b = 1; b < 256; ++b)
        if (b != '\n' && b != 0x1A) input += byte_text(b) + "\n";
    return input + "\n\x1A\n";
}

// expected_filter writes "[m]" for each line where match(line) gives the match text m.
std::string bracketed_matches(const std::function<std::optional<std::string>(const std::string&)>& match, uint64_t& written) {
    std::string out;
    written = 0;
    for (const std::string& line : lines_of(single_byte_lines())) {
        if (std::optional<std::string> m = match(line)) {
            out += "[" + *m + "]\n";
            ++written;
        }
    }
    return out;
}

// check_pattern_run runs -reg<pattern> -sub[&] over single_byte_lines and checks either
// the compile error or the lines that match(line) selects.
void check_pattern_run(const std::string& pattern, const std::optional<std::string>& error,
                       const std::function<std::optional<std::string>(const std::string&)>& match) {
    Outcome r = run_checked({"-reg" + pattern, "-sub[&]"}, single_byte_lines());
    if (error) {
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, regexp_error(*error));
        EXPECT_EQ(r.status, 1);
        return;
    }
    uint64_t written = 0;
    std::string expected = bracketed_matches(match, written);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, summary(written, lines_of(single_byte_lines()).size()));
    EXPECT_EQ(r.status, 0);
}

TEST(Hostile, EverySingleBytePatternMatchesOrReportsItsMessage) {
    for (int b = 1; b < 256; ++b) {
        const std::string p = byte_text(b);
        SCOPED_TRACE("pattern byte " + std::to_string(b));
        std::optional<std::string> error;
        std::function<std::optional<std::string>(const std::string&)> match;
        switch (b) {
        case '^':
        case '|':
            match = [](const std::string&) { return std::string(); };  // empty match at the start
            break;
        case '$':
            match = [](const std::string&) { return std::string(); };  // empty match at the end
            break;
        case '.':
            match = [](const std::string& line) -> std::optional<std::string> {
                if (line.empty()) return std::nullopt;
                return line;
            };
            break;
        case '[': error = "unmatched []"; break;
        case '(':
        case ')': error = "unmatched ()"; break;
        case '*':
        case '+':
        case '?': error = "?+* follows nothing"; break;
        case '\\': error = "trailing \\"; break;
        default:
            match = [p](const std::string& line) -> std::optional<std::string> {
                if (line == p) return line;
                return std::nullopt;
            };
        }
        check_pattern_run(p, error, match);
    }
}

TEST(Hostile, EveryByteInASetMatchesAsDefined) {
    for (int b = 1; b < 256; ++b) {
        const std::string p = byte_text(b);
        SCOPED_TRACE("set byte " + std::to_string(b));
        // [b]: the first byte after [ is always a member, so ], - and [ stand for themselves;
        // [^] negates and then takes its ] as a member, so it has no closing bracket.
        if (b == '^') {
            check_pattern_run("[^]", std::string("unmatched []"), nullptr);
        } else {
            check_pattern_run("[" + p + "]", std::nullopt, [p](const std::string& line) -> std::optional<std::string> {
                if (line == p) return line;
                return std::nullopt;
            });
        }
        // [^b]: every byte but b.
        check_pattern_run("[^" + p + "]", std::nullopt, [p](const std::string& line) -> std::optional<std::string> {
            if (line.empty() || line == p) return std::nullopt;
            return line;
        });
    }
    // Ranges over the whole byte range: bounds are unsigned, NUL is never a member.
    auto any_nonempty = [](const std::string& line) -> std::optional<std::string> {
        if (line.empty()) return std::nullopt;
        return line;
    };
    check_pattern_run("[\x01-\xFF]", std::nullopt, any_nonempty);
    check_pattern_run("[^\x01-\xFF]", std::nullopt, [](const std::string&) { return std::nullopt; });
    check_pattern_run("[\xFF-\x01]", std::string("invalid [] range"), nullptr);
    check_pattern_run("[\x80-\xFF]", std::nullopt, [](const std::string& line) -> std::optional<std::string> {
        if (line.size() == 1 && static_cast<unsigned char>(line[0]) >= 0x80) return line;
        return std::nullopt;
    });
}

TEST(Hostile, TemplateWithEveryByteValueIsExpandedAsDefined) {
    // Bytes 1..255 in order: & is the whole match; the backslash (0x5C) quotes no digit,
    // & or backslash, so it stands for itself and ] after it is read as usual; the line
    // feed in the template ends up inside the written line.
    std::string tmpl;
    for (int b = 1; b < 256; ++b) tmpl += byte_text(b);
    std::string expected;
    for (char c : tmpl) expected += (c == '&') ? std::string("Qz") : std::string(1, c);

    Outcome r = run_checked({"-reg(Q)z", "-sub" + tmpl}, "xQzy\nnone\n");
    EXPECT_EQ(r.out, expected + "\n");
    EXPECT_EQ(r.err, summary(1, 2));
    EXPECT_EQ(r.status, 0);
}

TEST(Hostile, TemplatesReferringToEverySlotUnsetSlotsAndATrailingBackslash) {
    struct Case {
        const char* name;
        std::string pattern, tmpl, input, out;
    };
    const std::vector<Case> cases = {
        {"every slot", "(a)(b)(c)(d)(e)(f)(g)(h)(i)", "&|\\0|\\1\\2\\3\\4\\5\\6\\7\\8\\9|\\10", "xabcdefghiy\n",
         "abcdefghi|abcdefghi|abcdefghi|a0\n"},
        {"escapes", "b", "\\\\|\\&|\\n|\\\\1|\\&&", "abc\n", "\\|&|\\n|\\1|&b\n"},
        {"unset slots in an alternation", "(a)|(b)", "[\\1][\\2][\\3][\\9]", "b\n", "[][b][][]\n"},
        {"group skipped by ?", "x(y)?z", "<\\1>", "xz\n", "<>\n"},
        {"slots past the pattern's groups", "q", "\\5\\6\\7\\8\\9", "q\n", "\n"},
        {"trailing backslash", "e", "end\\", "e\n", "end\\\n"},
        {"template only a backslash", "e", "\\", "e\n", "\\\n"},
        {"group that matched the empty string", "a(b*)c", "[\\1]", "ac\n", "[]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = run_checked({"-reg" + c.pattern, "-sub" + c.tmpl}, c.input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, summary(1, 1));
        EXPECT_EQ(r.status, 0);
    }
}

// ---------------------------------------------------------------------------------------
// Patterns at the engine's limits.

// A Windows command line holds at most 32,767 characters: a program given more cannot start.
constexpr const char* COMMAND_LINE_TOO_LONG = "the arguments exceed the 32,767 characters of a command line";

TEST(Hostile, PatternAtTheSizeLimitCompilesAndOneMoreLetterIsRefused) {
    SKIP_ON_WINDOWS_TARGET(COMMAND_LINE_TOO_LONG);
    const std::string at_limit(32755, 'a');
    const std::string input = at_limit + "\n" + at_limit.substr(1) + "\nb" + at_limit + "b\n";
    Outcome fits = run_checked({"-reg" + at_limit}, input);
    EXPECT_EQ(fits.out, at_limit + "\nb" + at_limit + "b\n");
    EXPECT_EQ(fits.err, summary(2, 3));
    EXPECT_EQ(fits.status, 0);

    Outcome too_big = run_checked({"-reg" + at_limit + "a"}, input);
    EXPECT_EQ(too_big.out, "");
    EXPECT_EQ(too_big.err, regexp_error("regexp too big"));
    EXPECT_EQ(too_big.status, 1);
}

TEST(Hostile, NineNestedGroupsWorkAndATenthIsRefused) {
    Outcome nine = run_checked({"-reg(((((((((a)))))))))", "-sub&\\1\\2\\3\\4\\5\\6\\7\\8\\9"}, "xay\n");
    EXPECT_EQ(nine.out, "aaaaaaaaaa\n");
    EXPECT_EQ(nine.err, summary(1, 1));
    EXPECT_EQ(nine.status, 0);

    for (const char* pattern : {"((((((((((a))))))))))", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "(((((((((a)))))))))|()"}) {
        SCOPED_TRACE(pattern);
        Outcome ten = run_checked({"-reg" + std::string(pattern)}, "a\n");
        EXPECT_EQ(ten.out, "");
        EXPECT_EQ(ten.err, regexp_error("too many ()"));
        EXPECT_EQ(ten.status, 1);
    }
}

// ---------------------------------------------------------------------------------------
// Sizes: many lines, huge lines, huge expansions.

// a[ab]{k}b$ written out, on random lines of a and b: the pattern's position automaton has
// up to 2^k reachable sets, so for large k no DFA cache holds the states the text visits,
// and the selection is the bit-parallel NFA's (from the start, or once the DFA gives up).
// Selection, inversion and -sub from the match's start are what the definition gives.
TEST(Hostile, PatternsWhoseDfaCannotStaySmallSelectAsDefined) {
    uint64_t state = 0x9E3779B97F4A7C15u;
    auto next_bit = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (state >> 11) & 1;
    };
    std::vector<std::string> lines;
    std::string input;
    for (int i = 0; i < 4000; ++i) {
        std::string line;
        const int length = 10 + int(state % 50);
        for (int j = 0; j < length; ++j) line += next_bit() ? 'a' : 'b';
        lines.push_back(line);
        input += line + "\n";
    }
    for (int k : {4, 8, 12, 16, 20}) {
        SCOPED_TRACE("k = " + std::to_string(k));
        std::string pattern = "a";
        for (int i = 0; i < k; ++i) pattern += "[ab]";
        pattern += "b$";
        std::string selected, rest, rewritten;
        size_t count = 0;
        for (const std::string& line : lines) {
            const bool match = line.size() >= size_t(k) + 2 && line[line.size() - k - 2] == 'a' && line.back() == 'b';
            (match ? selected : rest) += line + "\n";
            if (match) rewritten += line.substr(line.size() - k - 2) + "\n";
            count += match;
        }
        ASSERT_GT(count, 0u);
        Outcome r = run_checked({"-reg" + pattern}, input);
        EXPECT_EQ(r.out, selected);
        EXPECT_EQ(r.err, summary(count, lines.size()));
        Outcome inverted = run_checked({"-iv", "-reg" + pattern}, input);
        EXPECT_EQ(inverted.out, rest);
        Outcome sub = run_checked({"-reg" + pattern, "-sub&"}, input);
        EXPECT_EQ(sub.out, rewritten);
        EXPECT_EQ(sub.status, 0);
    }
}

TEST(Hostile, MillionEmptyLinesAreAllCountedAndWritten) {
    const size_t count = 1000000;
    const std::string input(count, '\n');

    Outcome copy = run_checked({"-f"}, input);
    EXPECT_EQ(copy.out.size(), count);
    EXPECT_EQ(copy.out.find_first_not_of('\n'), std::string::npos);
    EXPECT_EQ(copy.err, summary(count, count));

    Outcome numbered = run_checked({"-ln", "-reg^$"}, input);
    // "%5u: " and the line feed: 8 bytes up to five digits, 9 bytes with six.
    EXPECT_EQ(numbered.out.size(), 100000u * 8 + 900000u * 9);
    EXPECT_EQ(numbered.out.substr(0, 16), "    0: \n    1: \n");
    EXPECT_EQ(numbered.out.substr(numbered.out.size() - 18), "999998: \n999999: \n");
    EXPECT_EQ(numbered.err, summary(count, count));

    Outcome none = run_checked({"-reg."}, input);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, summary(0, count));
}

// LongLine is a deterministic text of any length without NUL or line feed, repeating with
// a prime period so that a dropped, doubled or moved block of any power-of-two size shows.
// It has no CR or 0x1A either, which the Windows build's text mode reads differently (the
// every-byte tests above cover those).
class LongLine {
public:
    static constexpr size_t PERIOD = 65521;

    LongLine() : table_(PERIOD) {
        uint32_t state = 0x12345678u;
        for (char& c : table_) {
            state = state * 1664525u + 1013904223u;
            unsigned char b = static_cast<unsigned char>(state >> 24);
            if (b == 0 || b == '\n' || b == '\r' || b == 0x1A) b = 'n';
            c = static_cast<char>(b);
        }
    }

    char at(uint64_t i) const { return table_[i % PERIOD]; }

    // fill writes the bytes from offset on into out.
    void fill(uint64_t offset, char* out, size_t size) const {
        while (size > 0) {
            size_t at = offset % PERIOD;
            size_t n = std::min(size, PERIOD - at);
            std::memcpy(out, table_.data() + at, n);
            out += n;
            offset += n;
            size -= n;
        }
    }

private:
    std::vector<char> table_;
};

// TempFile is a file under the test temporary directory, removed at the end of its scope.
class TempFile {
public:
    explicit TempFile(const std::string& name)
        : path_(testing::TempDir() + "quarnel_hostile_" + std::to_string(getpid()) + "_" + name) {
        std::FILE* f = std::fopen(path_.c_str(), "wb");  // exists and is empty
        if (f != nullptr) std::fclose(f);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

constexpr size_t CHUNK = 1 << 20;

// write_long_line writes the text before, length bytes of line and then, if wanted, a
// line feed.
bool write_long_line(const std::string& path, const LongLine& line, uint64_t length, bool line_feed,
                     const std::string& before = "") {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::vector<char> chunk(CHUNK);
    bool ok = std::fwrite(before.data(), 1, before.size(), f) == before.size();
    for (uint64_t at = 0; at < length && ok; at += CHUNK) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(CHUNK, length - at));
        line.fill(at, chunk.data(), n);
        ok = std::fwrite(chunk.data(), 1, n, f) == n;
    }
    if (ok && line_feed) ok = std::fputc('\n', f) != EOF;
    return std::fclose(f) == 0 && ok;
}

// file_matches reads path in chunks and compares it with expected_size bytes made by
// expected(offset, out, size); it reports the first difference.
::testing::AssertionResult file_matches(const std::string& path, uint64_t expected_size,
                                        const std::function<void(uint64_t, char*, size_t)>& expected) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return ::testing::AssertionFailure() << "cannot open " << path;
    std::vector<char> got(CHUNK), want(CHUNK);
    uint64_t offset = 0;
    for (;;) {
        size_t n = std::fread(got.data(), 1, CHUNK, f);
        if (n == 0) break;
        if (offset + n > expected_size) {
            std::fclose(f);
            return ::testing::AssertionFailure() << "output longer than " << expected_size << " bytes";
        }
        expected(offset, want.data(), n);
        if (std::memcmp(got.data(), want.data(), n) != 0) {
            size_t i = 0;
            while (got[i] == want[i]) ++i;
            std::fclose(f);
            return ::testing::AssertionFailure() << "output differs at byte " << offset + i;
        }
        offset += n;
    }
    std::fclose(f);
    if (offset != expected_size)
        return ::testing::AssertionFailure() << "output has " << offset << " bytes, expected " << expected_size;
    return ::testing::AssertionSuccess();
}

constexpr uint64_t HUNDRED_MB = 100ull << 20;

TEST(Hostile, HundredMegabyteLineIsWrittenWholeWithAndWithoutLineFeed) {
    const LongLine line;
    TempFile input("long_in");
    auto line_then_end = [&](uint64_t offset, char* out, size_t size) {
        for (size_t i = 0; i < size; ++i)
            out[i] = offset + i >= HUNDRED_MB ? LINE_END[offset + i - HUNDRED_MB] : line.at(offset + i);
    };
    for (bool line_feed : {true, false}) {
        SCOPED_TRACE(line_feed ? "with line feed" : "without line feed");
        ASSERT_TRUE(write_long_line(input.path(), line, HUNDRED_MB, line_feed));
        TempFile fresh_output("long_out");
        RunOptions options = with_stdin(input.path());
        options.stdout_path = fresh_output.path();
        Outcome r = run_checked({"-f"}, "", options);
        EXPECT_EQ(r.err, summary(1, 1));
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(file_matches(fresh_output.path(), HUNDRED_MB + LINE_END.size(), line_then_end));
    }
}

TEST(Hostile, HundredMegabyteLineIsSearchedAndSubstitutedWhole) {
    // ^(.)(.*)(.)$ with \3\2\1 swaps the first and the last byte of the whole line.
    const LongLine line;
    TempFile input("long_sub_in"), output("long_sub_out");
    ASSERT_TRUE(write_long_line(input.path(), line, HUNDRED_MB, true));
    RunOptions options = with_stdin(input.path());
    options.stdout_path = output.path();
    Outcome r = run_checked({"-reg^(.)(.*)(.)$", "-sub\\3\\2\\1"}, "", options);
    EXPECT_EQ(r.err, summary(1, 1));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_matches(output.path(), HUNDRED_MB + LINE_END.size(), [&](uint64_t offset, char* out, size_t size) {
        line.fill(offset, out, size);
        for (size_t i = 0; i < size; ++i) {
            uint64_t at = offset + i;
            if (at == 0) out[i] = line.at(HUNDRED_MB - 1);
            if (at == HUNDRED_MB - 1) out[i] = line.at(0);
            if (at >= HUNDRED_MB) out[i] = LINE_END[at - HUNDRED_MB];
        }
    }));
}

TEST(Hostile, SubExpansionOfSeveralMegabytesIsKeptWhole) {
    const LongLine text;
    std::string line(1 << 20, ' ');
    text.fill(0, line.data(), line.size());
    std::string second = line.substr(0, line.size() / 2);
    const std::string input = line + "\n" + second + "\n";

    struct Case {
        std::string tmpl;
        std::function<std::string(const std::string&)> expansion;
    };
    const std::vector<Case> cases = {
        {"&&&&&&&&",
         [](const std::string& l) {
             std::string e;
             for (int i = 0; i < 8; ++i) e += l;
             return e;
         }},
        {"<\\1>\\0|\\1", [](const std::string& l) { return "<" + l + ">" + l + "|" + l; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tmpl);
        Outcome r = run_checked({"-reg(.*)", "-sub" + c.tmpl}, input);
        std::string expected = c.expansion(line) + "\n" + c.expansion(second) + "\n";
        EXPECT_EQ(r.out.size(), expected.size());
        EXPECT_TRUE(r.out == expected) << "the expansion differs";
        EXPECT_EQ(r.err, summary(2, 2));
        EXPECT_EQ(r.status, 0);
    }
}

// ---------------------------------------------------------------------------------------
// Running out of memory: the lines before stay written, then a clear message and status 1.

// The limit makes an allocation fail in the child as on a small machine. AddressSanitizer
// reserves terabytes of address space, so a sanitized binary cannot run under it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool ADDRESS_SPACE_LIMIT_WORKS = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool ADDRESS_SPACE_LIMIT_WORKS = false;
#else
constexpr bool ADDRESS_SPACE_LIMIT_WORKS = true;
#endif
#else
constexpr bool ADDRESS_SPACE_LIMIT_WORKS = true;
#endif

// Wine reserves far more address space than the limits here allow before the program
// starts, and Windows has no such limit that a parent could set this way.
constexpr const char* NO_ADDRESS_SPACE_LIMIT = "the address space limit would apply to Wine itself";
// qemu-user allocates a 128 MiB code buffer of its own before the program starts, so the
// limits below 128 MiB stop the emulator, not the program.
constexpr const char* NO_SMALL_LIMIT_UNDER_QEMU = "qemu-user needs 128 MiB of address space for itself";

TEST(Hostile, LineLargerThanMemoryIsReportedAfterTheLinesBefore) {
    if (!ADDRESS_SPACE_LIMIT_WORKS) GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    SKIP_ON_WINDOWS_TARGET(NO_ADDRESS_SPACE_LIMIT);
    if (TARGET_IS_EMULATED && !TARGET_IS_WINDOWS) GTEST_SKIP() << NO_SMALL_LIMIT_UNDER_QEMU;
    const LongLine line;
    TempFile input("huge_in");
    ASSERT_TRUE(write_long_line(input.path(), line, HUNDRED_MB, true, "first\n"));

    RunOptions options = with_stdin(input.path());
    options.address_space_limit = size_t{128} << 20;
    Outcome r = run_checked({"-f"}, "", options);
    EXPECT_EQ(r.out, "first\n");
    EXPECT_EQ(r.err, "out of memory\n");
    EXPECT_EQ(r.status, 1);
}

// An expansion of a terabyte (a 100 KB template of & on a 10 MB line) can never be held.
// The run must say so at once, not first walk the whole terabyte it cannot produce.
TEST(Hostile, ExpansionFarLargerThanMemoryIsReportedPromptly) {
    if (!ADDRESS_SPACE_LIMIT_WORKS) GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    SKIP_ON_WINDOWS_TARGET(NO_ADDRESS_SPACE_LIMIT);
    const std::string tmpl(100000, '&');
    const std::string input = "ok\n" + std::string(10 << 20, 'a') + "\n";
    RunOptions options;
    options.address_space_limit = size_t{1} << 30;
    options.timeout_seconds = 30;
    Outcome r = run_checked({"-reg.*", "-sub" + tmpl}, input, options);
    std::string first_expansion;
    for (int i = 0; i < 100000; ++i) first_expansion += "ok";
    EXPECT_TRUE(r.out == first_expansion + "\n") << "the line before the failure was not written whole";
    EXPECT_EQ(r.err, "out of memory\n");
    EXPECT_EQ(r.status, 1);
}

// Selecting needs no slots, so a pattern full of choices over a 10 MB line is decided by
// the engine's DFA in a few states: within 64 MB of address space, which the backtracker's
// choice stack for the same line exceeds many times over (it needs the slots of -sub).
TEST(Hostile, SelectingOnATenMegabyteLineTakesBoundedMemory) {
    if (!ADDRESS_SPACE_LIMIT_WORKS) GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    SKIP_ON_WINDOWS_TARGET(NO_ADDRESS_SPACE_LIMIT);
    if (TARGET_IS_EMULATED && !TARGET_IS_WINDOWS) GTEST_SKIP() << NO_SMALL_LIMIT_UNDER_QEMU;
    std::string line;
    for (int i = 0; i < 5000000; ++i) line += "ab";
    RunOptions options;
    options.address_space_limit = size_t{64} << 20;
    options.timeout_seconds = 60;
    Outcome selected = run_checked({"-reg(a|b)+$"}, "x\n" + line + "\n", options);
    EXPECT_TRUE(selected.out == line + "\n") << "the line was not selected whole";
    EXPECT_EQ(selected.err, summary(1, 2));
    EXPECT_EQ(selected.status, 0);
    Outcome inverted = run_checked({"-iv", "-reg(a|b)+$"}, "x\n" + line + "\n", options);
    EXPECT_EQ(inverted.out, "x\n");
    EXPECT_EQ(inverted.status, 0);
}

// ---------------------------------------------------------------------------------------
// Broken standard streams: a clear message, status 1, no summary.

std::string many_lines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "line " + std::to_string(i) + " of the input\n";
    return text;
}

TEST(Hostile, WriteToDevFullIsReportedOnEveryOutputPath) {
    const std::string big = many_lines(50000);
    const std::vector<std::vector<std::string>> arg_sets = {
        {"-reg^line"}, {"-reg(l)ine", "-sub\\1&&"}, {"-ln", "-uc", "-reg1"}, {"-reg(.*)", "-sub&&&&&&&&&&&&&&&&"}};
    for (const std::vector<std::string>& args : arg_sets) {
        for (const std::string& input : {std::string("line 1\n"), big}) {
            SCOPED_TRACE(args[0] + " on " + std::to_string(input.size()) + " bytes");
            Outcome r = run_checked(args, input, with_stdout("/dev/full"));
            EXPECT_EQ(r.err, stream_error("write error", StreamFault::DISK_FULL));
            EXPECT_EQ(r.status, 1);
        }
    }
}

TEST(Hostile, WriteToClosedStdoutIsReported) {
    RunOptions closed;
    closed.close_stdout = true;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-f"}, {"-reg.", "-sub&&"}}) {
        for (const std::string& input : {std::string("x\n"), many_lines(50000)}) {
            SCOPED_TRACE(args[0]);
            Outcome r = run_checked(args, input, closed);
            EXPECT_EQ(r.err, stream_error("write error", StreamFault::CLOSED_STDOUT));
            EXPECT_EQ(r.status, 1);
        }
    }
}

TEST(Hostile, ClosedStdinIsReported) {
    RunOptions closed;
    closed.close_stdin = true;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-f"}, {"-reg.", "-sub&"}}) {
        Outcome r = run_checked(args, "", closed);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, stream_error("read error", StreamFault::CLOSED_STDIN));
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Hostile, DirectoryAsStdinIsReported) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-ln"}, {"-reg.", "-sub&"}}) {
        Outcome r = run_checked(args, "", with_stdin("/"));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, stream_error("read error", StreamFault::DIRECTORY_READ));
        EXPECT_EQ(r.status, 1);
    }
}

// ---------------------------------------------------------------------------------------
// Extreme argument lists.

TEST(Hostile, ThousandArgumentsAreAllExamined) {
    // 999 find strings (the first ten are kept) and then -ln as the thousandth argument.
    std::vector<std::string> args;
    for (int i = 0; i < 999; ++i) args.push_back("-f<" + std::to_string(i) + ">");
    args.push_back("-ln");
    Outcome r = run_checked(args, "<5>\n<10>\n<998>\n<9>\nx\n");
    EXPECT_EQ(r.out, "    0: <5>\n    3: <9>\n");
    EXPECT_EQ(r.err, summary(2, 5));
    EXPECT_EQ(r.status, 0);
}

TEST(Hostile, ThousandPatternsAreEachCompiledAndTheLastIsUsed) {
    std::vector<std::string> args;
    for (int i = 0; i < 1000; ++i) args.push_back("-reg^" + std::to_string(i) + "$");
    Outcome last = run_checked(args, "998\n999\n0\n");
    EXPECT_EQ(last.out, "999\n");
    EXPECT_EQ(last.err, summary(1, 3));
    EXPECT_EQ(last.status, 0);

    args[500] = "-reg(";  // a bad pattern in the middle ends the run there
    Outcome bad = run_checked(args, "999\n");
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, regexp_error("unmatched ()"));
    EXPECT_EQ(bad.status, 1);
}

TEST(Hostile, HundredKilobyteArgumentsAreHeldWhole) {
    SKIP_ON_WINDOWS_TARGET(COMMAND_LINE_TOO_LONG);
    const LongLine text;
    std::string big(100 * 1024, ' ');
    text.fill(0, big.data(), big.size());
    for (char& c : big)
        if (c == '\\' || c == '&') c = '_';  // so the same text is a plain template too

    Outcome found = run_checked({"-v", "-f" + big}, "x" + big + "y\n" + big.substr(1) + "\n");
    EXPECT_EQ(found.out, "x" + big + "y\n");
    EXPECT_EQ(found.err, "Match \"" + big + "\"\n" + summary(1, 2));
    EXPECT_EQ(found.status, 0);

    Outcome too_big = run_checked({"-reg" + std::string(100 * 1024, 'a')}, "a\n");
    EXPECT_EQ(too_big.out, "");
    EXPECT_EQ(too_big.err, regexp_error("regexp too big"));
    EXPECT_EQ(too_big.status, 1);

    Outcome expanded = run_checked({"-reg(k)", "-sub" + big + "\\1&"}, "ok\nno\n");
    EXPECT_EQ(expanded.out, big + "kk\n");
    EXPECT_EQ(expanded.err, summary(1, 2));
    EXPECT_EQ(expanded.status, 0);
}

}  // namespace
