// regex_options.h: -reg and -sub, the line filter's side of the regular-expression engine.
//
// apply_regex_options is one of the argument tests (it compiles a -reg pattern at once),
// the two warn_ functions are adjustments made after the last argument, describe_pattern
// is the pattern's piece of the run description, and TemplateExpander rewrites a matched
// line from a -sub template. driver_regex_error is the engine's error hook: it writes the
// message and throws RegexRunAborted, which only run_filter catches; run_filter then
// flushes the output written so far and returns status 1. Covered end to end by
// tests/regex_options_test.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "filter/settings.h"

struct Regexp;

// RegexRunAborted ends a run after the engine reported an error. It deliberately derives
// from nothing, so no handler for std::exception can swallow it on the way to run_filter.
struct RegexRunAborted {};

// driver_regex_error writes "regexp(3): " and message (no line end) to the error stream and
// ends the run with status 1 by throwing RegexRunAborted. It never returns.
[[noreturn]] void driver_regex_error(const char* message);

// apply_regex_options makes the -reg and -sub tests on one argument. For -reg it installs
// driver_regex_error and compiles the pattern, which throws when the pattern is invalid.
void apply_regex_options(const char* arg, FilterSettings& settings);

// warn_pattern_with_find_strings drops the find strings when a pattern is present, with a
// warning: the pattern alone selects.
void warn_pattern_with_find_strings(FilterSettings& settings);

// warn_template_without_pattern warns that a -sub without a -reg is never used.
void warn_template_without_pattern(const FilterSettings& settings);

// describe_pattern returns the pattern's piece of the run description, or "" without one.
std::string describe_pattern(const FilterSettings& settings);

// release_regex_state uninstalls the error hook if this run installed it, so that no hook
// of a finished run fires in a later engine call of the same process.
void release_regex_state(const FilterSettings& settings);

// LINE_BUFFER_SIZE is the size a line area starts at (text plus its NUL). Areas grow to
// hold the longest line or expansion met, so no line is ever cut.
constexpr size_t LINE_BUFFER_SIZE = 10240;

// TemplateExpander expands a template into an area of its own that starts at
// LINE_BUFFER_SIZE bytes and grows to hold any expansion whole.
class TemplateExpander {
public:
    TemplateExpander();

    // expand expands tmpl from the slots of pattern's last successful search and returns the
    // NUL-terminated result, which stays valid until the next call; length receives its size.
    char* expand(const Regexp* pattern, const char* tmpl, size_t& length);

private:
    std::vector<char> area_;
};
