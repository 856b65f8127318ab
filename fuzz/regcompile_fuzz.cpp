// regcompile_fuzz.cpp: regcompile on any byte string.
//
// The input, cut at its first NUL, is the pattern; it is copied into a block of exactly
// its size so that a read past the terminating NUL is an ASan report. Then:
// - a record comes back with no message, or null comes back with exactly one message, and
//   that message is one a pattern can trigger (never "junk on end", "internal disaster",
//   "internal urp", "NULL argument" or "out of space");
// - a record's program passes check_program (format, links, groups, hints), and its group
//   count is the number of '(' found by a scan of the pattern that knows only escapes and sets;
// - a second compile of the same pattern gives the same bytes and hints, or the same
//   message: nothing carries over from one compile to the next;
// - a pattern without metacharacters compiles whenever it fits.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "support/capture_hook.h"

namespace {

// The largest literal that fits: magic, OP_ALT, OP_LITERAL with its NUL, OP_END.
constexpr size_t LONGEST_PLAIN_PATTERN = size_t(REGEXP_SIZE_LIMIT) - 1 - 3 - 3 - 1 - 3;

bool reachable_message(const std::string& message) {
    static const char* const REACHABLE[] = {
        "too many ()",  "unmatched ()",     "nested *?+",   "*+ operand could be empty", "trailing \\",
        "?+* follows nothing", "invalid [] range", "unmatched []", "regexp too big",
    };
    for (const char* text : REACHABLE) {
        if (message == text) return true;
    }
    return false;
}

// count_groups counts the '(' that open groups: not quoted by a backslash, not in a set.
// Sets follow the syntax: an optional '^', then a first member taken as is (so "[]" and
// "[-" hold ']' and '-'), then members up to ']'. Only called for patterns that compiled.
int count_groups(std::string_view pattern) {
    int groups = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            ++i;
        } else if (c == '[') {
            ++i;
            if (i < pattern.size() && pattern[i] == '^') ++i;
            if (i < pattern.size() && (pattern[i] == ']' || pattern[i] == '-')) ++i;
            while (i < pattern.size() && pattern[i] != ']') ++i;
        } else if (c == '(') {
            ++groups;
        }
    }
    return groups;
}

bool has_meta_char(std::string_view pattern) { return pattern.find_first_of("^$.[()|?+*\\") != std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    const size_t length = nul ? size_t(static_cast<const uint8_t*>(nul) - data) : size;
    std::unique_ptr<char[]> text(new char[length + 1]);
    std::memcpy(text.get(), data, length);
    text[length] = '\0';
    const std::string_view pattern(text.get(), length);

    CaptureHook hook;
    RegexpPtr first(regcompile(text.get()));
    const std::vector<std::string> first_messages = reported;

    if (first != nullptr) {
        if (!first_messages.empty())
            fuzz_fail("pattern \"%s\" compiled but reported \"%s\"", escape_bytes(pattern).c_str(),
                      escape_bytes(first_messages[0]).c_str());
        const ProgramShape shape = check_program(first.get(), pattern);
        if (shape.groups != count_groups(pattern))
            fuzz_fail("pattern \"%s\" has %d groups in its program, %d '(' in the text", escape_bytes(pattern).c_str(),
                      shape.groups, count_groups(pattern));
    } else {
        if (first_messages.size() != 1)
            fuzz_fail("pattern \"%s\" failed with %zu messages, not 1", escape_bytes(pattern).c_str(), first_messages.size());
        if (!reachable_message(first_messages[0]))
            fuzz_fail("pattern \"%s\" reported \"%s\", which no pattern should reach", escape_bytes(pattern).c_str(),
                      escape_bytes(first_messages[0]).c_str());
    }

    if (!has_meta_char(pattern) && length <= LONGEST_PLAIN_PATTERN && first == nullptr)
        fuzz_fail("plain pattern \"%s\" did not compile", escape_bytes(pattern).c_str());

    reported.clear();
    RegexpPtr second(regcompile(text.get()));
    if ((first == nullptr) != (second == nullptr) || reported != first_messages)
        fuzz_fail("pattern \"%s\" compiled differently the second time", escape_bytes(pattern).c_str());
    if (first != nullptr) {
        const size_t program_size = __sanitizer_get_allocated_size(first.get()) - sizeof(Regexp);
        const bool same_hints = first->first_char == second->first_char &&
                                first->anchored == second->anchored &&
                                first->must_length == second->must_length &&
                                (first->must_text == nullptr) == (second->must_text == nullptr) &&
                                (first->must_text == nullptr ||
                                 first->must_text - reinterpret_cast<const char*>(first->program) ==
                                     second->must_text - reinterpret_cast<const char*>(second->program));
        if (__sanitizer_get_allocated_size(second.get()) != __sanitizer_get_allocated_size(first.get()) ||
            std::memcmp(first->program, second->program, program_size) != 0 || !same_hints)
            fuzz_fail("pattern \"%s\" compiled to a different program the second time", escape_bytes(pattern).c_str());
    }
    return 0;
}
