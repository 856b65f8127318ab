// run_binary.h: run a built program as a child process and capture what it does.
//
// run_binary starts the program with the given arguments, feeds it stdin bytes (any
// amount: written and read concurrently, so neither side can block the other), and
// returns its stdout, stderr and how it ended. Used by the end-to-end tests of the
// quarnel binary; nothing here knows about quarnel except mask_time_text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct RunOptions {
    // argv0 is passed as argv[0]; empty means the program path itself. Unused with an
    // emulator, which sets the program's argv[0] itself.
    std::string argv0;
    // emulator, when not empty, is the command that runs the program (a Windows program
    // under Wine, say): emulator[0] is executed with the rest of emulator, then the program
    // path and the arguments.
    std::vector<std::string> emulator;
    // stdin_path, when set, is opened read-only as the child's stdin instead of a pipe fed
    // with the stdin bytes (a directory gives a stdin whose reads fail).
    std::string stdin_path;
    // stdout_path, when set, is opened write-only as the child's stdout instead of a pipe
    // (for example /dev/full); stdout is then not captured.
    std::string stdout_path;
    // stdout_limit, when above 0, makes the parent close its end of the stdout pipe once
    // that many bytes arrived, like `| head -c N`; later writes of the child hit a closed pipe.
    size_t stdout_limit = 0;
    // timeout_seconds: the child is killed with SIGKILL when it runs longer.
    int timeout_seconds = 120;
    // close_stdin / close_stdout start the child with descriptor 0 / 1 closed (not
    // redirected), as `prog <&-` and `prog >&-` do in a shell; stdin_bytes and the captured
    // stdout are then unused.
    bool close_stdin = false;
    bool close_stdout = false;
    // stdin_held_after / stdin_held_until: when stdin_held_until is set, only the first
    // stdin_held_after bytes of stdin are written at first; the rest follow once stdout
    // holds stdin_held_until, like a writer that sends a line and waits for its answer.
    // A child that never answers is killed at the timeout.
    size_t stdin_held_after = 0;
    std::string stdin_held_until;
    // address_space_limit, when above 0, caps the child's address space (RLIMIT_AS) in
    // bytes, so that a large allocation fails in it as on a machine short of memory. Not
    // usable with AddressSanitizer, which needs far more address space than it uses.
    size_t address_space_limit = 0;
};

struct RunResult {
    std::string out;          // what the child wrote to stdout (see stdout_path / stdout_limit)
    std::string err;          // what the child wrote to stderr
    int exit_status = -1;     // the exit status when it exited, else -1
    int term_signal = 0;      // the signal that ended it, else 0
    bool timed_out = false;   // it was killed because it ran longer than the timeout
};

// run_binary runs program with args (argv[1] on) and stdin_bytes on its stdin.
RunResult run_binary(const std::string& program, const std::vector<std::string>& args, const std::string& stdin_bytes = {},
                     const RunOptions& options = {});

// TIME_MASK replaces the time text of a summary line in mask_time_text's result.
inline constexpr const char* TIME_MASK = "<time>";

// mask_time_text replaces the time text of every summary line ("... lines took T.\n", or
// T.\r\n as Windows writes it) by TIME_MASK, but only where T has the form MM:SS.hh or
// H:MM:SS.hh, so a malformed time text stays visible and fails the comparison.
std::string mask_time_text(const std::string& error_text);
