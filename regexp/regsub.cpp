// regsub.cpp: template substitution from the slots of the last successful search.
//
// Entry points: regsub, which trusts the caller to provide room, and regsub_bounded, which
// is told the destination's size, measures first and writes only an expansion that fits.
// Both run the one routine expand_template, once to measure (no destination) and once to
// write, so the two forms can never disagree about a byte. Covered by regsub_test.
//
// Measuring must cost no more than the template and the line: a template of many
// references to one long slot describes an expansion that may be far larger than memory,
// and the caller has to learn that before anything walks it. So each slot's text is
// examined once per call (SlotTexts), and a reference adds its slot's length arithmetically.
#include <cstdint>
#include <cstring>

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

// SlotText is what one slot contributes: length bytes, of which the first text_length come
// from the line and the rest are NULs; text_length < length means the line now holds a NUL
// inside the slot. A backward slot has no bytes and is damaged.
struct SlotText {
    const char* start;
    size_t length;
    size_t text_length;
    bool damaged;
};

// SlotTexts examines a slot's text the first time the template refers to it and keeps the
// result for every later reference, in the measuring pass and the writing pass alike, so a
// call reads each slot's text at most once however many references there are.
class SlotTexts {
public:
    explicit SlotTexts(const Regexp* prog) : prog_(prog) {}

    // get returns slot n's text, or null when the slot is not set (it expands to nothing).
    const SlotText* get(int n) {
        if (!known_[n]) {
            known_[n] = true;
            set_[n] = examine(n);
        }
        return set_[n] ? &texts_[n] : nullptr;
    }

private:
    bool examine(int n) {
        const char* start = prog_->match_start[n];
        const char* end = prog_->match_end[n];
        if (start == nullptr || end == nullptr) return false;
        if (end < start) {
            texts_[n] = {start, 0, 0, true};
            return true;
        }
        size_t length = static_cast<size_t>(end - start);
        // memchr stops at the first NUL, so a shortened line is not read past its end.
        const void* nul = std::memchr(start, '\0', length);
        size_t text_length = nul == nullptr ? length : static_cast<size_t>(static_cast<const char*>(nul) - start);
        texts_[n] = {start, length, text_length, text_length < length};
        return true;
    }

    const Regexp* prog_;
    bool known_[REGEXP_GROUPS] = {};
    bool set_[REGEXP_GROUPS] = {};
    SlotText texts_[REGEXP_GROUPS] = {};
};

// add_length adds n to length, sticking at SIZE_MAX, so that an absurdly long expansion is
// reported as one no destination can hold rather than as a small wrapped-around size.
size_t add_length(size_t length, size_t n) { return n > SIZE_MAX - length ? SIZE_MAX : length + n; }

// expand_template expands tmpl from the slots into dest, or only measures when dest is
// null. A slot whose text ends early at a NUL (the line changed since the search) is copied
// as far as the NUL and padded with NULs to its length; the expansion stops right after it,
// without a terminating NUL. A slot whose end lies before its start cannot come from a
// search; it counts as damaged too and contributes no bytes.
Expansion expand_template(SlotTexts& slots, const char* tmpl, char* dest) {
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

        const SlotText* text = slots.get(slot);
        if (text == nullptr) continue;
        if (dest != nullptr) {
            std::memcpy(dest + length, text->start, text->text_length);
            std::memset(dest + length + text->text_length, '\0', text->length - text->text_length);
        }
        length = add_length(length, text->length);
        if (text->damaged) return {length, true};
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
    SlotTexts slots(prog);
    if (expand_template(slots, tmpl, dest).damaged) regreport(MSG_DAMAGED_MATCH);
}

size_t regsub_bounded(const Regexp* prog, const char* tmpl, char* dest, size_t dest_size) {
    if (!check_arguments(prog, tmpl, dest)) return 0;
    SlotTexts slots(prog);
    Expansion measured = expand_template(slots, tmpl, nullptr);
    // Writes what regsub would write, when it fits; a damaged expansion is still reported
    // after its bytes, so both forms leave the same destination behind. Both passes read
    // the same SlotTexts, so the measure already knows of any damage the write would meet.
    if (measured.length <= dest_size) expand_template(slots, tmpl, dest);
    if (measured.damaged) {
        regreport(MSG_DAMAGED_MATCH);
        return 0;
    }
    return measured.length;
}
