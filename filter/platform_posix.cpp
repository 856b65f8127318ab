// platform_posix.cpp: the POSIX side of platform.h.
//
// Standard input is read as bytes: a CR or a 0x1A byte is an ordinary byte here. A pipe on
// standard input or output is widened (see PIPE_CAPACITY). Covered end to end by
// tests/cli_test.cpp (large lines, /dev/full, a directory as stdin, pipes on both sides).
#include "filter/platform.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// PIPE_CAPACITY is what a pipe on standard input or output is widened to (Linux's limit for
// an unprivileged process by default). With the usual 64 KiB the two sides of a pipe take
// turns: the writer fills it and sleeps until the reader has emptied it, so the tool and
// the program beside it rarely run at once. With room for many blocks each goes on while
// the other catches up; measured on a 512 MiB file, `cat | quarnel -fX` and
// `quarnel -uc | reader` took less than half the time (docs/performance.md).
constexpr int PIPE_CAPACITY = 1 << 20;

// widen_pipe makes fd's pipe hold PIPE_CAPACITY bytes when fd is a pipe and the system
// allows it; anything else is left as it is.
void widen_pipe(int fd, const struct stat& status) {
#ifdef F_SETPIPE_SZ
    if (S_ISFIFO(status.st_mode)) fcntl(fd, F_SETPIPE_SZ, PIPE_CAPACITY);
#else
    (void)fd;
    (void)status;
#endif
}

}  // namespace

FdInput::FdInput(int fd) : fd_(fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return;
    regular_file_ = S_ISREG(status.st_mode);
    widen_pipe(fd, status);
}

bool FdInput::ready() {
    if (regular_file_) return true;
    pollfd waiting{fd_, POLLIN, 0};
    return poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0;
}

long FdInput::read(char* buffer, size_t size) {
    for (;;) {
        ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0 || errno != EINTR) return static_cast<long>(got);
    }
}

FdOutput::FdOutput(int fd) : fd_(fd) {
    struct stat status {};
    if (fstat(fd, &status) == 0) widen_pipe(fd, status);
}

bool FdOutput::write_all(const char* data, size_t size) {
    while (size > 0) {
        ssize_t put = ::write(fd_, data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) {  // no progress and no reason: give up rather than spin
            errno = EIO;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

uint32_t platform_tick_count() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t millis = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(millis);  // keeps the low 32 bits: the counter wraps like GetTickCount
}

std::string platform_error_text(int error_number) { return std::strerror(error_number); }
