// output_buffer.cpp: the slow paths of OutputBuffer.
//
// Covered through the line loop by tests/line_loop_test.cpp (tiny buffers, failing sinks)
// and end to end by tests/cli_test.cpp (/dev/full).
#include "filter/output_buffer.h"

#include <cerrno>

OutputBuffer::OutputBuffer(OutputSink& sink, size_t capacity)
    : sink_(sink), buffer_(new char[capacity > 0 ? capacity : 1]), capacity_(capacity > 0 ? capacity : 1) {}

bool OutputBuffer::flush() {
    if (failed_) return false;
    if (used_ == 0) return true;
    size_t size = used_;
    used_ = 0;
    if (!sink_.write_all(buffer_.get(), size)) {
        failed_ = true;
        error_number_ = errno;
    }
    return !failed_;
}

void OutputBuffer::append_large(const char* data, size_t size) {
    if (!flush()) return;
    if (size >= DIRECT_WRITE_SIZE || size >= capacity_) {  // large: straight from where it lies
        if (!sink_.write_all(data, size)) {
            failed_ = true;
            error_number_ = errno;
        }
        return;
    }
    std::memcpy(buffer_.get(), data, size);
    used_ = size;
}
