// regsub.cpp: template substitution from the slots of the last successful search.
//
// Entry points: regsub, which trusts the caller to provide room, and regsub_bounded, which
// is told the destination's size, measures first and writes only an expansion that fits.
// Both run the one routine expand_template, once to measure (no destination) and once to
// write, so the two forms can never disagree about a byte. Covered by regsub_test.
#include <cstdint>

#include "regexp/messages.h"
#include "regexp/program.h"
#include "regexp/regexp.h"

namespace {

// Expansion is what expand_template produced: its length in bytes (the terminating NUL
// included when the template was finished) and whether a slot's text held a NUL.
struct Expansion {
    size_t length;
    bool damaged;
};

// add_length adds n to length, sticking at SIZE_MAX, so that an absurdly long expansion is
// reported as one no destination can hold rather than as a small wrapped-around size.
size_t add_length(size_t length, size_t n) { return n > SIZE_MAX - length ? SIZE_MAX : length + n; }

// expand_template expands tmpl from prog's slots into dest, or only measures when dest is
// null. A slot whose text ends early at a NUL (the line changed since the search) is copied
// as far as the NUL and padded with NULs to its length; the expansion stops right after it,
// without a terminating NUL. A slot whose end lies before its start cannot come from a
// search; it counts as damaged too and contributes no bytes.
Expansion expand_template(const Regexp* prog, const char* tmpl, char* dest) {
    size_t length = 0;
    for (const char* src = tmpl; *src != '\0';) {
        char c = *src++;
        int slot = -1;
        if (c == '&') {
            slot = 0;
        } else if (c == '\\' && *src >= '0' && *src <= '9') {
            slot = *src++ - '0';
        } else if (c == '\\' && (*src == '\\' || *src == '&')) {
            c = *src++;
        }
        if (slot < 0) {
            if (dest != nullptr) dest[length] = c;
            length = add_length(length, 1);
            continue;
        }

        const char* start = prog->match_start[slot];
        const char* end = prog->match_end[slot];
        if (start == nullptr || end == nullptr) continue;
        if (end < start) return {length, true};
        size_t slot_length = static_cast<size_t>(end - start);
        size_t text_length = 0;  // bytes before a NUL, reading no further than the NUL
        while (text_length < slot_length && start[text_length] != '\0') ++text_length;
        if (dest != nullptr) {
            for (size_t i = 0; i < slot_length; ++i) dest[length + i] = i < text_length ? start[i] : '\0';
        }
        length = add_length(length, slot_length);
        if (text_length < slot_length) return {length, true};
    }
    if (dest != nullptr) dest[length] = '\0';
    return {add_length(length, 1), false};
}

// check_arguments reports the first problem with regsub's arguments; false when there is one.
bool check_arguments(const Regexp* prog, const char* tmpl, const char* dest) {
    if (prog == nullptr || tmpl == nullptr || dest == nullptr) {
        regreport(MSG_NULL_SUB_PARAMETER);
        return false;
    }
    if (prog->program == nullptr || prog->program[0] != REGEXP_MAGIC) {
        regreport(MSG_DAMAGED_REGEXP);
        return false;
    }
    return true;
}

}  // namespace

void regsub(const Regexp* prog, const char* tmpl, char* dest) {
    if (!check_arguments(prog, tmpl, dest)) return;
    if (expand_template(prog, tmpl, dest).damaged) regreport(MSG_DAMAGED_MATCH);
}

size_t regsub_bounded(const Regexp* prog, const char* tmpl, char* dest, size_t dest_size) {
    if (!check_arguments(prog, tmpl, dest)) return 0;
    Expansion measured = expand_template(prog, tmpl, nullptr);
    // Writes what regsub would write, when it fits; a damaged expansion is still reported
    // after its bytes, so both forms leave the same destination behind.
    if (measured.length <= dest_size) expand_template(prog, tmpl, dest);
    if (measured.damaged) {
        regreport(MSG_DAMAGED_MATCH);
        return 0;
    }
    return measured.length;
}
