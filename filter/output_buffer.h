// output_buffer.h: the buffer between the line loop and its OutputSink.
//
// Lines are gathered here and handed to the sink in large writes: when the buffer is
// full, before the loop waits for more input, and at the end of the run. A large piece
// (a stretch of many unchanged lines) goes to the sink straight from where it lies, after
// what was gathered before it, instead of being copied in. The first failed
// write is remembered (failed, error_number) and everything after it is dropped, so the
// loop only has to look at failed() once per line.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

#include "filter/stream.h"

// OUTPUT_BUFFER_SIZE is how many bytes are gathered before a write.
constexpr size_t OUTPUT_BUFFER_SIZE = 64 * 1024;

// DIRECT_WRITE_SIZE: a piece at least this large is written from where it lies.
constexpr size_t DIRECT_WRITE_SIZE = 16 * 1024;

class OutputBuffer {
public:
    explicit OutputBuffer(OutputSink& sink, size_t capacity = OUTPUT_BUFFER_SIZE);

    // append adds size bytes to the output.
    void append(const char* data, size_t size) {
        if (size <= capacity_ - used_ && size < DIRECT_WRITE_SIZE) {
            std::memcpy(buffer_.get() + used_, data, size);
            used_ += size;
            return;
        }
        append_large(data, size);
    }

    // append_byte adds one byte to the output.
    void append_byte(char byte) {
        if (used_ == capacity_) flush();
        if (!failed_) buffer_[used_++] = byte;
    }

    // reserve returns room for at least size bytes (size at most the capacity) at the end
    // of the output, flushing first when needed; commit then adds the bytes written there.
    // After a failed write the room is scratch space whose bytes are dropped.
    char* reserve(size_t size) {
        if (size > capacity_ - used_) flush();
        if (failed_) used_ = 0;
        return buffer_.get() + used_;
    }
    void commit(size_t size) {
        if (!failed_) used_ += size;
    }

    // capacity is the most that reserve can give.
    size_t capacity() const { return capacity_; }

    // flush writes everything gathered so far; false when this or an earlier write failed.
    bool flush();

    // pending reports whether bytes are gathered that have not been handed to the sink.
    bool pending() const { return used_ > 0; }

    // failed reports whether a write has failed; error_number is the errno it left.
    bool failed() const { return failed_; }
    int error_number() const { return error_number_; }

private:
    void append_large(const char* data, size_t size);

    OutputSink& sink_;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_;
    size_t used_ = 0;
    bool failed_ = false;
    int error_number_ = 0;
};
