// settings.cpp: banner, usage text, argument tests, the warnings, run description.
//
// Every argument is run through every test in a fixed order; the option words are such
// that at most one test fires. An option's value is the rest of the same argument, and an
// argument that passes no test is ignored without a message. Covered by
// tests/cli_test.cpp and tests/regex_options_test.cpp.
#include "filter/settings.h"

#include <cstdio>
#include <cstring>

namespace {

unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c; }

// BANNER_NOTICE is the short notice between the tool name and the help hint.
constexpr const char* BANNER_NOTICE = "text line filter, version 1.0";

// warn_pattern_with_find_strings drops the find strings when a pattern is present, with a
// warning: the pattern alone selects.
void warn_pattern_with_find_strings(FilterSettings& settings) {
    if (settings.pattern && settings.find_count > 0) {
        std::fputs("WARNING: -reg specified: ignoring -f...\n", stderr);
        settings.find_count = 0;
    }
}

// warn_template_without_pattern warns that a -sub without a -reg is never used.
void warn_template_without_pattern(const FilterSettings& settings) {
    if (settings.sub_template && !settings.pattern) std::fputs("WARNING: -reg not specified: ignoring -sub...\n", stderr);
}

// describe_pattern returns the pattern's piece of the run description, or "" without one.
std::string describe_pattern(const FilterSettings& settings) {
    if (!settings.pattern) return {};
    std::string text = "regular expression \"" + *settings.regex_source + "\" ";
    if (settings.sub_template) text += ", replace with \"" + *settings.sub_template + "\" ";
    return text;
}

}  // namespace

bool option_starts_with(const char* arg, const char* word) {
    for (; *word != '\0'; ++arg, ++word) {
        if (ascii_lower(static_cast<unsigned char>(*arg)) != ascii_lower(static_cast<unsigned char>(*word))) return false;
    }
    return true;  // a shorter arg fails above at its NUL, which equals no letter of word
}

bool option_equals(const char* arg, const char* word) {
    return std::strlen(arg) == std::strlen(word) && option_starts_with(arg, word);
}

void lower_ascii_in_place(std::string& text) {
    for (char& c : text) c = static_cast<char>(ascii_lower(static_cast<unsigned char>(c)));
}

void print_banner(const char* program_path) {
    std::fprintf(stderr, "Quarnel %s   (type '%s -?' for help)\n", BANNER_NOTICE, program_path);
}

void print_usage(const char* program_path) {
    std::fprintf(stderr,
                 "\n"
                 "Usage:\n"
                 "    %s [options] <INFILE\n"
                 "    %s [options] <INFILE >OUTFILE\n"
                 "    Type *.txt | %s [options] >OUTFILE\n"
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
                 "Regular expressions are based on Kelvane's REGEXP library.\n",
                 program_path, program_path, program_path);
}

bool parse_arguments(int argc, char** argv, FilterSettings& settings, PatternCompiler compile) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-?") == 0) return false;
        if (option_equals(arg, "-lc")) settings.to_lower = true;
        if (option_equals(arg, "-ln")) settings.line_numbers = true;
        if (option_equals(arg, "-uc")) settings.to_upper = true;
        if (option_equals(arg, "-ic")) settings.ignore_case = true;
        if (option_equals(arg, "-iv")) settings.invert = true;
        if (option_equals(arg, "-v")) settings.verbose = true;
        if (option_starts_with(arg, "-reg")) {
            settings.regex_source = std::string(arg + 4);
            compile(settings);
        }
        if (option_starts_with(arg, "-sub")) settings.sub_template = std::string(arg + 4);
        if (settings.find_count < MAX_FIND_STRINGS && option_starts_with(arg, "-f")) {
            settings.find_strings[settings.find_count] = arg + 2;
            ++settings.find_count;
        }
    }
    return true;
}

void finish_settings(FilterSettings& settings) {
    warn_pattern_with_find_strings(settings);
    if (settings.ignore_case) {
        for (int32_t i = 0; i < settings.find_count; ++i) lower_ascii_in_place(settings.find_strings[i]);
    }
    warn_template_without_pattern(settings);
}

std::string describe_run(const FilterSettings& settings) {
    std::string text = "Match ";
    if (settings.invert) text += "NOT ";
    text += describe_pattern(settings);
    if (settings.find_count > 0) {
        for (int32_t i = 0; i < settings.find_count; ++i) {
            text += '"';
            text += settings.find_strings[i];
            text += '"';
            if (i + 1 < settings.find_count) text += " or ";
        }
        if (settings.ignore_case) text += " (ignore case) ";
    }
    text += '\n';
    return text;
}
