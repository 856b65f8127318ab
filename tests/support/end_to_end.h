// end_to_end.h: what the end-to-end tests of the quarnel binary share.
//
// run_quarnel runs the built binary (run_binary.h) as "quarnel" with the summary time
// masked; BANNER and summary are the texts every run writes to stderr around its own
// messages. An EndToEndCase is one row of argv + stdin -> stdout, stderr after the banner,
// exit status, and expect_end_to_end_cases runs a table of them. Used by cli_test,
// regex_options_test, hostile_test and redos_test. Test-only code.
//
// Header only: the binary's path, QUARNEL_BINARY, is defined for each test executable.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/run_binary.h"

// BANNER is the first line of stderr of every run started as "quarnel".
inline const std::string BANNER = "Quarnel text line filter, version 1.0   (type 'quarnel -?' for help)\n";

// summary returns the last line of a successful run, its time masked as by run_quarnel.
inline std::string summary(uint64_t written, uint64_t read) {
    return "Processing " + std::to_string(written) + "/" + std::to_string(read) + " lines took " + TIME_MASK + ".\n";
}

// run_quarnel runs the binary with args and input; argv[0] is "quarnel" unless options say
// otherwise, and the summary time in the returned stderr is masked.
inline RunResult run_quarnel(const std::vector<std::string>& args, const std::string& input, RunOptions options = {}) {
    if (options.argv0.empty()) options.argv0 = "quarnel";
    RunResult result = run_binary(QUARNEL_BINARY, args, input, options);
    result.err = mask_time_text(result.err);
    return result;
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
};

// expect_end_to_end_cases runs every case and expects its stdout, BANNER + err on stderr,
// and its exit status; each failure names the case.
inline void expect_end_to_end_cases(const std::vector<EndToEndCase>& cases) {
    for (const EndToEndCase& c : cases) {
        RunResult r = run_quarnel(c.args, c.input);
        EXPECT_EQ(r.out, c.out) << "stdout of case \"" << c.name << "\"";
        EXPECT_EQ(r.err, BANNER + c.err) << "stderr of case \"" << c.name << "\"";
        EXPECT_EQ(r.exit_status, c.status) << "exit status of case \"" << c.name << "\"";
    }
}
