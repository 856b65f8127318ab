// run_binary.cpp: fork, exec, and a poll loop over the child's three pipes.
//
// SIGPIPE is ignored in the parent while a child runs (a child that exits without reading
// its stdin must not kill the test) and restored to its default in the child, so the child
// sees the same SIGPIPE behaviour as under a shell.
#include "support/run_binary.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// SigpipeIgnored keeps SIGPIPE ignored in the parent for one run.
class SigpipeIgnored {
public:
    SigpipeIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &saved_);
    }
    ~SigpipeIgnored() { sigaction(SIGPIPE, &saved_, nullptr); }

private:
    struct sigaction saved_ {};
};

size_t count_digits(const std::string& text, size_t at) {
    size_t n = 0;
    while (at + n < text.size() && std::isdigit(static_cast<unsigned char>(text[at + n]))) ++n;
    return n;
}

bool char_at(const std::string& text, size_t at, char c) { return at < text.size() && text[at] == c; }

// time_text_length returns the length of a well-formed time text at text[at] ("MM:SS.hh",
// or "H:MM:SS.hh" with hours of any width and no leading zero), or 0.
size_t time_text_length(const std::string& text, size_t at) {
    size_t first = count_digits(text, at);
    size_t p = at + first;
    if (first == 0 || !char_at(text, p, ':') || count_digits(text, p + 1) != 2) return 0;
    p += 3;
    if (char_at(text, p, ':')) {  // the first field was the hours
        if (text[at] == '0' || count_digits(text, p + 1) != 2) return 0;
        p += 3;
    } else if (first != 2) {
        return 0;
    }
    if (!char_at(text, p, '.') || count_digits(text, p + 1) != 2) return 0;
    return p + 3 - at;
}

}  // namespace

RunResult run_binary(const std::string& program, const std::vector<std::string>& args, const std::string& stdin_bytes,
                     const RunOptions& options) {
    SigpipeIgnored sigpipe_ignored;
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (options.stdin_path.empty()) make_pipe(in_pipe);
    if (options.stdout_path.empty()) make_pipe(out_pipe);
    make_pipe(err_pipe);

    std::vector<std::string> argv_text = options.emulator;
    argv_text.push_back(options.argv0.empty() || !options.emulator.empty() ? program : options.argv0);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    const std::string executed = options.emulator.empty() ? program : options.emulator.front();
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        struct sigaction def {};
        def.sa_handler = SIG_DFL;
        sigemptyset(&def.sa_mask);
        sigaction(SIGPIPE, &def, nullptr);
        int in_fd = options.stdin_path.empty() ? in_pipe[0] : open(options.stdin_path.c_str(), O_RDONLY);
        int out_fd = options.stdout_path.empty() ? out_pipe[1] : open(options.stdout_path.c_str(), O_WRONLY);
        if (in_fd < 0 || out_fd < 0) _exit(127);
        if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_pipe[1], 2) < 0) _exit(127);
        if (options.close_stdin) close(0);
        if (options.close_stdout) close(1);
        if (options.address_space_limit > 0) {
            rlimit limit{options.address_space_limit, options.address_space_limit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
        }
        execv(executed.c_str(), argv.data());
        _exit(127);
    }

    close_fd(in_pipe[0]);
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);
    int to_child = in_pipe[1], from_out = out_pipe[0], from_err = err_pipe[0];
    if (to_child >= 0) set_nonblocking(to_child);
    if (to_child >= 0 && stdin_bytes.empty()) close_fd(to_child);

    RunResult result;
    size_t written = 0;
    bool held = !options.stdin_held_until.empty();
    auto stdin_limit = [&] { return held ? std::min(options.stdin_held_after, stdin_bytes.size()) : stdin_bytes.size(); };
    double deadline = now_seconds() + options.timeout_seconds;
    char chunk[65536];
    while (to_child >= 0 || from_out >= 0 || from_err >= 0) {
        pollfd fds[3];
        int count = 0;
        if (to_child >= 0 && written < stdin_limit()) fds[count++] = {to_child, POLLOUT, 0};
        if (from_out >= 0) fds[count++] = {from_out, POLLIN, 0};
        if (from_err >= 0) fds[count++] = {from_err, POLLIN, 0};
        double left = deadline - now_seconds();
        if (left <= 0) {
            kill(child, SIGKILL);
            result.timed_out = true;
            break;
        }
        int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(left * 1000) + 1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fail("poll");
        }
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            int fd = fds[i].fd;
            if (fd == to_child) {
                ssize_t put = write(to_child, stdin_bytes.data() + written, stdin_limit() - written);
                if (put > 0) written += static_cast<size_t>(put);
                if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == stdin_bytes.size()) close_fd(to_child);
            } else {
                ssize_t got = read(fd, chunk, sizeof chunk);
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (got <= 0) {
                    close_fd(fd == from_out ? from_out : from_err);
                    continue;
                }
                if (fd == from_out) {
                    result.out.append(chunk, static_cast<size_t>(got));
                    if (held && result.out.find(options.stdin_held_until) != std::string::npos) held = false;
                    if (options.stdout_limit > 0 && result.out.size() >= options.stdout_limit) close_fd(from_out);
                } else {
                    result.err.append(chunk, static_cast<size_t>(got));
                }
            }
        }
    }
    close_fd(to_child);
    close_fd(from_out);
    close_fd(from_err);

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) fail("waitpid");
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
    return result;
}

std::string mask_time_text(const std::string& error_text) {
    static const std::string marker = " lines took ";
    std::string masked;
    size_t from = 0;
    for (;;) {
        size_t at = error_text.find(marker, from);
        if (at == std::string::npos) break;
        size_t time_at = at + marker.size();
        size_t length = time_text_length(error_text, time_at);
        masked.append(error_text, from, time_at - from);
        bool line_end_follows =
            error_text.compare(time_at + length, 2, ".\n") == 0 || error_text.compare(time_at + length, 3, ".\r\n") == 0;
        if (length > 0 && line_end_follows) {
            masked += TIME_MASK;
            from = time_at + length;
        } else {
            from = time_at;
        }
    }
    masked.append(error_text, from, std::string::npos);
    return masked;
}
