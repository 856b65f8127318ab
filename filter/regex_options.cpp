// regex_options.cpp: -reg, -sub, the engine's error hook and the two warnings.
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

void apply_regex_options(const char* arg, FilterSettings& settings) {
    if (option_starts_with(arg, "-reg")) {
        settings.regex_source = std::string(arg + 4);
        regsethook(driver_regex_error);
        // An earlier pattern is released first; it is no longer used by anything.
        settings.pattern.reset();
        settings.pattern.reset(regcompile(settings.regex_source->c_str()));
    }
    if (option_starts_with(arg, "-sub")) settings.sub_template = std::string(arg + 4);
}

void warn_pattern_with_find_strings(FilterSettings& settings) {
    if (settings.pattern && settings.find_count > 0) {
        std::fputs("WARNING: -reg specified: ignoring -f...\n", stderr);
        settings.find_count = 0;
    }
}

void warn_template_without_pattern(const FilterSettings& settings) {
    if (settings.sub_template && !settings.pattern) std::fputs("WARNING: -reg not specified: ignoring -sub...\n", stderr);
}

std::string describe_pattern(const FilterSettings& settings) {
    if (!settings.pattern) return {};
    std::string text = "regular expression \"" + *settings.regex_source + "\" ";
    if (settings.sub_template) text += ", replace with \"" + *settings.sub_template + "\" ";
    return text;
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
