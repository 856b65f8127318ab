// regex_options.h: the line filter's adapter to the regular-expression engine.
//
// compile_pattern turns a -reg text into the compiled pattern that FilterSettings owns (it
// is the compiler parse_arguments is given, settings.h), TemplateExpander rewrites a
// matched line from a -sub template, and driver_regex_error is the engine's error hook: it
// writes the message and throws RegexRunAborted, which only run_filter catches; run_filter
// then flushes the output written so far and returns status 1. release_regex_state undoes
// what a run did to the engine. Covered end to end by tests/regex_options_test.cpp.
#pragma once

#include <cstddef>
#include <vector>

#include "filter/settings.h"
#include "regexp/regexp.h"

// RegexRunAborted ends a run after the engine reported an error. It deliberately derives
// from nothing, so no handler for std::exception can swallow it on the way to run_filter.
struct RegexRunAborted {};

// driver_regex_error writes "regexp(3): " and message (no line end) to the error stream and
// ends the run with status 1 by throwing RegexRunAborted. It never returns.
[[noreturn]] void driver_regex_error(const char* message);

// compile_pattern installs driver_regex_error and compiles settings.regex_source into
// settings.pattern, releasing an earlier pattern first. A pattern that does not compile
// throws, through the hook.
void compile_pattern(FilterSettings& settings);

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
