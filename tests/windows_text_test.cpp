// windows_text_test.cpp: the Windows build's text streams, end to end under Wine.
//
// Built only when the end-to-end tests run a Windows program (tests/CMakeLists.txt). The
// shared tables already see every line feed of stdout and stderr checked for its CR; the
// rows here give the raw bytes on both sides: input with CR LF, lone CRs and 0x1A, and
// the exact output with its CR LF pairs (summary time masked). Below the table: CR LF
// pairs split by read boundaries, the same input as a file and as a pipe, and the
// stream errors.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/end_to_end.h"

namespace {

// RAW_BANNER is the banner as written.
const std::string RAW_BANNER = text_mode_written(BANNER);

std::string raw_summary(uint64_t written, uint64_t read) { return text_mode_written(summary(written, read)); }

struct RawCase {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string out;  // raw bytes
    std::string err;  // raw bytes after the banner, time masked
    int status;
};

const std::vector<RawCase> RAW_CASES = {
    // Input: CR LF, lone CR, 0x1A.
    {"CR LF lines", {"-f"}, "a\r\nb\r\n", "a\r\nb\r\n", raw_summary(2, 2), 0},
    {"a line feed alone ends a line too", {"-lc"}, "a\nb\r\nc", "a\r\nb\r\nc\r\n", raw_summary(3, 3), 0},
    {"lone CR mid-line", {"-ln"}, "a\rb\r\n", "    0: a\rb\r\n", raw_summary(1, 1), 0},
    {"lone CR at the end of the input", {"-f"}, "a\r\nb\r", "a\r\nb\r\r\n", raw_summary(2, 2), 0},
    {"CR CR LF", {"-uc"}, "a\r\r\nb\r\n", "A\r\r\nB\r\n", raw_summary(2, 2), 0},
    {"0x1A mid-line", {"-f"}, "ab\x1A" "cd\r\nef\r\n", "ab\r\n", raw_summary(1, 1), 0},
    {"0x1A at the start", {"-f"}, "\x1A" "ab\r\ncd\r\n", "", raw_summary(0, 0), 0},
    {"0x1A right after a line feed", {"-ln"}, "a\r\n\x1A" "b\r\nc\r\n", "    0: a\r\n", raw_summary(1, 1), 0},
    {"0x1A right after a CR", {"-f"}, "a\r\x1A\nb\r\n", "a\r\r\n", raw_summary(1, 1), 0},
    {"lines after 0x1A are ignored", {"-fb"}, "a\r\n\x1A\r\nb\r\nb\r\n", "", raw_summary(0, 1), 0},

    // CR in find strings, patterns and templates.
    {"find string ending in CR", {"-fb\r"}, "ab\r\r\nab\r\nb\rc\r\n", "ab\r\r\nb\rc\r\n", raw_summary(2, 3), 0},
    {"lines without CR", {"-iv", "-f\r"}, "ab\r\r\nab\r\nb\rc\r\n", "ab\r\n", raw_summary(1, 3), 0},
    {"pattern ending in CR", {"-reg\r$"}, "x\r\r\ny\r\nz\r", "x\r\r\nz\r\r\n", raw_summary(2, 3), 0},
    {"CR in pattern and template", {"-reg(a)\r(b)", "-sub\\2\r\\1"}, "a\rb\r\nab\r\n", "b\ra\r\n", raw_summary(1, 2), 0},
    {"line feed in a template", {"-rega", "-sub1\n2"}, "a\r\n", "1\r\n2\r\n", raw_summary(1, 1), 0},

    // Line numbers and everything on stderr.
    {"-ln on CR LF lines", {"-ln"}, "a\r\nb\r\n", "    0: a\r\n    1: b\r\n", raw_summary(2, 2), 0},
    {"-v", {"-v", "-iv", "-fb"}, "b\r\nc\r\n", "c\r\n", "Match NOT \"b\"\r\n" + raw_summary(1, 2), 0},
    {"-v with a CR in the find string", {"-v", "-fb\r"}, "", "", "Match \"b\r\"\r\n" + raw_summary(0, 0), 0},
    {"-v with a pattern", {"-v", "-reg.", "-sub<&>"}, "x\r\n", "<x>\r\n",
     "Match regular expression \".\" , replace with \"<&>\" \r\n" + raw_summary(1, 1), 0},
    {"usage text", {"-?"}, "a\r\n", "", text_mode_written(usage_text(PROGRAM_PATH_SHOWN)), 1},
    {"warnings", {"-fa", "-regb", "-v"}, "b\r\n", "b\r\n",
     "WARNING: -reg specified: ignoring -f...\r\nMatch regular expression \"b\" \r\n" + raw_summary(1, 1), 0},
    {"template warning", {"-subx"}, "", "", "WARNING: -reg not specified: ignoring -sub...\r\n" + raw_summary(0, 0), 0},
    {"engine message: no line end", {"-reg("}, "a\r\n", "", "regexp(3): unmatched ()", 1},
    {"empty input", {"-f"}, "", "", raw_summary(0, 0), 0},
};

TEST(WindowsText, RawTable) {
    for (const RawCase& c : RAW_CASES) {
        RunResult r = run_quarnel_raw(c.args, c.input);
        EXPECT_EQ(r.out, c.out) << "stdout of case \"" << c.name << "\"";
        EXPECT_EQ(mask_time_text(r.err), RAW_BANNER + c.err) << "stderr of case \"" << c.name << "\"";
        EXPECT_EQ(r.exit_status, c.status) << "exit status of case \"" << c.name << "\"";
    }
}

// TempFile is a file under the test temporary directory holding given bytes, removed at the
// end of its scope.
class TempFile {
public:
    TempFile(const std::string& name, const std::string& bytes)
        : path_(testing::TempDir() + "quarnel_windows_" + std::to_string(getpid()) + "_" + name) {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        written_ = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (f != nullptr && std::fclose(f) != 0) written_ = false;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }
    bool written() const { return written_; }

private:
    std::string path_;
    bool written_ = false;
};

// expect_file_and_pipe runs args on input given once as a file and once through a pipe and
// expects the raw stdout out and the summary of written/read lines from both.
void expect_file_and_pipe(const std::vector<std::string>& args, const std::string& input, const std::string& out,
                          uint64_t written, uint64_t read) {
    TempFile file("input", input);
    ASSERT_TRUE(file.written());
    for (bool from_file : {true, false}) {
        SCOPED_TRACE(from_file ? "input from a file" : "input from a pipe");
        RunResult r = from_file ? run_quarnel_raw(args, "", options_with(&RunOptions::stdin_path, file.path()))
                                : run_quarnel_raw(args, input);
        EXPECT_TRUE(r.out == out) << "stdout differs; " << r.out.size() << " bytes, expected " << out.size();
        EXPECT_EQ(mask_time_text(r.err), RAW_BANNER + raw_summary(written, read));
        EXPECT_EQ(r.exit_status, 0);
    }
}

TEST(WindowsText, SameInputAsFileAndAsPipe) {
    const std::string input = "one\r\ntwo\rthree\r\nfour\r\r\nfive\nsix\x1A" "seven\r\n";
    expect_file_and_pipe({"-ln"}, input,
                         "    0: one\r\n    1: two\rthree\r\n    2: four\r\r\n    3: five\r\n    4: six\r\n", 5, 5);
}

// After one byte, every CR stands at an odd offset, so every read of an even number of
// bytes (the loop reads 64 KiB) ends between a CR and its line feed; without that byte the
// pairs line up the other way. A pair split wrongly leaves a CR in an empty line.
TEST(WindowsText, CrLfPairsSplitByReadBoundaries) {
    const size_t pairs = 300000;
    std::string crlf_pairs;
    for (size_t i = 0; i < pairs; ++i) crlf_pairs += "\r\n";
    expect_file_and_pipe({"-f"}, "x" + crlf_pairs, "x" + crlf_pairs, pairs, pairs);
    expect_file_and_pipe({"-f"}, crlf_pairs + "y", crlf_pairs + "y\r\n", pairs + 1, pairs + 1);
}

TEST(WindowsText, StreamErrorsEndInCrLf) {
    RunResult full = run_quarnel_raw({"-f"}, "a\r\n", options_with(&RunOptions::stdout_path, "/dev/full"));
    EXPECT_EQ(full.err, RAW_BANNER + "write error: " + system_message(StreamFault::DISK_FULL) + "\r\n");
    EXPECT_EQ(full.exit_status, 1);

    RunResult directory = run_quarnel_raw({"-f"}, "", options_with(&RunOptions::stdin_path, "/"));
    EXPECT_EQ(directory.err, RAW_BANNER + "read error: " + system_message(StreamFault::DIRECTORY_READ) + "\r\n");
    EXPECT_EQ(directory.exit_status, 1);
}

}  // namespace
