// reference_matcher.cpp: the literal, recursive reading of the matcher's rules (test-only).
//
// Every step below mirrors one rule of the matcher: regsearch's prefilters, try_at,
// match_nodes with its opcode table, chains of alternatives, simple repetitions with the
// lookahead byte, count_repeats and the group nodes. Nothing is optimised, so that a
// reader can check it line by line against the rules; the real matcher in
// regexp/backtracker.cpp is then checked against this file by matcher_diff_test.
// The only addition is the step budget, which turns a search that would run for
// minutes into REFERENCE_GAVE_UP instead of changing its result.
#include "support/reference_matcher.h"

#include <cstring>

#include "regexp/program.h"

namespace {

// The matcher's module-level state, kept apart from the real matcher's.
const char* search_pos;
const char* search_line;
const char** search_starts;
const char** search_ends;

int64_t steps_left;
bool gave_up;

// spend_step charges one pass of the node walk to the budget; false once it is spent.
bool spend_step() {
    if (gave_up) return false;
    if (--steps_left < 0) {
        gave_up = true;
        return false;
    }
    return true;
}

bool set_holds(const unsigned char* set, unsigned char byte) {
    return std::strchr(reinterpret_cast<const char*>(set), byte) != nullptr;
}

int count_repeats(const unsigned char* node) {
    const char* scan = search_pos;
    const unsigned char* operand = node_operand(node);
    switch (node_opcode(node)) {
    case OP_ANY:
        while (*scan != '\0') ++scan;
        break;
    case OP_LITERAL:
        while (*scan != '\0' && static_cast<unsigned char>(*scan) == operand[0]) ++scan;
        break;
    case OP_ONE_OF:
        while (*scan != '\0' && set_holds(operand, static_cast<unsigned char>(*scan))) ++scan;
        break;
    case OP_NONE_OF:
        while (*scan != '\0' && !set_holds(operand, static_cast<unsigned char>(*scan))) ++scan;
        break;
    default:
        regreport("internal foulup");
        return 0;
    }
    int count = static_cast<int>(scan - search_pos);
    search_pos = scan;
    return count;
}

int match_nodes(const unsigned char* node) {
    for (;;) {
        if (!spend_step()) return 0;
        if (node == nullptr) {
            regreport("corrupted pointers");
            return 0;
        }
        const unsigned char* next = next_node(node);
        const unsigned char op = node_opcode(node);
        const unsigned char byte = static_cast<unsigned char>(*search_pos);
        switch (op) {
        case OP_END:
            return 1;
        case OP_LINE_START:
            if (search_pos != search_line) return 0;
            break;
        case OP_LINE_END:
            if (byte != '\0') return 0;
            break;
        case OP_ANY:
            if (byte == '\0') return 0;
            ++search_pos;
            break;
        case OP_ONE_OF:
            if (byte == '\0' || !set_holds(node_operand(node), byte)) return 0;
            ++search_pos;
            break;
        case OP_NONE_OF:
            if (byte == '\0' || set_holds(node_operand(node), byte)) return 0;
            ++search_pos;
            break;
        case OP_ALT:
            if (next == nullptr || node_opcode(next) != OP_ALT) {
                next = node_operand(node);  // a single alternative: no choice
                break;
            }
            for (const unsigned char* alt = node;;) {
                const char* saved = search_pos;
                if (match_nodes(node_operand(alt))) return 1;
                search_pos = saved;
                alt = next_node(alt);
                if (alt == nullptr || node_opcode(alt) != OP_ALT) return 0;
            }
        case OP_LOOP:
        case OP_EMPTY:
            break;
        case OP_LITERAL: {
            const char* text = reinterpret_cast<const char*>(node_operand(node));
            if (static_cast<unsigned char>(text[0]) != byte) return 0;
            size_t length = std::strlen(text);
            if (length > 1 && std::strncmp(text, search_pos, length) != 0) return 0;
            search_pos += length;
            break;
        }
        case OP_SIMPLE_STAR:
        case OP_SIMPLE_PLUS: {
            const bool has_lookahead = next != nullptr && node_opcode(next) == OP_LITERAL;
            const unsigned char lookahead = has_lookahead ? node_operand(next)[0] : 0;
            const int minimum = op == OP_SIMPLE_STAR ? 0 : 1;
            const char* start = search_pos;
            int n = count_repeats(node_operand(node));
            if (n < minimum) return 0;
            while (n >= minimum) {
                search_pos = start + n;
                if (!has_lookahead || static_cast<unsigned char>(*search_pos) == lookahead) {
                    if (match_nodes(next)) return 1;
                }
                --n;
            }
            return 0;
        }
        default:
            if (is_group_open(op) || is_group_close(op)) {
                const char* saved = search_pos;
                if (!match_nodes(next)) return 0;
                if (is_group_open(op)) {
                    const int n = op - OP_GROUP_OPEN;
                    if (search_starts[n] == nullptr) search_starts[n] = saved;
                } else {
                    const int n = op - OP_GROUP_CLOSE;
                    if (search_ends[n] == nullptr) search_ends[n] = saved;
                }
                return 1;
            }
            regreport("memory corruption");
            return 0;
        }
        node = next;
    }
}

int try_at(Regexp* prog, const char* pos) {
    search_pos = pos;
    search_starts = prog->match_start;
    search_ends = prog->match_end;
    for (int i = 0; i < REGEXP_GROUPS; ++i) {
        prog->match_start[i] = nullptr;
        prog->match_end[i] = nullptr;
    }
    if (!match_nodes(prog->program + 1)) return 0;
    prog->match_start[0] = pos;
    prog->match_end[0] = search_pos;
    return 1;
}

// must_text_occurs is the must-contain filter: the literal somewhere in the line.
bool must_text_occurs(const Regexp* prog, const char* line) {
    for (const char* at = std::strchr(line, prog->must_text[0]); at != nullptr;
         at = std::strchr(at + 1, prog->must_text[0])) {
        if (std::strncmp(at, prog->must_text, static_cast<size_t>(prog->must_length)) == 0) return true;
    }
    return false;
}

int search(Regexp* prog, const char* line, const ReferenceOptions& options) {
    if (prog == nullptr || line == nullptr) {
        regreport("NULL parameter");
        return 0;
    }
    if (prog->program[0] != REGEXP_MAGIC) {
        regreport("corrupted program");
        return 0;
    }
    if (options.use_prefilters && prog->must_text != nullptr && !must_text_occurs(prog, line)) return 0;
    search_line = line;
    if (options.use_prefilters && prog->anchored) return try_at(prog, line);
    if (options.use_prefilters && prog->first_char != '\0') {
        for (const char* at = std::strchr(line, prog->first_char); at != nullptr;
             at = std::strchr(at + 1, prog->first_char)) {
            if (try_at(prog, at)) return 1;
            if (gave_up) return 0;
        }
        return 0;
    }
    for (const char* at = line;; ++at) {
        if (try_at(prog, at)) return 1;
        if (gave_up || *at == '\0') return 0;
    }
}

}  // namespace

int reference_search(Regexp* prog, const char* line, const ReferenceOptions& options) {
    steps_left = options.step_budget;
    gave_up = false;
    const int result = search(prog, line, options);
    return gave_up ? REFERENCE_GAVE_UP : result;
}

int reference_search(Regexp* prog, const char* line) {
    return reference_search(prog, line, ReferenceOptions{});
}
