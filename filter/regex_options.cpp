// regex_options.cpp: compiling a -reg pattern, the engine's error hook, template expansion.
//
// The hook throws instead of exiting so that a run can end early without ending the
// process: run_filter catches RegexRunAborted, flushes what the loop already wrote and
// returns 1, and main returns that through the normal exit path.
#include "filter/regex_options.h"

#include <cstdio>

#include "regexp/regexp.h"

void driver_regex_error(const char* message) {
    std::fprintf(stderr, "regexp(3): %s", message);
    throw RegexRunAborted{};
}

void compile_pattern(FilterSettings& settings) {
    regsethook(driver_regex_error);
    // An earlier pattern is released first; it is no longer used by anything.
    settings.pattern.reset();
    settings.pattern.reset(regcompile(settings.regex_source->c_str()));
}

void release_regex_state(const FilterSettings& settings) {
    if (settings.regex_source) regsethook(nullptr);
}

TemplateExpander::TemplateExpander() : area_(LINE_BUFFER_SIZE) {}

char* TemplateExpander::expand(const Regexp* pattern, const char* tmpl, size_t& length) {
    size_t needed = regsub_bounded(pattern, tmpl, area_.data(), area_.size());
    if (needed > area_.size()) {  // measured, not written: grow to the whole expansion
        area_.resize(needed);
        needed = regsub_bounded(pattern, tmpl, area_.data(), area_.size());
    }
    // 0 means the engine reported an error; the hook has normally ended the run already.
    if (needed == 0 || needed > area_.size()) throw RegexRunAborted{};
    length = needed - 1;
    return area_.data();
}
