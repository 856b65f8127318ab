// line_loop_test.cpp: the block-wide filter_lines against the plain filter_lines_by_line.
//
// Both loops run in-process on the same settings and input, and their outputs and counts
// must agree byte for byte. The inputs are built to break a block-wide loop: many lines
// and long ones that straddle reads and buffers of every size, hits at the first and last
// byte of a read and of the input, NUL bytes before and after a hit, CR bytes, empty lines,
// no final line feed, find strings that overlap each other and themselves, up to ten of
// them, -ic with bytes 0x80-0xFF, random patterns (the engine's selection matcher against
// the backtracker) with and without templates, and every option combination; each case runs with the vector kernels and with the plain ones.
// QUARNEL_LOOP_DIFF_SEED=n QUARNEL_LOOP_DIFF_COUNT=n run a longer campaign with another
// seed. Then the stream behaviours that the end-to-end tests cannot see: flushing before
// each read, and stopping at an error.
#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "filter/filter_lines.h"
#include "filter/line_writer.h"
#include "filter/run.h"
#include "regexp/regexp.h"
#include "scan/scan.h"
#include "support/memory_streams.h"
#include "support/random_regex.h"
#include "support/reference_loop.h"

namespace {

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

std::string random_text(std::mt19937& rng, size_t length, const std::string& alphabet) {
    std::string text(length, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    return text;
}

// PATTERNS and TEMPLATES are the -reg and -sub values the differential rounds draw from:
// anchors, empty matches, repetitions, groups, CR, bytes above 0x7F.
const std::vector<std::string> PATTERNS = {"a", "^a", "b$", "(a|B)+", "[^a]*x", "", "a.*b", "\r$", "(x)(\xC1*)$"};
const std::vector<std::string> TEMPLATES = {"\\1-&", "X", "", "\\2\\1"};

// LoopCase is one differential round: settings, input, how it is read and written.
struct LoopCase {
    FilterSettings settings;
    std::string input;
    std::vector<size_t> read_sizes;  // empty: reads as large as the loop asks
    size_t output_capacity = OUTPUT_BUFFER_SIZE;
};

// random_find_strings returns find strings that overlap each other and themselves: periodic
// texts, prefixes and suffixes of one another, now and then an empty or a long one.
std::vector<std::string> random_find_strings(std::mt19937& rng, const std::string& alphabet) {
    std::vector<std::string> finds(rng() % 4 == 0 ? 10 : 1 + rng() % 3);
    for (std::string& find : finds) {
        switch (rng() % 6) {
        case 0:  // periodic: overlaps itself
            for (std::string period = random_text(rng, 1 + rng() % 2, alphabet); find.size() < 2 + rng() % 4;) find += period;
            break;
        case 1:  // a prefix or suffix of an earlier one: overlaps it
            find = finds[0].substr(rng() % (finds[0].size() + 1));
            break;
        case 2:  // long: the plain loop's linear-time search
            find = random_text(rng, 32 + rng() % 8, "ab");
            break;
        default:
            find = random_text(rng, rng() % 4, alphabet);
        }
        if (rng() % 20 == 0) find.clear();
    }
    return finds;
}

LoopCase random_case(std::mt19937& rng) {
    static const std::string alphabets[] = {std::string("aAbB\n\n\n\xC1\xE1\r", 11) + std::string(1, '\0'), "ab\n",
                                            "xXaB\r\n\x1A\xC1 "};
    const std::string& alphabet = alphabets[rng() % 3];
    LoopCase c;
    FilterSettings& s = c.settings;
    s.invert = rng() % 3 == 0;
    s.ignore_case = rng() % 2 == 0;
    s.line_numbers = rng() % 2 == 0;
    s.to_lower = rng() % 4 == 0;
    s.to_upper = rng() % 4 == 0;
    std::string pattern;  // with a pattern, lines drawn from its own bytes
    if (rng() % 4 == 0) {
        TestRandom random(rng());
        PatternOptions options;
        options.valid_only = true;
        pattern = rng() % 2 ? PATTERNS[rng() % PATTERNS.size()] : random_pattern(random, options);
        s.pattern.reset(regcompile(pattern.c_str()));
        if (rng() % 2) s.sub_template = TEMPLATES[rng() % TEMPLATES.size()];
    } else if (rng() % 8 != 0) {
        std::vector<std::string> finds = random_find_strings(rng, "aAbB\xC1\xE1x");
        s.find_count = static_cast<int32_t>(finds.size());
        for (size_t i = 0; i < finds.size(); ++i) s.find_strings[i] = s.ignore_case ? [&] {
            std::string lowered = finds[i];
            lower_ascii_in_place(lowered);
            return lowered;
        }() : finds[i];
    }

    // Mostly short inputs of short lines, with find strings planted; now and then enough
    // lines to fill several blocks, or one line longer than a block.
    size_t lines = rng() % 5 == 0 ? 2000 + rng() % 6000 : rng() % 30;
    TestRandom line_random(rng());
    for (size_t i = 0; i < lines; ++i) {
        std::string line = s.pattern ? random_line(line_random, pattern, 200) : random_text(rng, rng() % 12, alphabet);
        if (s.find_count > 0 && rng() % 3 == 0) {
            std::string find = s.find_strings[rng() % s.find_count];
            if (s.ignore_case && rng() % 2)
                for (char& ch : find)
                    if (ch >= 'a' && ch <= 'z') ch = char(ch - 32);
            line.insert(rng() % (line.size() + 1), find);
        }
        if (rng() % 10 == 0) line.insert(rng() % (line.size() + 1), 1, '\0');
        c.input += line + "\n";
    }
    if (rng() % 25 == 0) c.input += std::string(READ_BLOCK_SIZE * (1 + rng() % 2) + rng() % 1000, 'b') + "a\n";
    if (rng() % 3 == 0 && !c.input.empty()) c.input.pop_back();  // no final line feed
    if (rng() % 3 == 0)
        for (int i = 0; i < 5; ++i) c.read_sizes.push_back(1 + rng() % (rng() % 2 ? 17 : READ_BLOCK_SIZE + 100));
    c.output_capacity = rng() % 3 == 0 ? 1 + rng() % 40 : OUTPUT_BUFFER_SIZE;
    return c;
}

struct LoopRun {
    std::string out;
    LoopResult result;
};

using LoopFunction = LoopResult (*)(const FilterSettings&, InputSource&, OutputBuffer&);

LoopRun run_loop(LoopFunction loop, const LoopCase& c) {
    MemoryInput in(c.input, c.read_sizes);
    MemoryOutput sink;
    OutputBuffer out(sink, c.output_capacity);
    LoopRun run{{}, loop(c.settings, in, out)};
    out.flush();
    run.out = sink.text;
    return run;
}

// expect_loops_agree runs both loops on c and compares everything they produce.
void expect_loops_agree(const LoopCase& c, uint64_t round) {
    LoopRun plain = run_loop(filter_lines_by_line, c);
    LoopRun block = run_loop(filter_lines, c);
    ASSERT_EQ(block.out, plain.out) << "round " << round;
    ASSERT_EQ(block.result.lines_written, plain.result.lines_written) << "round " << round;
    ASSERT_EQ(block.result.lines_read, plain.result.lines_read) << "round " << round;
    ASSERT_EQ(block.result.end, plain.result.end) << "round " << round;
}

TEST(LineLoop, BlockLoopAgreesWithPlainLoopOnRandomInputs) {
    uint64_t seed = env_number("QUARNEL_LOOP_DIFF_SEED", 20261207);
    uint64_t count = env_number("QUARNEL_LOOP_DIFF_COUNT", 1500);
    for (KernelLevel level : {KernelLevel::AVX2, KernelLevel::PLAIN}) {
        KernelLevel before = scan_select_kernels(level);
        std::mt19937 rng(static_cast<uint32_t>(seed));
        for (uint64_t round = 0; round < count; ++round) {
            LoopCase c = random_case(rng);
            ASSERT_NO_FATAL_FAILURE(expect_loops_agree(c, round)) << (level == KernelLevel::PLAIN ? "plain" : "vector");
        }
        scan_select_kernels(before);
    }
}

// Hits at the first and the last byte of a read and of the input: a line of one find
// string ends every read of a fixed size, for every size around the line's length.
TEST(LineLoop, HitsAtReadBoundariesAgree) {
    for (size_t read_size = 1; read_size < 24; ++read_size) {
        for (bool invert : {false, true}) {
            LoopCase c;
            c.settings.find_count = 2;
            c.settings.find_strings[0] = "needle";
            c.settings.find_strings[1] = "le\xC1";
            c.settings.invert = invert;
            c.settings.line_numbers = read_size % 2 == 0;
            for (int i = 0; i < 40; ++i) c.input += std::string(i % 7, 'x') + (i % 3 ? "needle" : "le\xC1") + "\n" + std::string(i % 5, 'y') + "\n";
            c.input += "needle";
            c.read_sizes = {read_size};
            ASSERT_NO_FATAL_FAILURE(expect_loops_agree(c, read_size));
        }
    }
}

// InputWatchingOutput checks, at every read after the first, that the lines of the data
// given out so far are already written.
class InputWatchingOutput : public InputSource {
public:
    InputWatchingOutput(std::vector<std::string> chunks, const MemoryOutput& sink) : chunks_(std::move(chunks)), sink_(sink) {}
    long read(char* buffer, size_t size) override {
        if (next_ > 0) seen_at_read.push_back(sink_.text);
        if (next_ == chunks_.size()) return 0;
        const std::string& chunk = chunks_[next_++];
        EXPECT_LE(chunk.size(), size);
        chunk.copy(buffer, chunk.size());
        return static_cast<long>(chunk.size());
    }
    std::vector<std::string> seen_at_read;

private:
    std::vector<std::string> chunks_;
    size_t next_ = 0;
    const MemoryOutput& sink_;
};

TEST(LineLoop, FlushesBeforeEveryRead) {
    FilterSettings s;
    s.find_count = 1;
    s.find_strings[0] = "E";
    MemoryOutput sink;
    InputWatchingOutput in({"E1\nx\nE2", "\nE3\n", "y\n"}, sink);
    OutputBuffer out(sink);
    filter_lines(s, in, out);
    ASSERT_EQ(in.seen_at_read.size(), 3u);
    EXPECT_EQ(in.seen_at_read[0], "E1\n");  // E2 is not complete yet
    EXPECT_EQ(in.seen_at_read[1], "E1\nE2\nE3\n");
    EXPECT_EQ(in.seen_at_read[2], "E1\nE2\nE3\n");
}

TEST(LineLoop, StopsReadingAtTheFirstWriteError) {
    std::string input;
    for (int i = 0; i < 100000; ++i) input += "line\n";
    FilterSettings s;
    MemoryInput in(input, {1000});
    MemoryOutput sink(2500);
    OutputBuffer out(sink, 100);
    LoopResult r = filter_lines(s, in, out);
    EXPECT_EQ(r.end, LoopEnd::WRITE_ERROR);
    EXPECT_EQ(r.error_number, ENOSPC);
    EXPECT_LE(in.reads(), 4u);
    EXPECT_FALSE(out.flush());
}

TEST(LineLoop, ReadErrorKeepsTheLinesBeforeIt) {
    FilterSettings s;
    MemoryInput in("a\nb\nc", {2}, 3);
    MemoryOutput sink;
    OutputBuffer out(sink);
    LoopResult r = filter_lines(s, in, out);
    EXPECT_EQ(r.end, LoopEnd::READ_ERROR);
    EXPECT_EQ(r.error_number, EIO);
    EXPECT_EQ(r.lines_read, 1u);
    EXPECT_EQ(sink.text, "a\n");
}

TEST(LineLoop, LineNumbersOfEveryWidth) {
    const uint64_t numbers[] = {0, 7, 99999, 100000, 4294967295u, 4294967296u, UINT64_MAX};
    for (uint64_t n : numbers) {
        char text[LINE_NUMBER_TEXT_SIZE];
        char expected[64];
        std::snprintf(expected, sizeof expected, "%5" PRIu64 ": ", n);
        EXPECT_EQ(std::string(text, format_line_number(n, text)), expected);
    }
}

TEST(RunFilter, RunsRepeatedlyInOneProcess) {
    std::string first;
    for (int round = 0; round < 3; ++round) {
        char arg0[] = "quarnel", arg1[] = "-ic", arg2[] = "-fB", arg3[] = "-ln";
        char* argv[] = {arg0, arg1, arg2, arg3, nullptr};
        MemoryInput in("abc\nxyz\nBBB\n");
        MemoryOutput out;
        EXPECT_EQ(run_filter(4, argv, in, out), 0);
        EXPECT_EQ(out.text, "    0: abc\n    2: BBB\n");
    }
}

// A file never makes the loop wait, so nothing is flushed before a read; the lines
// selected before a read error must still come out.
TEST(RunFilter, ReadErrorOnAnInputThatNeverWaitsKeepsTheLinesBeforeIt) {
    struct ReadyInput : MemoryInput {
        using MemoryInput::MemoryInput;
        bool ready() override { return true; }
    };
    char arg0[] = "quarnel", arg1[] = "-fb";
    char* argv[] = {arg0, arg1, nullptr};
    ReadyInput in("a\nb\nc\nbb\n", {4}, 6);
    MemoryOutput out;
    EXPECT_EQ(run_filter(2, argv, in, out), 1);
    EXPECT_EQ(out.text, "b\n");
}

TEST(RunFilter, WriteFailureAtTheFinalFlushGivesStatusOne) {
    char arg0[] = "quarnel", arg1[] = "-f";
    char* argv[] = {arg0, arg1, nullptr};
    MemoryInput in("abc\n");
    MemoryOutput out(2);
    EXPECT_EQ(run_filter(2, argv, in, out), 1);
}

}  // namespace
