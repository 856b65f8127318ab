// read_buffer.h: ReadBuffer, the one buffer the block loop reads its input into.
//
// Covered through the loop by tests/line_loop_test.cpp (reads of every size, lines longer
// than a block) and tests/cli_test.cpp (lines of 10 MB).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "filter/filter_lines.h"

// ReadBuffer holds the input read but not yet processed, [begin, end): the start of a line
// not yet complete. Each read goes right after it and, when it is short (the usual partial
// line), the kept bytes are moved so that the read starts on a page boundary, where the
// system copies fastest. A long line stays where it is and the buffer doubles around it, so
// a line of any length costs a number of copies that only grows with its logarithm.
class ReadBuffer {
public:
    ReadBuffer() { grow(ALIGNED_KEEP_LIMIT + READ_BLOCK_SIZE); }

    char* begin() { return base_ + begin_; }
    char* end() { return base_ + end_; }

    // room returns where the next read goes and how much it may bring. The byte after the
    // room is never read into, so the last line can always be given its line feed.
    std::pair<char*, size_t> room();

    void added(size_t size) { end_ += size; }
    void consumed_to(const char* at) { begin_ = size_t(at - base_); }

private:
    static constexpr size_t READ_ALIGNMENT = 4096;
    static constexpr size_t ALIGNED_KEEP_LIMIT = 16 * 1024;

    // place_kept moves the kept bytes to start at offset at.
    void place_kept(size_t at);
    // grow makes the buffer hold capacity bytes, the kept ones at the same offsets.
    void grow(size_t capacity);

    std::vector<char> storage_;
    char* base_ = nullptr;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
};
