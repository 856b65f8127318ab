// regex_options_test.cpp: -reg and -sub end to end, and the engine-error exit in-process.
//
// The table runs the quarnel binary like tests/cli_test.cpp does, through
// support/end_to_end.h. The in-process tests drive run_filter and the hook directly: an
// engine error must end the run with status 1, keep the lines written before it, write no
// summary, and leave no hook installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "filter/regex_options.h"
#include "filter/run.h"
#include "regexp/regexp.h"
#include "support/end_to_end.h"
#include "support/memory_streams.h"

namespace {

const std::string WARN_F = "WARNING: -reg specified: ignoring -f...\n";
const std::string WARN_SUB = "WARNING: -reg not specified: ignoring -sub...\n";

const std::string KV = "key=42;\nnothing here\nab=\n";

const std::vector<EndToEndCase> REGEX_CASES = {
    // Selection.
    {"pattern selects", {"-reg[0-9]"}, KV, "key=42;\n", summary(1, 3), 0},
    {"pattern inverted", {"-iv", "-reg[0-9]"}, KV, "nothing here\nab=\n", summary(2, 3), 0},
    {"-REG and -Sub", {"-REGe", "-Sub<&>"}, KV, "<e>\n<e>\n", summary(2, 3), 0},
    {"-re is no -reg", {"-re[0-9]"}, KV, KV, summary(3, 3), 0},
    {"empty pattern matches every line", {"-reg"}, KV, KV, summary(3, 3), 0},
    {"empty template empties matching lines", {"-reg", "-sub"}, "a\n\nb\n", "\n\n\n", summary(3, 3), 0},
    {"letter case matters in a pattern, -ic or not", {"-ic", "-regA"}, "A\na\n", "A\n", summary(1, 2), 0},
    {"pattern text ends at a NUL in the line", {"-regcd"}, std::string("ab\0cd\ncd\n", 9), "cd\n", summary(1, 2), 0},
    {"anchors see the line, not the buffer", {"-reg^b.*c$"}, "abc\nbc\nbcd\nb c\n", "bc\nb c\n", summary(2, 4), 0},

    // Substitution.
    {"worked example", {"-reg([a-z]+)=([0-9]*)", "-sub\\2:\\1 (&)"}, KV, "42:key (key=42)\n:ab (ab=)\n", summary(2, 3), 0},
    {"expansion replaces the whole line", {"-regb", "-subX"}, "abc\n", "X\n", summary(1, 1), 0},
    {"no template: lines unchanged", {"-regb"}, "abc\nxyz\n", "abc\n", summary(1, 2), 0},
    {"inverted: no substitution", {"-regb", "-subX", "-iv"}, "abc\nxyz\n", "xyz\n", summary(1, 2), 0},
    {"conversion and number after substitution", {"-regb+", "-subx&y", "-uc", "-ln"}, "q\nabbc\n", "    1: XBBY\n",
     summary(1, 2), 0},
    {"last -sub wins", {"-regb", "-sub1", "-sub2"}, "b\n", "2\n", summary(1, 1), 0},
    {"last -reg wins", {"-regb", "-regc"}, "b\nc\n", "c\n", summary(1, 2), 0},
    {"template bytes above 0x7F", {"-rega", "-sub\xE4&\\\\"}, "a\n", "\xE4" "a\\\n", summary(1, 1), 0},

    // Warnings and description.
    {"-reg with -f: warning, pattern alone selects", {"-fnothing", "-rega"}, "a\nb\n", "a\n", WARN_F + summary(1, 2), 0},
    {"-reg with -f: description without find strings", {"-v", "-ic", "-fX", "-rega"}, "", "",
     WARN_F + "Match regular expression \"a\" \n" + summary(0, 0), 0},
    {"-sub without -reg", {"-v", "-subX", "-fa"}, "a\nb\n", "a\n", WARN_SUB + "Match \"a\"\n" + summary(1, 2), 0},
    {"description with template and NOT", {"-v", "-iv", "-rega", "-subX"}, "", "",
     "Match NOT regular expression \"a\" , replace with \"X\" \n" + summary(0, 0), 0},
    {"description shows the last pattern", {"-rega", "-v", "-reg(b)"}, "", "",
     "Match regular expression \"(b)\" \n" + summary(0, 0), 0},
    {"description of the empty pattern and template", {"-v", "-reg", "-sub"}, "", "",
     "Match regular expression \"\" , replace with \"\" \n" + summary(0, 0), 0},

    // Compile errors: message without line end, status 1, no summary.
    {"invalid pattern", {"-reg("}, KV, "", "regexp(3): unmatched ()", 1},
    {"invalid first of two patterns", {"-reg(", "-rega"}, KV, "", "regexp(3): unmatched ()", 1},
    {"invalid second of two patterns", {"-rega", "-reg*"}, KV, "", "regexp(3): ?+* follows nothing", 1},
    {"invalid pattern before -?", {"-reg(", "-?"}, KV, "", "regexp(3): unmatched ()", 1},
    {"invalid pattern before a -f warning", {"-fa", "-reg[b"}, KV, "", "regexp(3): unmatched []", 1},
};

TEST(RegexOptions, Table) { expect_end_to_end_cases(REGEX_CASES); }

// Standard input is a directory, so a run that read it would report a read error.
TEST(RegexOptions, HelpOrCompileErrorNeverReadsInput) {
    const RunOptions unreadable_stdin = options_with(&RunOptions::stdin_path, "/");
    RunResult help = run_quarnel({"-ic", "-?", "-reg("}, "", unreadable_stdin);
    EXPECT_EQ(help.err.substr(0, BANNER.size() + 8), BANNER + "\nUsage:\n");
    EXPECT_EQ(help.err.find("regexp(3)"), std::string::npos);
    EXPECT_EQ(help.exit_status, 1);

    RunResult error = run_quarnel({"-reg(", "-?"}, "", unreadable_stdin);
    EXPECT_EQ(error.err, BANNER + "regexp(3): unmatched ()");
    EXPECT_EQ(error.exit_status, 1);
}

TEST(RegexOptions, ExpansionsOfAnyLengthAreHeldWhole) {
    // 10,239 bytes fit the starting area with their NUL; 10,240 and more need it to grow.
    for (size_t length : {size_t{10239}, size_t{10240}, size_t{30001}, size_t{3000000}}) {
        SCOPED_TRACE(length);
        std::string run(length / 3, 'a');
        std::string tail(length - 3 * run.size(), '-');
        RunResult r = run_quarnel({"-rega+", "-sub&&&" + tail}, "x\nb" + run + "c\n");
        EXPECT_EQ(r.out.size(), length + 1);
        EXPECT_EQ(r.out, run + run + run + tail + "\n");
        EXPECT_EQ(r.err, BANNER + summary(1, 2));
    }
}

TEST(RegexOptions, LongLineWithPatternAndTemplate) {
    std::string line(10000000, 'a');
    line.back() = 'x';
    RunResult r = run_quarnel({"-reg^(a*)x$", "-sub\\1"}, "ax\n" + line + "\n");
    EXPECT_EQ(r.out, "a\n" + line.substr(0, line.size() - 1) + "\n");
    EXPECT_EQ(r.err, BANNER + summary(2, 2));
}

// ThrowingInput gives its text on the first read and, on the second, fails the way an
// engine error does inside the loop: through the installed hook.
class ThrowingInput : public InputSource {
public:
    long read(char* buffer, size_t size) override {
        if (reads_++ == 0) {
            std::string text = "abc\nxyz\nab";
            EXPECT_GE(size, text.size());
            text.copy(buffer, text.size());
            return static_cast<long>(text.size());
        }
        driver_regex_error("memory corruption");
    }

private:
    int reads_ = 0;
};

// IN_PROCESS_BANNER is the banner of run_filter called with "quarnel" as argv[0].
const std::string IN_PROCESS_BANNER = banner_for("quarnel");

int run_in_process(std::vector<std::string> args, InputSource& in, OutputSink& out) {
    args.insert(args.begin(), "quarnel");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run_filter(static_cast<int>(args.size()), argv.data(), in, out);
}

TEST(RegexOptionsInProcess, EngineErrorEndsRunKeepingOutput) {
    ThrowingInput in;
    MemoryOutput out;
    testing::internal::CaptureStderr();
    int status = run_in_process({"-rega", "-sub<&>"}, in, out);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out.text, "<a>\n");
    EXPECT_EQ(err, IN_PROCESS_BANNER + "regexp(3): memory corruption");
}

TEST(RegexOptionsInProcess, RunsLeaveNoHookBehind) {
    for (const char* pattern : {"-rega", "-reg("}) {
        MemoryInput in("a\n");
        MemoryOutput out;
        testing::internal::CaptureStderr();
        run_in_process({pattern}, in, out);
        testing::internal::GetCapturedStderr();

        // With a hook still installed this would print and throw out of the test.
        testing::internal::CaptureStderr();
        EXPECT_EQ(regcompile("("), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

TEST(RegexOptionsInProcess, CompileErrorRunsRepeat) {
    for (int round = 0; round < 3; ++round) {
        MemoryInput in("a\n");
        MemoryOutput out;
        testing::internal::CaptureStderr();
        EXPECT_EQ(run_in_process({"-rega", "-reg(x|"}, in, out), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), IN_PROCESS_BANNER + "regexp(3): unmatched ()");
        EXPECT_EQ(out.text, "");
    }
}

// A line changed between search and substitution: regsub_bounded reports it and the hook
// ends the run instead of the expander using a half-written area.
TEST(RegexOptionsInProcess, DamagedMatchStringEndsTheRun) {
    FilterSettings settings;
    settings.regex_source = "(b+)";
    compile_pattern(settings);
    ASSERT_NE(settings.pattern, nullptr);
    char line[] = "abbbc";
    ASSERT_EQ(regsearch(settings.pattern.get(), line), 1);
    line[2] = '\0';
    TemplateExpander expander;
    size_t length = 0;
    testing::internal::CaptureStderr();
    EXPECT_THROW(expander.expand(settings.pattern.get(), "[\\1]", length), RegexRunAborted);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "regexp(3): damaged match string");
    release_regex_state(settings);
}

}  // namespace
