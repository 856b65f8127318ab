// settings.h: the run settings and the command line that fills them.
//
// parse_arguments turns the argument vector into FilterSettings, finish_settings adjusts
// them once after the last argument, and describe_run gives the -v description. The
// banner and the usage text live here too. run_filter (run.h) calls them in that order;
// tests/cli_test.cpp and tests/regex_options_test.cpp cover them end to end. What a -reg
// pattern becomes is the engine's business: parse_arguments is given the compiler
// (compile_pattern, regex_options.h), so the command line knows nothing of the engine
// beyond the owning pointer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "regexp/regexp.h"

// MAX_FIND_STRINGS is how many -f strings are kept; later ones are dropped silently.
constexpr int MAX_FIND_STRINGS = 10;

// FilterSettings is one run's settings: filled while the arguments are read, adjusted once
// by finish_settings, and only read after that. Option texts are private copies.
struct FilterSettings {
    bool verbose = false;       // -v: describe the run before reading input
    bool invert = false;        // -iv: select the lines that do not match
    bool ignore_case = false;   // -ic: -f matching ignores ASCII letter case
    bool line_numbers = false;  // -ln: prefix each written line with its number
    bool to_lower = false;      // -lc: write lines in lower case (wins over -uc)
    bool to_upper = false;      // -uc: write lines in upper case
    std::array<std::string, MAX_FIND_STRINGS> find_strings;  // -f texts, in command-line order
    int32_t find_count = 0;                                  // entries of find_strings in use
    std::optional<std::string> regex_source;                 // -reg: the last pattern text
    RegexpPtr pattern;                                       // -reg: regex_source compiled
    std::optional<std::string> sub_template;                 // -sub: the last template
};

// print_banner writes the banner line, always the first thing the tool writes.
void print_banner(const char* program_path);

// print_usage writes the usage text to the error stream.
void print_usage(const char* program_path);

// PatternCompiler compiles settings.regex_source into settings.pattern, or ends the run when
// it does not compile (compile_pattern, regex_options.h).
using PatternCompiler = void (*)(FilterSettings& settings);

// parse_arguments examines argv[1] to argv[argc - 1] in order and fills settings. Each -reg
// pattern is compiled by compile as soon as it is read, so that one that does not compile
// ends the run before a later argument (another -reg, a "-?") is looked at. It returns
// false when it met "-?": the caller then writes the usage text and ends with status 1.
bool parse_arguments(int argc, char** argv, FilterSettings& settings, PatternCompiler compile);

// finish_settings makes the adjustments due after the last argument: the warnings about
// options that cancel each other (a pattern drops the find strings; a template without a
// pattern is never used) and the lower-casing of the find strings under -ic.
void finish_settings(FilterSettings& settings);

// describe_run returns the -v description of the run, line end included.
std::string describe_run(const FilterSettings& settings);

// option_equals reports whether arg is word, ASCII letters compared without case.
bool option_equals(const char* arg, const char* word);

// option_starts_with reports whether arg begins with word, compared like option_equals.
bool option_starts_with(const char* arg, const char* word);

// lower_ascii_in_place lower-cases A-Z in text and leaves every other byte alone.
void lower_ascii_in_place(std::string& text);
