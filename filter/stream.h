// stream.h: the I/O seam of the line filter.
//
// The line loop never touches a file descriptor. It reads through an InputSource and writes
// through an OutputSink, so that the same loop runs on fds 0 and 1 in the tool
// (platform_posix.cpp) and on memory buffers in tests and fuzz targets. Entry point for
// callers: run_filter (run.h) takes one of each.
#pragma once

#include <cstddef>

// InputSource is where the filter's lines come from.
class InputSource {
public:
    virtual ~InputSource() = default;

    // read stores up to size bytes at buffer and returns how many: above 0 for data, 0 at the
    // end of the input, below 0 for an error, with errno telling which. It may return fewer
    // bytes than asked for at any time; it may block until some are available.
    virtual long read(char* buffer, size_t size) = 0;

    // ready reports whether a read would return at once, without waiting for a writer:
    // the loop then need not hand its output on before reading. When unsure, false.
    virtual bool ready() { return false; }
};

// OutputSink is where the selected lines go.
class OutputSink {
public:
    virtual ~OutputSink() = default;

    // write_all writes all size bytes and returns true, or returns false with errno set when
    // the destination failed; how many bytes went out before the failure is unspecified.
    virtual bool write_all(const char* data, size_t size) = 0;
};
