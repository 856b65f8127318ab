// line_loop_test.cpp: filter_lines in-process, against a plain reference.
//
// The reference below splits the whole input into lines first and handles each line the
// obvious way, with fresh strings. The real loop works in place on blocks that end
// anywhere, so random inputs are fed to it in random read sizes through a small output
// buffer, and the two outputs and counts must agree. Then the stream behaviours that the
// end-to-end tests cannot see: flushing before each read, and stopping at an error.
#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "filter/line_loop.h"
#include "filter/run.h"
#include "support/memory_streams.h"

namespace {

struct ReferenceResult {
    std::string out;
    uint64_t lines_written = 0;
    uint64_t lines_read = 0;
};

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

ReferenceResult reference_filter(const FilterSettings& s, const std::string& input) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < input.size()) {
        size_t lf = input.find('\n', at);
        if (lf == std::string::npos) lf = input.size();
        lines.push_back(input.substr(at, lf - at));
        at = lf + 1;
    }
    ReferenceResult r;
    for (std::string line : lines) {
        line = line.substr(0, line.find('\0'));
        bool selected = true;
        if (s.find_count > 0) {
            bool found = false;
            for (int i = 0; i < s.find_count && !found; ++i) {
                std::string needle = s.ignore_case ? lower(s.find_strings[i]) : s.find_strings[i];
                found = (s.ignore_case ? lower(line) : line).find(needle) != std::string::npos;
            }
            selected = found != s.invert;
        }
        if (selected) {
            ++r.lines_written;
            if (s.line_numbers) {
                char number[32];
                std::snprintf(number, sizeof number, "%5" PRIu64 ": ", r.lines_read);
                r.out += number;
            }
            r.out += s.to_lower ? lower(line) : s.to_upper ? upper(line) : line;
            r.out += '\n';
        }
        ++r.lines_read;
    }
    return r;
}

std::string random_text(std::mt19937& rng, size_t length, const std::string& alphabet) {
    std::string text(length, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    return text;
}

TEST(LineLoop, AgreesWithReferenceOnRandomInputs) {
    const std::string alphabet = std::string("aAbB\n\n\n\xC1\xE1\r", 11) + std::string(1, '\0');
    std::mt19937 rng(20240611);
    for (int round = 0; round < 3000; ++round) {
        FilterSettings s;
        s.invert = rng() % 3 == 0;
        s.ignore_case = rng() % 2 == 0;
        s.line_numbers = rng() % 2 == 0;
        s.to_lower = rng() % 4 == 0;
        s.to_upper = rng() % 4 == 0;
        s.find_count = static_cast<int32_t>(rng() % 4);
        for (int i = 0; i < s.find_count; ++i) s.find_strings[i] = random_text(rng, rng() % 3, "aAbB\xC1");
        if (s.ignore_case)
            for (int i = 0; i < s.find_count; ++i) lower_ascii_in_place(s.find_strings[i]);

        // Mostly short inputs; now and then one long line that straddles many blocks.
        std::string input = random_text(rng, rng() % 200, alphabet);
        if (round % 50 == 0) input += std::string(READ_BLOCK_SIZE * 2 + rng() % 1000, 'b') + "\nA";
        std::vector<size_t> read_sizes;
        if (rng() % 4 != 0)
            for (int i = 0; i < 5; ++i) read_sizes.push_back(1 + rng() % 17);

        ReferenceResult expected = reference_filter(s, input);
        MemoryInput in(input, read_sizes);
        MemoryOutput sink;
        OutputBuffer out(sink, 1 + rng() % 40);
        LoopResult got = filter_lines(s, in, out);
        ASSERT_TRUE(out.flush());
        ASSERT_EQ(got.end, LoopEnd::END_OF_INPUT);
        ASSERT_EQ(sink.text, expected.out) << "round " << round;
        ASSERT_EQ(got.lines_written, expected.lines_written) << "round " << round;
        ASSERT_EQ(got.lines_read, expected.lines_read) << "round " << round;
    }
}

// Find strings from 32 bytes on take the linear-time search; lines built from near misses
// of the find string (and sometimes the string itself) exercise its fallback steps.
TEST(LineLoop, LongFindStringsAgreeWithReference) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        FilterSettings s;
        s.find_count = 1 + static_cast<int32_t>(rng() % 2);
        for (int i = 0; i < s.find_count; ++i) {
            std::string period = random_text(rng, 1 + rng() % 4, "ab");
            std::string text;
            while (text.size() < 32 + rng() % 10) text += period;
            if (rng() % 2) text[rng() % text.size()] = 'b';
            s.find_strings[i] = text;
        }
        std::string input;
        for (int line = 0; line < 4; ++line) {
            for (int piece = 0; piece < 6; ++piece) {
                std::string near = s.find_strings[rng() % s.find_count];
                if (rng() % 8 != 0) near[rng() % near.size()] ^= 3;  // 'a' <-> 'b'
                input += near.substr(rng() % near.size()) + random_text(rng, rng() % 3, "ab");
            }
            input += '\n';
        }
        ReferenceResult expected = reference_filter(s, input);
        MemoryInput in(input);
        MemoryOutput sink;
        OutputBuffer out(sink);
        LoopResult got = filter_lines(s, in, out);
        ASSERT_TRUE(out.flush());
        ASSERT_EQ(sink.text, expected.out) << "round " << round;
        ASSERT_EQ(got.lines_written, expected.lines_written);
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

TEST(RunFilter, WriteFailureAtTheFinalFlushGivesStatusOne) {
    char arg0[] = "quarnel", arg1[] = "-f";
    char* argv[] = {arg0, arg1, nullptr};
    MemoryInput in("abc\n");
    MemoryOutput out(2);
    EXPECT_EQ(run_filter(2, argv, in, out), 1);
}

}  // namespace
