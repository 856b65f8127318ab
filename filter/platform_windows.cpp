// platform_windows.cpp: the Windows side of platform.h.
//
// Standard input and output are text streams, translated by the tool itself on the raw
// handles (text_mode.h): ReadFile fills the line loop's buffer directly and the CR LF pairs
// are folded in place, so the loop keeps its large reads. The C runtime's text mode
// (_read and _write on text descriptors) gives the same bytes but costs more, as measured
// in docs/windows.md, and reports errors as errno values instead of the system's codes.
// Standard error stays the C runtime's text stream, which writes each line feed as CR LF.
//
// Errors travel as Win32 error codes (GetLastError) in errno, and platform_error_text gives
// the system's message for them. Covered end to end under Wine by the end-to-end suites
// built with QUARNEL_TARGET and by tests/windows_text_test.cpp.
#include "filter/platform.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>

#include <io.h>
#include <windows.h>

#include "filter/text_mode.h"

namespace {

// MAX_TRANSFER caps one ReadFile or WriteFile, whose byte counts are 32-bit.
constexpr size_t MAX_TRANSFER = size_t{1} << 30;

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// RawInput reads a handle as bytes.
class RawInput : public InputSource {
public:
    explicit RawInput(int fd) : fd_(fd), pipe_(GetFileType(handle_of(fd)) == FILE_TYPE_PIPE) {}

    // ready tells whether a pipe holds data; of anything else but a file (a console, say)
    // nothing is known without waiting, so it is taken as not ready.
    bool ready() override {
        DWORD available = 0;
        return pipe_ && PeekNamedPipe(handle_of(fd_), nullptr, 0, nullptr, &available, nullptr) && available > 0;
    }

    long read(char* buffer, size_t size) override {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(size < MAX_TRANSFER ? size : MAX_TRANSFER);
        if (ReadFile(handle_of(fd_), buffer, want, &got, nullptr)) return static_cast<long>(got);
        DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE) return 0;  // the writer closed the pipe: the end of the input
        errno = static_cast<int>(error);
        return -1;
    }

private:
    int fd_;
    bool pipe_;
};

// reader_gone reports whether a write failed because nobody reads the pipe any more.
bool reader_gone(DWORD error) {
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

// RawOutput writes bytes to a handle, completing short writes.
class RawOutput : public OutputSink {
public:
    explicit RawOutput(int fd) : fd_(fd) {}

    bool write_all(const char* data, size_t size) override {
        while (size > 0) {
            DWORD put = 0;
            DWORD want = static_cast<DWORD>(size < MAX_TRANSFER ? size : MAX_TRANSFER);
            if (!WriteFile(handle_of(fd_), data, want, &put, nullptr)) {
                DWORD error = GetLastError();
                // Like SIGPIPE on POSIX: the reader of `quarnel ... | more` has quit, so the
                // run ends here quietly; the status is 1 because it did not reach its end.
                if (reader_gone(error)) std::_Exit(1);
                errno = static_cast<int>(error);
                return false;
            }
            if (put == 0) {  // no progress and no reason: give up rather than spin
                errno = static_cast<int>(ERROR_WRITE_FAULT);
                return false;
            }
            data += put;
            size -= put;
        }
        return true;
    }

private:
    int fd_;
};

// The text-mode state belongs to the descriptor, not to the wrapper object, as in the C
// runtime: a CR held back at the end of one read must meet the next read of the same fd.
struct InputChannel {
    explicit InputChannel(int fd) : raw(fd), text(raw) {}
    RawInput raw;
    TextModeInput text;
};

struct OutputChannel {
    explicit OutputChannel(int fd) : raw(fd), text(raw) {}
    RawOutput raw;
    TextModeOutput text;
};

template <typename Channel>
Channel& channel_for(int fd) {
    static std::map<int, Channel> channels;
    return channels.try_emplace(fd, fd).first->second;
}

}  // namespace

FdInput::FdInput(int fd) : fd_(fd), regular_file_(GetFileType(handle_of(fd)) == FILE_TYPE_DISK) {}

long FdInput::read(char* buffer, size_t size) { return channel_for<InputChannel>(fd_).text.read(buffer, size); }

bool FdInput::ready() { return regular_file_ || channel_for<InputChannel>(fd_).text.ready(); }

// A Windows pipe's buffer is fixed when the pipe is made: nothing to widen here.
FdOutput::FdOutput(int fd) : fd_(fd) {}

bool FdOutput::write_all(const char* data, size_t size) {
    return channel_for<OutputChannel>(fd_).text.write_all(data, size);
}

uint32_t platform_tick_count() { return GetTickCount(); }

std::string platform_error_text(int error_number) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error_number), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
    LocalFree(text);
    // System messages end with CR LF, which the line end of the report replaces.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    if (message.empty()) message = "system error " + std::to_string(error_number);
    return message;
}
