// end_to_end.h: what the end-to-end tests of the quarnel binary share.
//
// run_quarnel runs the built binary (run_binary.h) as "quarnel" with the summary time
// masked; BANNER and summary are the texts every run writes to stderr around its own
// messages. An EndToEndCase is one row of argv + stdin -> stdout, stderr after the banner,
// exit status, and expect_end_to_end_cases runs a table of them. Used by cli_test,
// regex_options_test, hostile_test, redos_test and windows_text_test. Test-only code.
//
// The binary under test is the native build, or a cross build run under its emulator (a
// tree configured with QUARNEL_TARGET, see tests/CMakeLists.txt): the Windows build under
// Wine, or the arm64 build under qemu-aarch64, which needs nothing more than the emulator. For the Windows build
// run_quarnel encodes the arguments for Wine, retries a run that Wine failed to start, and
// hands back the output with each CR LF turned into a line feed after checking that every
// line feed came with its CR; so the same tables hold for both builds. Rows and tests that
// cannot hold on Windows say why (EndToEndCase::posix_only, SKIP_ON_WINDOWS_TARGET).
//
// Header only: QUARNEL_BINARY, QUARNEL_EMULATOR, QUARNEL_TARGET_WINDOWS and
// QUARNEL_RETRY_LOG are defined for each test executable (tests/CMakeLists.txt).
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/run_binary.h"
#include "support/windows_target.h"

// TARGET_IS_WINDOWS tells that QUARNEL_BINARY is the Windows build, started through the
// emulator QUARNEL_EMULATOR.
inline constexpr bool TARGET_IS_WINDOWS = QUARNEL_TARGET_WINDOWS != 0;

// TARGET_IS_EMULATED tells that QUARNEL_BINARY is a cross build, started through the
// emulator QUARNEL_EMULATOR (Wine or qemu-user).
inline constexpr bool TARGET_IS_EMULATED = QUARNEL_EMULATOR[0] != '\0';

// SKIP_ON_WINDOWS_TARGET ends a test that cannot hold on the Windows build as skipped.
#define SKIP_ON_WINDOWS_TARGET(why) \
    if (TARGET_IS_WINDOWS) GTEST_SKIP() << "not on the Windows build: " << why

// PROGRAM_PATH_SHOWN is the program path the binary shows in the banner and usage text:
// "quarnel" as the tests start it, or the path Wine gives a Windows program.
inline const std::string PROGRAM_PATH_SHOWN = TARGET_IS_WINDOWS ? wine_program_path(QUARNEL_BINARY) : "quarnel";

// banner_for returns the first line of stderr of a run that shows path as its program.
inline std::string banner_for(const std::string& path) {
    return "Quarnel text line filter, version 1.0   (type '" + path + " -?' for help)\n";
}

// BANNER is the first line of stderr of every run of the binary.
inline const std::string BANNER = banner_for(PROGRAM_PATH_SHOWN);

// usage_text returns the usage text of a run that shows path as its program.
inline std::string usage_text(const std::string& path) {
    return "\n"
           "Usage:\n"
           "    " + path + " [options] <INFILE\n"
           "    " + path + " [options] <INFILE >OUTFILE\n"
           "    Type *.txt | " + path + " [options] >OUTFILE\n"
           "\n"
           "Matching Options: (matching is performed before conversion)\n"
           "    -fSTRING or -f\"STRING\": match lines containing 'STRING'\n"
           "         This option may be repeated, meaning 'match s1 OR s2'\n"
           "    -ic: ignore case\n"
           "    -iv: invert (select lines that do NOT match)\n"
           "    -reg\"REGEXP\": match regular expression\n"
           "\n"
           "Conversion Options:\n"
           "    -lc: convert to lower case\n"
           "    -uc: convert to upper case\n"
           "\n"
           "Misc Options:\n"
           "    -ln: prepend line numbers\n"
           "    -v : verbose mode\n"
           "\n"
           "Regular expressions are based on Kelvane's REGEXP library.\n";
}

// summary returns the last line of a successful run, its time masked as by run_quarnel.
inline std::string summary(uint64_t written, uint64_t read) {
    return "Processing " + std::to_string(written) + "/" + std::to_string(read) + " lines took " + TIME_MASK + ".\n";
}

// input_as_read returns the bytes of input that the binary reads as text: on Windows
// the text-mode translation, elsewhere the input itself.
inline std::string input_as_read(const std::string& input) { return TARGET_IS_WINDOWS ? text_mode_read(input) : input; }

// LINE_END is what a written line feed becomes in the raw output (a file, say).
inline const std::string LINE_END = TARGET_IS_WINDOWS ? "\r\n" : "\n";

// note_emulator_retry records one run that the emulator failed to start, a line in the
// file QUARNEL_RETRY_LOG, so that the suite can report how often it happens.
inline void note_emulator_retry(const std::vector<std::string>& args) {
    std::ofstream(QUARNEL_RETRY_LOG, std::ios::app)
        << "retried a run with " << args.size() << " arguments"
        << (args.empty() ? std::string() : ", the first " + args.front().substr(0, 40)) << "\n";
}

// run_quarnel_raw runs the binary with args and input and returns what it wrote, byte for
// byte. argv[0] is "quarnel" unless options say otherwise (on Windows, Wine's path). Under
// the emulator about one run in a few thousand fails to start, with no output at all;
// every run writes the banner first, so such a run is retried once and noted.
inline RunResult run_quarnel_raw(const std::vector<std::string>& args, const std::string& input, RunOptions options = {}) {
    if (!TARGET_IS_WINDOWS) {
        if (options.argv0.empty()) options.argv0 = "quarnel";
        // A Linux program of another architecture runs under qemu-user, whose -0 gives it
        // its argv[0].
        if (QUARNEL_EMULATOR[0] != '\0') options.emulator = {QUARNEL_EMULATOR, "-0", options.argv0};
        return run_binary(QUARNEL_BINARY, args, input, options);
    }
    options.emulator = {QUARNEL_EMULATOR};
    std::vector<std::string> encoded;
    for (const std::string& arg : args) encoded.push_back(wine_argument(arg));
    RunResult result = run_binary(QUARNEL_BINARY, encoded, input, options);
    if (result.out.empty() && result.err.empty() && !result.timed_out) {
        note_emulator_retry(args);
        result = run_binary(QUARNEL_BINARY, encoded, input, options);
    }
    return result;
}

// run_quarnel runs the binary like run_quarnel_raw and returns the output as text: the
// Windows build's CR LF pairs read as line feeds, and the summary time masked.
inline RunResult run_quarnel(const std::vector<std::string>& args, const std::string& input, RunOptions options = {}) {
    RunResult result = run_quarnel_raw(args, input, options);
    if (TARGET_IS_WINDOWS) {
        result.out = text_mode_decoded(result.out);
        result.err = text_mode_decoded(result.err);
    }
    result.err = mask_time_text(result.err);
    return result;
}

// StreamFault names the failures of the standard streams that the suites provoke.
enum class StreamFault {
    DISK_FULL,       // stdout is /dev/full
    CLOSED_STDOUT,   // started with descriptor 1 closed
    CLOSED_STDIN,    // started with descriptor 0 closed
    DIRECTORY_READ,  // stdin is a directory
};

// system_message returns the system's message that the binary shows for fault: strerror's
// text natively; for the Windows build, Wine's FormatMessage text for the error that Wine
// gives (Windows itself words them differently, "There is not enough space on the disk."
// for instance). Wine puts a directory of its own on a closed descriptor 0, so a closed
// stdin reads like a directory there; on Windows the handle would be invalid.
inline std::string system_message(StreamFault fault) {
    switch (fault) {
    case StreamFault::DISK_FULL: return TARGET_IS_WINDOWS ? "Disk full." : std::strerror(ENOSPC);
    case StreamFault::CLOSED_STDOUT: return TARGET_IS_WINDOWS ? "Invalid handle." : std::strerror(EBADF);
    case StreamFault::CLOSED_STDIN: return TARGET_IS_WINDOWS ? "Invalid function." : std::strerror(EBADF);
    case StreamFault::DIRECTORY_READ: return TARGET_IS_WINDOWS ? "Invalid function." : std::strerror(EISDIR);
    }
    return "";
}

// options_with returns default RunOptions with one field set.
template <typename T, typename V>
RunOptions options_with(T RunOptions::*field, V value) {
    RunOptions options;
    options.*field = value;
    return options;
}

struct EndToEndCase {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string out;
    std::string err;  // after the banner
    int status;
    // posix_only, when set, says why the row cannot hold on the Windows build (a byte that
    // text mode reads differently, say); the row is not run there.
    const char* posix_only = nullptr;
};

// expect_end_to_end_cases runs every case and expects its stdout, BANNER + err on stderr,
// and its exit status; each failure names the case.
inline void expect_end_to_end_cases(const std::vector<EndToEndCase>& cases) {
    for (const EndToEndCase& c : cases) {
        if (TARGET_IS_WINDOWS && c.posix_only != nullptr) continue;
        RunResult r = run_quarnel(c.args, c.input);
        EXPECT_EQ(r.out, c.out) << "stdout of case \"" << c.name << "\"";
        EXPECT_EQ(r.err, BANNER + c.err) << "stderr of case \"" << c.name << "\"";
        EXPECT_EQ(r.exit_status, c.status) << "exit status of case \"" << c.name << "\"";
    }
}
