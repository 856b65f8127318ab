// platform_posix.cpp: the POSIX side of platform.h.
//
// Standard input is read as bytes: a CR or a 0x1A byte is an ordinary byte here. Covered
// end to end by tests/cli_test.cpp (large lines, /dev/full, a directory as stdin).
#include "filter/platform.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

FdInput::FdInput(int fd) : fd_(fd) {
    struct stat status {};
    regular_file_ = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
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
