// platform.h: everything the filter needs from the operating system, behind one header.
//
// The POSIX build implements it in platform_posix.cpp: standard input and output are read
// and written as raw bytes with read(2)/write(2), and the tick counter is the monotonic
// clock. The Windows build implements it in platform_windows.cpp, where the standard
// streams are text streams (text_mode.h: CR LF read as one line feed, a 0x1A byte ending
// the input, each line feed written as CR LF) and GetTickCount is the counter. CMake
// compiles exactly one of the two.
#pragma once

#include <cstdint>
#include <string>

#include "filter/stream.h"

// FdInput reads from an open file descriptor, retrying reads interrupted by a signal. On
// Windows it reads the descriptor's handle in text mode; a pipe closed by its writer is the
// end of the input there.
class FdInput : public InputSource {
public:
    explicit FdInput(int fd);
    long read(char* buffer, size_t size) override;
    // ready: a regular file always is; a pipe or terminal when data is waiting in it.
    bool ready() override;

private:
    int fd_;
    bool regular_file_ = false;
};

// FdOutput writes to an open file descriptor, completing short writes and retrying writes
// interrupted by a signal. A write to a closed pipe raises SIGPIPE with its default action,
// so `quarnel ... | head -1` ends quietly like any other filter; on Windows, which has no
// such signal, the process ends there quietly with status 1. On Windows every line feed is
// written as CR LF.
class FdOutput : public OutputSink {
public:
    explicit FdOutput(int fd);
    bool write_all(const char* data, size_t size) override;

private:
    int fd_;
};

// platform_tick_count returns the millisecond tick counter: unsigned 32 bits that wrap
// around at 2^32, monotonic between wraps.
uint32_t platform_tick_count();

// platform_error_text returns the system's message for an error number that FdInput or
// FdOutput left in errno: strerror's text on POSIX; on Windows, where the number is the
// GetLastError code, the system message without its line end.
std::string platform_error_text(int error_number);

// STDIN_FD and STDOUT_FD are the descriptors main wraps.
constexpr int STDIN_FD = 0;
constexpr int STDOUT_FD = 1;
