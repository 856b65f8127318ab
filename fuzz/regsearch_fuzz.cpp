// regsearch_fuzz.cpp: compile, search, then both forms of substitution.
//
// Input: pattern NUL line NUL template (the template takes the rest; a missing field is
// empty). Each text is copied into a block of exactly its size, NUL included, so that ASan
// sees any read past it. For a pattern that compiles:
// - no engine message is reported by the search or the substitutions;
// - after a match every slot is both set or both null, start <= end, inside the line;
//   slot 0 is set; slots above the pattern's group count are null;
// - searching the same line again gives the same result and slots;
// - regsub_bounded reports the expansion's size; into a heap block of exactly that size
//   it writes the expansion (an overrun by one byte is an ASan report), into one byte
//   less it writes nothing; regsub into a large block writes the same text; and the text
//   is the one a plain reading of the template language gives.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "support/capture_hook.h"

namespace {

// exact_copy returns text in a heap block of exactly text.size() + 1 bytes.
std::unique_ptr<char[]> exact_copy(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

// expected_expansion reads the template language literally: & and \0-\9 are slots, \\ and
// \& the quoted byte, any other backslash stands for itself.
std::string expected_expansion(const Regexp* re, const char* tmpl) {
    std::string out;
    auto append_slot = [&](int n) {
        if (re->match_start[n] != nullptr && re->match_end[n] != nullptr)
            out.append(re->match_start[n], size_t(re->match_end[n] - re->match_start[n]));
    };
    for (const char* at = tmpl; *at != '\0';) {
        const char c = *at++;
        if (c == '&') {
            append_slot(0);
        } else if (c == '\\' && *at >= '0' && *at <= '9') {
            append_slot(*at++ - '0');
        } else if (c == '\\' && (*at == '\\' || *at == '&')) {
            out += *at++;
        } else {
            out += c;
        }
    }
    return out;
}

void check_slots(const Regexp* re, const char* line, size_t length, int groups, std::string_view pattern) {
    auto fail = [&](int n, const char* what) {
        fuzz_fail("pattern \"%s\" on line \"%s\": slot %d %s", escape_bytes(pattern).c_str(),
                  escape_bytes(std::string_view(line, length)).c_str(), n, what);
    };
    if (re->match_start[0] == nullptr) fail(0, "not set after a match");
    for (int n = 0; n < REGEXP_GROUPS; ++n) {
        const char* start = re->match_start[n];
        const char* end = re->match_end[n];
        if ((start == nullptr) != (end == nullptr)) fail(n, "has one end set and the other null");
        if (start == nullptr) continue;
        if (n > groups) fail(n, "set for a group the pattern does not have");
        if (start > end) fail(n, "starts after its end");
        if (start < line || end > line + length) fail(n, "lies outside the line");
        if (n > 0 && (start < re->match_start[0] || end > re->match_end[0])) fail(n, "lies outside the whole match");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> fields = split_at_nul(data, size, 3);
    const std::unique_ptr<char[]> pattern = exact_copy(fields[0]);
    // The line and template end at their first NUL, as C strings do.
    const std::string line_text(fields[1].c_str());
    const std::string tmpl_text(fields[2].c_str());
    const std::unique_ptr<char[]> line = exact_copy(line_text);
    const std::unique_ptr<char[]> tmpl = exact_copy(tmpl_text);
    const size_t length = line_text.size();

    CaptureHook hook;
    RegexpPtr compiled(regcompile(pattern.get()));
    Regexp* re = compiled.get();
    if (re == nullptr) return 0;
    const ProgramShape shape = check_program(re, fields[0]);
    auto no_messages = [&](const char* step) {
        if (!reported.empty())
            fuzz_fail("pattern \"%s\" on line \"%s\": %s reported \"%s\"", escape_bytes(fields[0]).c_str(),
                      escape_bytes(line_text).c_str(), step, escape_bytes(reported[0]).c_str());
    };

    const int matched = regsearch(re, line.get());
    no_messages("regsearch");
    if (matched != 0 && matched != 1) fuzz_fail("regsearch returned %d", matched);

    const char* starts[REGEXP_GROUPS];
    const char* ends[REGEXP_GROUPS];
    std::memcpy(starts, re->match_start, sizeof starts);
    std::memcpy(ends, re->match_end, sizeof ends);
    if (regsearch(re, line.get()) != matched || std::memcmp(starts, re->match_start, sizeof starts) != 0 ||
        std::memcmp(ends, re->match_end, sizeof ends) != 0)
        fuzz_fail("pattern \"%s\" on line \"%s\": a second search gave another result", escape_bytes(fields[0]).c_str(),
                  escape_bytes(line_text).c_str());
    if (matched == 0) return 0;
    check_slots(re, line.get(), length, shape.groups, fields[0]);

    // Measure: a destination of size 0 gets nothing and learns the size.
    char untouched = 'U';
    const size_t needed = regsub_bounded(re, tmpl.get(), &untouched, 0);
    no_messages("regsub_bounded (measuring)");
    const std::string expected = expected_expansion(re, tmpl.get());
    if (untouched != 'U') fuzz_fail("template \"%s\": regsub_bounded wrote into a destination of size 0", escape_bytes(tmpl_text).c_str());
    if (needed != expected.size() + 1)
        fuzz_fail("template \"%s\": regsub_bounded measured %zu bytes, expected %zu", escape_bytes(tmpl_text).c_str(), needed,
                  expected.size() + 1);

    // Exactly large enough: the expansion, and not a byte more.
    std::unique_ptr<char[]> exact(new char[needed]);
    if (regsub_bounded(re, tmpl.get(), exact.get(), needed) != needed || std::memcmp(exact.get(), expected.c_str(), needed) != 0)
        fuzz_fail("template \"%s\": regsub_bounded into %zu bytes wrote the wrong text", escape_bytes(tmpl_text).c_str(), needed);
    no_messages("regsub_bounded");

    // One byte short: nothing written.
    std::unique_ptr<char[]> short_dest(new char[needed]);
    std::memset(short_dest.get(), 'S', needed);
    if (regsub_bounded(re, tmpl.get(), short_dest.get(), needed - 1) != needed ||
        std::string_view(short_dest.get(), needed) != std::string(needed, 'S'))
        fuzz_fail("template \"%s\": regsub_bounded wrote into a destination too small", escape_bytes(tmpl_text).c_str());
    no_messages("regsub_bounded (too small)");

    // The unbounded form into a generous block, with a margin that must stay untouched.
    constexpr size_t MARGIN = 64;
    std::unique_ptr<char[]> large(new char[needed + MARGIN]);
    std::memset(large.get(), 'M', needed + MARGIN);
    regsub(re, tmpl.get(), large.get());
    no_messages("regsub");
    if (std::memcmp(large.get(), exact.get(), needed) != 0 ||
        std::string_view(large.get() + needed, MARGIN) != std::string(MARGIN, 'M'))
        fuzz_fail("template \"%s\": regsub and regsub_bounded disagree", escape_bytes(tmpl_text).c_str());
    return 0;
}
