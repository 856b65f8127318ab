// cli_test.cpp: end-to-end runs of the quarnel binary: command line and line loop.
//
// Each row gives argv, stdin bytes, and the exact stdout, stderr (summary time masked) and
// exit status. argv[0] is "quarnel" unless a row says otherwise (the Windows build under
// Wine shows its own path), so the banner and usage text are known byte for byte. Below
// the table: the stream decisions (huge lines, write and read errors, a closed pipe), and
// the README's table of grep commands and their Quarnel form, each row run by both tools.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/end_to_end.h"

namespace {

const std::string USAGE = usage_text(PROGRAM_PATH_SHOWN);

const std::string ABC = "alpha\nBeta\ngamma\n";

const std::vector<EndToEndCase> CLI_CASES = {
    // Run start and usage.
    {"no arguments", {}, ABC, "", USAGE, 1},
    {"help", {"-?"}, ABC, "", USAGE, 1},
    {"help stops the arguments", {"-lc", "-?", "-ln"}, ABC, "", USAGE, 1},
    {"no option at all selects every line", {"hello"}, ABC, ABC, summary(3, 3), 0},
    {"empty argument", {""}, ABC, ABC, summary(3, 3), 0},
    {"empty input", {"-fa"}, "", "", summary(0, 0), 0},
    {"empty input, no selection", {"-v"}, "", "", "Match \n" + summary(0, 0), 0},

    // Option words.
    {"upper-case option words", {"-LC", "-Ln", "-Fe"}, ABC, "    1: beta\n", summary(1, 3), 0},
    {"-IV and -F", {"-IV", "-Fl"}, ABC, "Beta\ngamma\n", summary(2, 3), 0},
    {"-V", {"-V", "-fb"}, ABC, "", "Match \"b\"\n" + summary(0, 3), 0},
    {"-lcx, -vv and -ivx are no options", {"-lcx", "-vv", "-ivx"}, ABC, ABC, summary(3, 3), 0},
    {"-f2 looks for the character 2", {"-f2"}, "a1\nb2\n22\n", "b2\n22\n", summary(2, 3), 0},
    {"value only in the same argument", {"-f", "abc"}, ABC, ABC, summary(3, 3), 0},
    {"-f -v: empty find string and verbose", {"-f", "-v"}, ABC, ABC, "Match \"\"\n" + summary(3, 3), 0},

    // Find strings.
    {"first of several find strings", {"-fgam", "-fBe"}, ABC, "Beta\ngamma\n", summary(2, 3), 0},
    {"find strings are case sensitive", {"-fbeta"}, ABC, "", summary(0, 3), 0},
    {"empty find string selects every line", {"-f"}, ABC, ABC, summary(3, 3), 0},
    {"empty find string inverted selects none", {"-f", "-iv"}, ABC, "", summary(0, 3), 0},
    {"-iv alone changes nothing", {"-iv"}, ABC, ABC, summary(3, 3), 0},
    {"-ic alone changes nothing", {"-ic"}, ABC, ABC, summary(3, 3), 0},
    {"-ic keeps each line's own case", {"-ic", "-fABC"}, "xabcx\nXAbCx\nxabx\n", "xabcx\nXAbCx\n", summary(2, 3), 0},
    {"-ic folds no byte above 0x7F", {"-ic", "-f\xC4"}, "\xE4\n\xC4\nA\n", "\xC4\n", summary(1, 3), 0},
    {"-ic: no other byte folds onto a letter", {"-ic", "-fa"}, "\xC1\n\x41\n\x61\n\x01\n!\n", "A\na\n", summary(2, 5), 0},
    {"-ic inverted", {"-ic", "-iv", "-fB"}, ABC, "alpha\ngamma\n", summary(2, 3), 0},
    {"eleven -f keep the first ten",
     {"-v", "-f0", "-f1", "-f2", "-f3", "-f4", "-f5", "-f6", "-f7", "-f8", "-f9", "-fX"},
     "X\n5\n",
     "5\n",
     "Match \"0\" or \"1\" or \"2\" or \"3\" or \"4\" or \"5\" or \"6\" or \"7\" or \"8\" or \"9\"\n" + summary(1, 2),
     0},

    // Run description.
    {"description with -iv and -ic", {"-v", "-iv", "-ic", "-fAb", "-fc"}, "AB\nxy\nC\n", "xy\n",
     "Match NOT \"ab\" or \"c\" (ignore case) \n" + summary(1, 3), 0},
    {"description without selection", {"-v", "-iv"}, "", "", "Match NOT \n" + summary(0, 0), 0},
    {"description with one string", {"-v", "-fx"}, "", "", "Match \"x\"\n" + summary(0, 0), 0},

    // Lines.
    {"last line without a line feed", {"-fa"}, "xa\nb\nya", "xa\nya\n", summary(2, 3), 0},
    {"line numbers count from 0", {"-ln", "-fb"}, "a\nb\n", "    1: b\n", summary(1, 2), 0},
    {"line numbers have gaps", {"-ln", "-fx"}, "x\na\nb\nx\n", "    0: x\n    3: x\n", summary(2, 4), 0},
    {"empty line with empty find string", {"-f", "-ln"}, "\n\nz\n", "    0: \n    1: \n    2: z\n", summary(3, 3), 0},
    {"empty lines, no selection", {"-lc"}, "\n\n", "\n\n", summary(2, 2), 0},
    {"-lc", {"-lc"}, "MiXeD 1\xC4\n", "mixed 1\xC4\n", summary(1, 1), 0},
    {"-uc", {"-uc"}, "MiXeD 1\xE4\n", "MIXED 1\xE4\n", summary(1, 1), 0},
    {"-lc wins over -uc", {"-uc", "-lc"}, "MiXeD\n", "mixed\n", summary(1, 1), 0},
    {"matching before conversion", {"-lc", "-fB"}, ABC, "beta\n", summary(1, 3), 0},
    {"NUL ends the line's text", {"-ln"}, std::string("ab\0cd\nx\n", 8), "    0: ab\n    1: x\n", summary(2, 2), 0},
    {"text after a NUL is not matched", {"-fcd"}, std::string("ab\0cd\ncd\n", 9), "cd\n", summary(1, 2), 0},
    {"NUL-started line selected by empty string", {"-f"}, std::string("\0z\n", 3), "\n", summary(1, 1), 0},
    {"CR and 0x1A are ordinary bytes", {"-uc"}, "a\r\nb\x1A" "c\n", "A\r\nB\x1A" "C\n", summary(2, 2), 0,
     "text mode reads CR LF as a line feed and ends at 0x1A (windows_text_test.cpp)"},
};

TEST(Cli, Table) { expect_end_to_end_cases(CLI_CASES); }

TEST(Cli, ProgramPathInBannerAndUsage) {
    SKIP_ON_WINDOWS_TARGET("Wine sets argv[0] to the program's own path (the table checks that one)");
    RunResult r = run_quarnel({"-?"}, "", options_with(&RunOptions::argv0, "/opt/bin/qn"));
    EXPECT_EQ(r.err, "Quarnel text line filter, version 1.0   (type '/opt/bin/qn -?' for help)\n" + usage_text("/opt/bin/qn"));
    EXPECT_EQ(r.exit_status, 1);
}

// Standard input is a directory, so any read of it fails: the usage paths never read.
TEST(Cli, UsageDoesNotReadInput) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-lc", "-?", "-ln"}}) {
        RunResult r = run_quarnel(args, "", options_with(&RunOptions::stdin_path, "/"));
        EXPECT_EQ(r.err, BANNER + USAGE);
        EXPECT_EQ(r.exit_status, 1);
    }
}

TEST(Cli, LineNumbersWidenPastFiveDigits) {
    std::string input;
    for (int i = 0; i < 100002; ++i) input += (i == 99999 || i == 100001) ? "y\n" : "x\n";
    RunResult r = run_quarnel({"-ln", "-fy"}, input);
    EXPECT_EQ(r.out, "99999: y\n100001: y\n");
    EXPECT_EQ(r.err, BANNER + summary(2, 100002));
}

TEST(Cli, LongLinesAreHeldWhole) {
    for (size_t length : {size_t{10239}, size_t{10240}, size_t{20000}, size_t{10000000}}) {
        SCOPED_TRACE(length);
        std::string line(length, 'a');
        line[length / 2] = 'Q';
        line[length - 1] = 'z';  // only a whole line has its last byte
        std::string input = "first\n" + line + "\nlast";

        RunResult plain = run_quarnel({"-fz"}, input);
        EXPECT_EQ(plain.out, line + "\n");
        EXPECT_EQ(plain.err, BANNER + summary(1, 3));

        std::string upper = line;
        for (char& ch : upper) ch = (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch;
        RunResult folded = run_quarnel({"-ic", "-fqa", "-uc", "-ln"}, input);
        EXPECT_EQ(folded.out, "    1: " + upper + "\n");
        EXPECT_EQ(folded.err, BANNER + summary(1, 3));
    }
}

TEST(Cli, WriteErrorIsReportedWithoutSummary) {
    std::string many;
    for (int i = 0; i < 50000; ++i) many += "line " + std::to_string(i) + "\n";
    for (const std::string& input : {std::string("one line\n"), many}) {
        RunResult r = run_quarnel({"-fl"}, input, options_with(&RunOptions::stdout_path, "/dev/full"));
        EXPECT_EQ(r.err, BANNER + "write error: " + system_message(StreamFault::DISK_FULL) + "\n");
        EXPECT_EQ(r.exit_status, 1);
    }
    // Nothing selected means nothing written: no error then.
    RunResult none = run_quarnel({"-fnothing"}, many, options_with(&RunOptions::stdout_path, "/dev/full"));
    EXPECT_EQ(none.err, BANNER + summary(0, 50000));
    EXPECT_EQ(none.exit_status, 0);
}

TEST(Cli, ReadErrorIsReportedWithoutSummary) {
    RunResult r = run_quarnel({"-fa"}, "", options_with(&RunOptions::stdin_path, "/"));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, BANNER + "read error: " + system_message(StreamFault::DIRECTORY_READ) + "\n");
    EXPECT_EQ(r.exit_status, 1);
}

// Like `tail -f log | quarnel ...`: the writer sends a few lines and waits until the
// selected one has come out before it sends the rest. A filter that held its output until
// more input came would never answer (the run is killed at the timeout).
TEST(Cli, SelectedLineReachesTheReaderBeforeTheNextReadWaits) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"-fE"}, "E1\nE2\n"},
        {{"-iv", "-fx"}, "E1\nE2\n"},
        {{"-ln", "-uc"}, "    0: E1\n    1: X\n    2: E2\n"},
        {{"-reg^E.", "-sub&!"}, "E1!\nE2!\n"},
    };
    for (const auto& [args, expected] : runs) {
        RunOptions options;
        options.stdin_held_after = 5;  // "E1\nx\n"
        options.stdin_held_until = "E1";
        options.timeout_seconds = 20;
        RunResult r = run_quarnel(args, "E1\nx\nE2\n", options);
        EXPECT_FALSE(r.timed_out) << args[0];
        EXPECT_EQ(r.out, expected) << args[0];
        EXPECT_EQ(r.exit_status, 0) << args[0];
    }
}

// Like `quarnel ... | head -1`: the reader goes away and quarnel ends by SIGPIPE, quietly.
// Windows has no such signal: the run ends there just as quietly, with status 1.
TEST(Cli, ClosedPipeEndsQuietly) {
    std::string input;
    for (int i = 0; i < 200000; ++i) input += "some text of line " + std::to_string(i) + "\n";
    RunResult r = run_quarnel({"-fs"}, input, options_with(&RunOptions::stdout_limit, 1));
    if (TARGET_IS_WINDOWS) {
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_EQ(r.exit_status, 1);
    } else {
        EXPECT_EQ(r.term_signal, SIGPIPE);
    }
    EXPECT_EQ(r.err, BANNER);
    EXPECT_EQ(r.out.substr(0, 10), "some text ");
}

// ---------------------------------------------------------------------------------------
// Coming from grep: each row of the README's table is a grep command and its Quarnel form
// on the sample log; both run here on the same input, and their outputs must agree (grep's
// -n numbers, from 1, as quarnel's -ln writes them, from 0; grep's -c count as the number of
// lines quarnel writes).

enum class GrepCompare {
    SAME_LINES,  // the same lines
    NUMBERED,    // grep -n "N:line" against quarnel -ln "%5u: line" with N - 1
    COUNT,       // grep -c "N" against N lines written by quarnel (`| wc -l`)
};

struct GrepRow {
    std::vector<std::string> grep;     // grep's arguments before the file name
    std::vector<std::string> quarnel;  // quarnel's arguments
    GrepCompare compare = GrepCompare::SAME_LINES;
};

const std::vector<GrepRow> GREP_ROWS = {
    {{"ERROR"}, {"-fERROR"}},
    {{"-i", "warn"}, {"-ic", "-fwarn"}},
    {{"-v", "INFO"}, {"-iv", "-fINFO"}},
    {{"-e", "ERROR", "-e", "WARN"}, {"-fERROR", "-fWARN"}},
    {{"-F", "/api/users?id=17"}, {"-f/api/users?id=17"}},
    {{"-E", " (GET|POST) /api"}, {"-reg (GET|POST) /api"}},
    {{"-iE", " (warn|error) "}, {"-reg ([Ww][Aa][Rr][Nn]|[Ee][Rr][Rr][Oo][Rr]) "}},
    {{"-xE", ".* [0-9]+ bytes"}, {"-reg^.* [0-9]+ bytes$"}},
    {{"-oE", "[0-9]+ ms"}, {"-reg[0-9]+ ms", "-sub&"}},
    {{"-n", "ERROR"}, {"-ln", "-fERROR"}, GrepCompare::NUMBERED},
    {{"-c", "ERROR"}, {"-fERROR"}, GrepCompare::COUNT},
};

// shell_word writes an argument as a shell reads it back: bare when it holds only
// characters no shell treats specially, else in single quotes.
std::string shell_word(const std::string& word) {
    bool bare = !word.empty();
    for (char c : word) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::string("-_/.=:,+@%").find(c) != std::string::npos;
        bare = bare && safe;
    }
    return bare ? word : "'" + word + "'";
}

// readme_row is the row's text in the README's table: two code spans, with the table's
// column separator escaped inside them.
std::string readme_row(const GrepRow& row) {
    std::string grep = "grep", quarnel = "quarnel";
    for (const std::string& arg : row.grep) grep += " " + shell_word(arg);
    for (const std::string& arg : row.quarnel) quarnel += " " + shell_word(arg);
    grep += " server.log";
    quarnel += " < server.log";
    if (row.compare == GrepCompare::COUNT) quarnel += " | wc -l";
    std::string text = "| `" + grep + "` | `" + quarnel + "` |";
    std::string escaped;
    for (size_t i = 0; i < text.size(); ++i) {
        bool inside_code = std::count(text.begin(), text.begin() + static_cast<long>(i), '`') % 2 == 1;
        if (text[i] == '|' && inside_code) escaped += '\\';
        escaped += text[i];
    }
    return escaped;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string grep_program() {
    for (const char* path : {"/usr/bin/grep", "/bin/grep"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return "";
}

// as_quarnel_numbers rewrites grep -n's "N:line" lines as quarnel -ln writes them.
std::string as_quarnel_numbers(const std::string& grep_out) {
    std::istringstream lines(grep_out);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(':');
        char number[32];
        std::snprintf(number, sizeof number, "%5lu: ", std::stoul(line.substr(0, colon)) - 1);
        out += number + line.substr(colon + 1) + "\n";
    }
    return out;
}

TEST(ComingFromGrep, EveryRowOfTheReadmeTableGivesGrepsResult) {
    const std::string grep = grep_program();
    if (grep.empty()) GTEST_SKIP() << "no grep";
    const std::string log = std::string(QUARNEL_SOURCE_DIR) + "/samples/server.log";
    const std::string input = file_text(log);
    const std::string readme = file_text(std::string(QUARNEL_SOURCE_DIR) + "/README.md");
    ASSERT_FALSE(input.empty());
    for (const GrepRow& row : GREP_ROWS) {
        const std::string text = readme_row(row);
        SCOPED_TRACE(text);
        EXPECT_NE(readme.find(text + " "), std::string::npos) << "README.md lacks the row";

        std::vector<std::string> grep_args = row.grep;
        grep_args.push_back(log);
        RunResult expected = run_binary(grep, grep_args);
        ASSERT_EQ(expected.exit_status, 0) << expected.err;
        RunResult r = run_quarnel(row.quarnel, input);
        EXPECT_EQ(r.exit_status, 0);
        switch (row.compare) {
        case GrepCompare::SAME_LINES: EXPECT_EQ(r.out, expected.out); break;
        case GrepCompare::NUMBERED: EXPECT_EQ(r.out, as_quarnel_numbers(expected.out)); break;
        case GrepCompare::COUNT:
            EXPECT_EQ(std::to_string(std::count(r.out.begin(), r.out.end(), '\n')) + "\n", expected.out);
            break;
        }
        // Every row selects something and leaves something out, so it tells the forms apart.
        EXPECT_FALSE(r.out.empty());
        EXPECT_NE(r.out, input);
    }
}

}  // namespace
