// text_mode_test.cpp: TextModeInput and TextModeOutput against plain references.
//
// The Windows build reads and writes its standard streams through these adapters, but
// they are plain C++, so they are checked here on every build: worked examples with raw
// reads of chosen sizes (a CR LF pair split by a read, a CR or 0x1A at a read's end), then
// random texts rich in CR, LF and 0x1A, cut into random raw reads and read back in random
// sizes down to one byte, against text_mode_read and text_mode_written
// (support/windows_target.h), which work on whole texts the obvious way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "filter/run.h"
#include "filter/text_mode.h"
#include "support/memory_streams.h"
#include "support/windows_target.h"

namespace {

// read_all reads in through TextModeInput in reads of the given sizes (cycled) to the end.
std::string read_all(MemoryInput& raw, const std::vector<size_t>& sizes = {65536}) {
    TextModeInput in(raw);
    std::string text;
    std::vector<char> buffer(65536);
    for (size_t i = 0;; ++i) {
        size_t size = sizes[i % sizes.size()];
        long got = in.read(buffer.data(), size);
        EXPECT_GE(got, 0) << "read error";
        EXPECT_LE(got, static_cast<long>(size)) << "more bytes than asked for";
        if (got <= 0) break;
        text.append(buffer.data(), static_cast<size_t>(got));
    }
    return text;
}

struct ReadCase {
    const char* name;
    std::string raw;
    std::vector<size_t> raw_sizes;  // the sizes of the raw reads, cycled; empty: as asked
    std::string text;               // what the reader receives
};

const std::vector<ReadCase> READ_CASES = {
    {"CR LF lines", "a\r\nb\r\n", {}, "a\nb\n"},
    {"a line feed alone stays a line feed", "a\nb\r\nc", {}, "a\nb\nc"},
    {"lone CR mid-line", "a\rb\r\n", {}, "a\rb\n"},
    {"lone CR at the end of the input", "a\r\nb\r", {}, "a\nb\r"},
    {"a CR alone", "\r", {}, "\r"},
    {"CR CR LF", "a\r\r\nb", {}, "a\r\nb"},
    {"CR LF CR LF", "\r\n\r\n", {}, "\n\n"},
    {"LF CR", "a\n\rb", {}, "a\n\rb"},
    {"CR LF split by a read", "ab\r\ncd", {3}, "ab\ncd"},
    {"every read one byte", "a\r\nb\rc\r\r\n", {1}, "a\nb\rc\r\n"},
    {"CR ending a read, something else next", "ab\rcd", {3}, "ab\rcd"},
    {"CR ending a read, CR LF next", "a\r\r\nb", {2}, "a\r\nb"},
    {"CR ending a read and the input", "ab\r", {3}, "ab\r"},
    {"run of CRs across reads", "\r\r\r\r\n", {2, 1}, "\r\r\r\n"},
    {"0x1A mid-line", "ab\x1A" "cd\r\nef\r\n", {}, "ab"},
    {"0x1A first", "\x1A" "abc\r\n", {}, ""},
    {"0x1A right after a line feed", "a\r\n\x1A" "b\r\n", {}, "a\n"},
    {"0x1A right after a CR", "a\r\x1A\nb", {}, "a\r"},
    {"0x1A right after a CR that ended a read", "a\r\x1A\nb", {2}, "a\r"},
    {"0x1A in a later read", "abc\ndef\x1Aghi\n", {4}, "abc\ndef"},
    {"only the first 0x1A counts", "a\x1A\x1A" "b", {1}, "a"},
};

TEST(TextModeInput, WorkedExamples) {
    for (const ReadCase& c : READ_CASES) {
        SCOPED_TRACE(c.name);
        MemoryInput raw(c.raw, c.raw_sizes);
        EXPECT_EQ(read_all(raw), c.text);
        MemoryInput raw_again(c.raw, c.raw_sizes);
        EXPECT_EQ(read_all(raw_again, {1}), c.text) << "read one byte at a time";
    }
}

TEST(TextModeInput, NothingIsReadAfter0x1A) {
    MemoryInput raw("a\n\x1A" + std::string(100000, 'x'), {4});
    EXPECT_EQ(read_all(raw), "a\n");
    EXPECT_EQ(raw.reads(), 1u);
}

TEST(TextModeInput, ReadErrorKeepsTheBytesBeforeAndAHeldCR) {
    MemoryInput raw("ab\r\ncd", {3}, 3);  // "ab\r", then the read at offset 3 fails
    TextModeInput in(raw);
    char buffer[16];
    EXPECT_EQ(in.read(buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    errno = 0;
    EXPECT_EQ(in.read(buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EIO);
}

// ReadyInput is a MemoryInput whose readiness the test sets.
class ReadyInput : public MemoryInput {
public:
    using MemoryInput::MemoryInput;
    bool ready() override { return raw_ready; }
    bool raw_ready = false;
};

TEST(TextModeInput, ReadyWhenAByteIsHeldOrTheInputEnded) {
    ReadyInput raw("ab\r\ncd", {3});
    TextModeInput in(raw);
    char buffer[16];
    raw.raw_ready = true;
    EXPECT_TRUE(in.ready()) << "nothing held: as the raw input";
    raw.raw_ready = false;
    EXPECT_FALSE(in.ready());
    ASSERT_EQ(in.read(buffer, sizeof buffer), 2);  // "ab"; the CR that ended the raw read is held
    EXPECT_FALSE(in.ready()) << "a held CR alone cannot be handed on";
    ASSERT_EQ(in.read(buffer, 1), 1);
    EXPECT_EQ(buffer[0], '\n');
    ASSERT_EQ(in.read(buffer, 1), 1);  // "cd" read, 'd' held for the next one-byte read
    EXPECT_EQ(buffer[0], 'c');
    EXPECT_TRUE(in.ready()) << "a translated byte is held";
    ASSERT_EQ(in.read(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'd');
    EXPECT_EQ(in.read(buffer, 1), 0);
    EXPECT_TRUE(in.ready()) << "the input ended";
}

// SplitCounter is a MemoryInput that counts the reads ending in a CR.
class SplitCounter : public MemoryInput {
public:
    using MemoryInput::MemoryInput;
    long read(char* buffer, size_t size) override {
        long got = MemoryInput::read(buffer, size);
        if (got > 0 && buffer[got - 1] == '\r') ++reads_ending_in_cr;
        return got;
    }
    int reads_ending_in_cr = 0;
};

// The whole filter behind the adapters, as the Windows build runs it, on the inputs of
// windows_text_test's CrLfPairsSplitByReadBoundaries: with the loop's own read sizes (as a
// file gives them) the first input has a pair split by a read, which that test relies on;
// with odd read sizes both inputs have many.
TEST(TextModeInput, TheLoopReadsCrLfPairsSplitByReads) {
    std::string pairs;
    for (int i = 0; i < 300000; ++i) pairs += "\r\n";
    struct Case {
        std::string input, written;
        bool split_by_the_loop;
    };
    for (const Case& c : {Case{"x" + pairs, "x" + pairs, true}, Case{pairs + "y", pairs + "y\r\n", false}}) {
        for (const std::vector<size_t>& sizes : {std::vector<size_t>{}, {4095, 77}}) {
            SplitCounter raw(c.input, sizes);
            TextModeInput in(raw);
            MemoryOutput raw_out;
            TextModeOutput out(raw_out);
            std::string program = "quarnel", copy_all = "-f";
            char* argv[] = {program.data(), copy_all.data(), nullptr};
            testing::internal::CaptureStderr();
            EXPECT_EQ(run_filter(2, argv, in, out), 0);
            testing::internal::GetCapturedStderr();
            EXPECT_TRUE(raw_out.text == c.written) << "the output differs";
            if (!sizes.empty() || c.split_by_the_loop) {
                EXPECT_GT(raw.reads_ending_in_cr, 0);
            }
        }
    }
}

// random_text draws from an alphabet where CR, LF and 0x1A are frequent, 0x1A the least.
std::string random_text(std::mt19937& rng, size_t length, bool with_ctrl_z) {
    static const std::string ALPHABET = "\r\r\r\n\n\nab";
    std::string text(length, ' ');
    for (char& c : text) c = ALPHABET[rng() % ALPHABET.size()];
    if (with_ctrl_z && length > 0 && rng() % 3 == 0) text[rng() % length] = CTRL_Z;
    return text;
}

std::vector<size_t> random_sizes(std::mt19937& rng, size_t largest) {
    std::vector<size_t> sizes(1 + rng() % 5);
    for (size_t& size : sizes) size = 1 + rng() % largest;
    return sizes;
}

TEST(TextModeInput, AgreesWithTheReferenceOnRandomTextsAndReadSizes) {
    std::mt19937 rng(20240610);
    for (int round = 0; round < 20000; ++round) {
        const std::string raw_text = random_text(rng, rng() % 200, true);
        const std::vector<size_t> raw_sizes = random_sizes(rng, 9);
        const std::vector<size_t> read_sizes = random_sizes(rng, 11);
        MemoryInput raw(raw_text, raw_sizes);
        ASSERT_EQ(read_all(raw, read_sizes), text_mode_read(raw_text)) << "round " << round;
    }
}

// write_in_pieces writes text through TextModeOutput in pieces of the given sizes (cycled).
MemoryOutput write_in_pieces(const std::string& text, const std::vector<size_t>& sizes) {
    MemoryOutput raw;
    TextModeOutput out(raw);
    size_t at = 0;
    for (size_t i = 0; at < text.size(); ++i) {
        size_t size = std::min(sizes[i % sizes.size()], text.size() - at);
        EXPECT_TRUE(out.write_all(text.data() + at, size));
        at += size;
    }
    return raw;
}

TEST(TextModeOutput, WorkedExamples) {
    struct WriteCase {
        std::string text, raw;
    };
    for (const WriteCase& c : {WriteCase{"a\nb", "a\r\nb"}, WriteCase{"\n\n", "\r\n\r\n"}, WriteCase{"a\r\n", "a\r\r\n"},
                               WriteCase{"a\rb\n", "a\rb\r\n"}, WriteCase{"x\x1A\n", "x\x1A\r\n"}}) {
        EXPECT_EQ(write_in_pieces(c.text, {100}).text, c.raw);
        EXPECT_EQ(write_in_pieces(c.text, {1}).text, c.raw);
    }
}

TEST(TextModeOutput, AgreesWithTheReferenceOnRandomTextsAndWriteSizes) {
    std::mt19937 rng(77);
    for (int round = 0; round < 5000; ++round) {
        const std::string text = random_text(rng, rng() % 300, false);
        ASSERT_EQ(write_in_pieces(text, random_sizes(rng, 40)).text, text_mode_written(text)) << "round " << round;
    }
}

TEST(TextModeOutput, TextsLargerThanTheStagingArea) {
    const std::string all_line_feeds(TEXT_MODE_STAGING_SIZE + 12345, '\n');
    const std::string no_line_feed(3 * TEXT_MODE_STAGING_SIZE + 7, 'q');
    std::string lines;
    while (lines.size() < 2 * TEXT_MODE_STAGING_SIZE) lines += "a line of some length\n";
    for (const std::string* text : std::vector<const std::string*>{&all_line_feeds, &no_line_feed, &lines}) {
        MemoryOutput raw = write_in_pieces(*text, {text->size()});
        EXPECT_TRUE(raw.text == text_mode_written(*text));
        EXPECT_GT(raw.writes, 1u);
    }
}

// The line loop flushes 64 KiB at a time: that must stay one write to the handle.
TEST(TextModeOutput, OneFlushOfTheLineLoopIsOneRawWrite) {
    std::string block;
    while (block.size() + 60 <= 64 * 1024) block += std::string(59, 'x') + "\n";
    EXPECT_EQ(write_in_pieces(block, {block.size()}).writes, 1u);
}

TEST(TextModeOutput, FailedRawWriteIsReported) {
    MemoryOutput raw(10);
    TextModeOutput out(raw);
    errno = 0;
    EXPECT_FALSE(out.write_all("0123\n5678\n", 10));  // 12 bytes once translated
    EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
