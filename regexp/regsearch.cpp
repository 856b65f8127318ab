// regsearch.cpp: the matcher. Entry point regsearch; the worked examples and edge cases are
// in tests/matcher_test.cpp, and tests/matcher_diff_test.cpp compares every result and slot
// with the plain recursive reference matcher kept under tests/support.
//
// A search tries start positions from left to right; a try walks the node program, and on
// failure returns to the most recent open choice: an alternative not yet tried, or a simple
// repetition that can give back one more byte. Two things keep that walk safe on any line:
//
// - The open choices and the group nodes passed live on an explicit stack on the heap, not
//   on the machine stack, so the depth of a walk is bounded by memory, not by the stack.
//   Group slots are written when a try succeeds, by reading that stack from its top down,
//   each slot only while still unset: the last passage through a group node wins.
//
// - Whether the walk from a given node at a given position reaches OP_END depends on
//   nothing else (slots are written only on success). So a choice point (a chain of
//   alternatives or a simple repetition) that has failed at a position is remembered for
//   the rest of the search, across tries, and fails at once when it is met there again.
//   Every (choice point, position) pair is explored at most once, which keeps a search to
//   about program size x line length steps. The memory for that is one bit per choice
//   point and position, taken from a budget (memo_budget_bytes); choice points beyond the
//   budget fall back to a fixed-size lossy table, which can forget failures but never
//   invents one, so the result is the same and only the time bound is lost.
//
// A simple repetition that has failed at position q has, by the same argument, failed for
// every position of the run of matching bytes from q on: entering it again inside that
// run fails at once, and entering it before that run only tries the counts that end
// before it. The counts that are tried keep their defined order, longest first.
#include <algorithm>
#include <cstring>
#include <vector>

#include "regexp/messages.h"
#include "regexp/program.h"
#include "regexp/regsearch_tuning.h"

namespace {

// The whole failure memo of a search: rows of bits may use at most this much memory.
size_t memo_budget_bytes = DEFAULT_MEMO_BUDGET_BYTES;
constexpr int LOSSY_TABLE_BITS = 16;

// Module-level state of the search in progress.
const char* search_line;        // the start of the line: the only place OP_LINE_START matches
const char* search_pos;         // where the walk stands
const char** search_starts;     // the match_start slots of the record under test
const char** search_ends;       // the match_end slots
size_t search_length;           // strlen(search_line), computed when first needed
bool search_length_known;
const unsigned char* search_program;
unsigned long long search_serial;  // tells the lossy table's entries of this search from older ones

size_t line_length() {
    if (!search_length_known) {
        search_length = std::strlen(search_line);
        search_length_known = true;
    }
    return search_length;
}

// ---------------------------------------------------------------------------------------
// The failure memo. A choice point gets a row of bits, one per position 0..length, the
// first time it is met in a search; rows are handed out while the budget lasts.

class FailureMemo {
public:
    static constexpr int NO_ROW = -1;

    // reset forgets every row of the previous search (done at the start of each search,
    // so that a search abandoned by an error hook leaves nothing behind).
    void reset() {
        for (unsigned offset : touched_) row_of_offset_[offset] = UNASSIGNED;
        touched_.clear();
        row_count_ = 0;
        words_per_row_ = 0;
    }

    // row_for returns node's row, making one if the budget allows; NO_ROW otherwise.
    int row_for(const unsigned char* node) {
        size_t offset = size_t(node - search_program);
        if (offset >= size_t(REGEXP_SIZE_LIMIT)) return NO_ROW;
        if (row_of_offset_.empty()) row_of_offset_.assign(REGEXP_SIZE_LIMIT, UNASSIGNED);
        int row = row_of_offset_[offset];
        if (row != UNASSIGNED) return row;
        if (words_per_row_ == 0) words_per_row_ = (line_length() + 1 + 63) / 64;
        size_t needed = (row_count_ + 1) * words_per_row_;
        if (needed * sizeof(uint64_t) > memo_budget_bytes) {
            row = NO_ROW;
        } else {
            if (bits_.size() < needed) {
                size_t budget_words = memo_budget_bytes / sizeof(uint64_t);
                bits_.resize(std::min(std::max(needed, bits_.size() * 2), budget_words));
            }
            std::memset(&bits_[row_count_ * words_per_row_], 0, words_per_row_ * sizeof(uint64_t));
            row = int(row_count_++);
        }
        row_of_offset_[offset] = row;
        touched_.push_back(unsigned(offset));
        return row;
    }

    bool failed(int row, const unsigned char* node, const char* pos) const {
        size_t index = size_t(pos - search_line);
        if (row >= 0) return (word(row, index) >> (index & 63)) & 1;
        if (lossy_.empty()) return false;
        const LossyEntry& entry = lossy_[lossy_slot(node, index)];
        return entry.serial == search_serial && entry.key == lossy_key(node, index);
    }

    void mark(int row, const unsigned char* node, const char* pos) {
        size_t index = size_t(pos - search_line);
        if (row >= 0) {
            word(row, index) |= uint64_t(1) << (index & 63);
            return;
        }
        if (lossy_.empty()) lossy_.resize(size_t(1) << LOSSY_TABLE_BITS);
        lossy_[lossy_slot(node, index)] = {search_serial, lossy_key(node, index)};
    }

    // mark_range marks positions from..to (inclusive) of a row.
    void mark_range(int row, const char* from, const char* to) {
        for (size_t i = size_t(from - search_line), last = size_t(to - search_line); i <= last;) {
            if ((i & 63) == 0 && i + 63 <= last) {
                word(row, i) = ~uint64_t(0);
                i += 64;
            } else {
                word(row, i) |= uint64_t(1) << (i & 63);
                ++i;
            }
        }
    }

    // first_marked_from returns the first marked position of row at or after index, looking
    // no further than the word that holds index; SIZE_MAX when there is none in that word.
    size_t first_marked_in_word(int row, size_t index) const {
        uint64_t bits = word(row, index) & (~uint64_t(0) << (index & 63));
        return bits ? (index & ~size_t(63)) + size_t(__builtin_ctzll(bits)) : SIZE_MAX;
    }

private:
    static constexpr int UNASSIGNED = -2;
    struct LossyEntry {
        unsigned long long serial = 0;
        uint64_t key = 0;
    };

    uint64_t& word(int row, size_t index) { return bits_[size_t(row) * words_per_row_ + (index >> 6)]; }
    uint64_t word(int row, size_t index) const { return bits_[size_t(row) * words_per_row_ + (index >> 6)]; }
    static uint64_t lossy_key(const unsigned char* node, size_t index) {
        return (uint64_t(node - search_program) << 48) ^ uint64_t(index);
    }
    static size_t lossy_slot(const unsigned char* node, size_t index) {
        return size_t((lossy_key(node, index) * 0x9E3779B97F4A7C15ull) >> (64 - LOSSY_TABLE_BITS));
    }

    std::vector<int> row_of_offset_;
    std::vector<unsigned> touched_;
    std::vector<uint64_t> bits_;
    std::vector<LossyEntry> lossy_;
    size_t row_count_ = 0;
    size_t words_per_row_ = 0;
};

FailureMemo failure_memo;

// ---------------------------------------------------------------------------------------
// Single-byte nodes.

bool in_set(const unsigned char* set, unsigned char byte) {
    return byte != 0 && std::strchr(reinterpret_cast<const char*>(set), byte) != nullptr;
}

// ByteClass is the repeated node of a simple repetition, prepared for counting runs.
struct ByteClass {
    enum Kind { any, literal, table, invalid } kind;
    unsigned char byte;  // for literal
    bool member[256];    // for table; member[0] is always false
};

ByteClass byte_class_of(const unsigned char* node) {
    ByteClass result;
    result.kind = ByteClass::invalid;
    result.byte = 0;
    switch (node_opcode(node)) {
    case OP_ANY:
        result.kind = ByteClass::any;
        break;
    case OP_LITERAL:
        result.kind = ByteClass::literal;
        result.byte = node_operand(node)[0];
        break;
    case OP_ONE_OF:
    case OP_NONE_OF: {
        bool none_of = node_opcode(node) == OP_NONE_OF;
        result.kind = ByteClass::table;
        std::fill(std::begin(result.member), std::end(result.member), none_of);
        for (const unsigned char* member = node_operand(node); *member; ++member) result.member[*member] = !none_of;
        result.member[0] = false;
        break;
    }
    default:
        break;
    }
    return result;
}

// count_repeats counts the bytes from pos on that cls matches, but not at or past limit.
size_t count_repeats(const ByteClass& cls, const char* pos, const char* limit) {
    const char* p = pos;
    switch (cls.kind) {
    case ByteClass::any: {
        const char* end = search_line + line_length();
        return size_t(std::min(end, limit) - pos);
    }
    case ByteClass::literal:
        while (p < limit && static_cast<unsigned char>(*p) == cls.byte && *p) ++p;
        break;
    case ByteClass::table:
        while (p < limit && cls.member[static_cast<unsigned char>(*p)]) ++p;
        break;
    case ByteClass::invalid:
        break;
    }
    return size_t(p - pos);
}

// count_until_failed counts from pos like count_repeats, and also stops on reaching a
// position that row has already marked as failed; *at_mark tells which stop it was.
size_t count_until_failed(const ByteClass& cls, const char* pos, int row, bool* at_mark) {
    const char* line_end = search_line + line_length();
    const char* cursor = pos;
    *at_mark = false;
    while (cursor < line_end) {
        size_t next_index = size_t(cursor - search_line) + 1;
        size_t marked = failure_memo.first_marked_in_word(row, next_index);
        size_t word_end = (next_index | 63) + 1;
        const char* limit = search_line + std::min(std::min(marked, word_end), line_length() + 1);
        const char* reach = cursor + count_repeats(cls, cursor, limit);
        if (reach < limit) return size_t(reach - pos);
        cursor = reach;
        if (marked != SIZE_MAX && size_t(reach - search_line) == marked) {
            *at_mark = true;
            return size_t(reach - pos);
        }
    }
    return size_t(cursor - pos);
}

// ---------------------------------------------------------------------------------------
// The walk.

// Frame is one entry of the walk's stack: an open choice, or a group node passed. A long
// line can put millions of them on the stack, so a frame is kept to 16 bytes: nodes are
// offsets into the program, and a repetition keeps its counts in a parallel stack.
struct Frame {
    enum Kind : unsigned { alternatives, repetition, group_open, group_close };
    const char* pos;  // alternatives: the position before them; repetition: its start; group: the position
    int32_t node;     // alternatives: the OP_ALT being tried; repetition: its OP_SIMPLE_ node
    uint32_t tag;     // Kind in the low 2 bits; above them the chain's first OP_ALT or the group number

    Kind kind() const { return Kind(tag & 3); }
    unsigned payload() const { return tag >> 2; }
};

// RepeatState is the part of a repetition's frame that does not fit in a Frame.
struct RepeatState {
    size_t count;  // the count being tried
    size_t run;    // once exhausted, positions start..start+run are known to fail
    int memo_row;
};

std::vector<Frame> walk_stack;
std::vector<RepeatState> repeat_stack;

const unsigned char* program_node(int32_t offset) { return search_program + offset; }
int32_t program_offset(const unsigned char* node) { return int32_t(node - search_program); }

void push_frame(Frame::Kind kind, const unsigned char* node, unsigned payload, const char* pos) {
    walk_stack.push_back(Frame{pos, program_offset(node), (payload << 2) | kind});
}

// commit_slots writes the group slots of a successful try: frames from the top down,
// each slot only while it is still unset.
void commit_slots() {
    for (auto frame = walk_stack.rbegin(); frame != walk_stack.rend(); ++frame) {
        if (frame->kind() == Frame::group_open) {
            if (search_starts[frame->payload()] == nullptr) search_starts[frame->payload()] = frame->pos;
        } else if (frame->kind() == Frame::group_close) {
            if (search_ends[frame->payload()] == nullptr) search_ends[frame->payload()] = frame->pos;
        }
    }
}

// lookahead_allows tells whether a repetition should try the rest at pos: when the rest
// begins with a literal, only where its first byte stands.
bool lookahead_allows(const unsigned char* next, const char* pos) {
    return next == nullptr || node_opcode(next) != OP_LITERAL ||
           static_cast<unsigned char>(*pos) == node_operand(next)[0];
}

// resume_repetition moves the repetition on top of the stack to the next count worth
// trying (the current one first when first is set). It returns the node to go on with,
// having set search_pos, or null when the repetition is exhausted.
const unsigned char* resume_repetition(bool first) {
    const Frame& frame = walk_stack.back();
    RepeatState& state = repeat_stack.back();
    const unsigned char* node = program_node(frame.node);
    const unsigned char* next = next_node(node);
    size_t minimum = node_opcode(node) == OP_SIMPLE_PLUS ? 1 : 0;
    for (;; first = false) {
        if (!first) {
            if (state.count <= minimum) return nullptr;
            --state.count;
        }
        const char* pos = frame.pos + state.count;
        if (!lookahead_allows(next, pos)) continue;
        search_pos = pos;
        if (next != nullptr) return next;
        regreport(MSG_CORRUPTED_POINTERS);
    }
}

// pop_exhausted records the exhausted choice on top of the stack in the failure memo and
// pops it.
void pop_exhausted() {
    const Frame& frame = walk_stack.back();
    if (frame.kind() == Frame::alternatives) {
        const unsigned char* head = program_node(int32_t(frame.payload()));
        failure_memo.mark(failure_memo.row_for(head), head, frame.pos);
    } else {
        const RepeatState& state = repeat_stack.back();
        if (state.memo_row >= 0) {
            failure_memo.mark_range(state.memo_row, frame.pos, frame.pos + state.run);
        } else {
            failure_memo.mark(state.memo_row, program_node(frame.node), frame.pos);
        }
        repeat_stack.pop_back();
    }
    walk_stack.pop_back();
}

// may_start tells whether node could match at a position holding byte; false only where
// its test is certain to fail, so skipping such a path changes nothing but the time.
bool may_start(const unsigned char* node, unsigned char byte) {
    switch (node_opcode(node)) {
    case OP_LITERAL:
        return node_operand(node)[0] == byte;
    case OP_ANY:
        return byte != 0;
    case OP_ONE_OF:
        return in_set(node_operand(node), byte);
    case OP_NONE_OF:
        return byte != 0 && !in_set(node_operand(node), byte);
    case OP_LINE_END:
        return byte == 0;
    default:
        return true;
    }
}

// any_may_start tells whether any alternative of the chain from sister on could start at
// a position holding byte.
bool any_may_start(const unsigned char* sister, unsigned char byte) {
    for (; sister != nullptr && node_opcode(sister) == OP_ALT; sister = next_node(sister)) {
        if (may_start(node_operand(sister), byte)) return true;
    }
    return false;
}

// backtrack pops the stack to the most recent choice with something left to try and
// returns the node to go on with (search_pos set), or null when the try has failed.
const unsigned char* backtrack() {
    while (!walk_stack.empty()) {
        Frame& frame = walk_stack.back();
        switch (frame.kind()) {
        case Frame::alternatives: {
            const unsigned char* sister = next_node(program_node(frame.node));
            if (sister != nullptr && node_opcode(sister) == OP_ALT) {
                frame.node = program_offset(sister);
                search_pos = frame.pos;
                return node_operand(sister);
            }
            break;
        }
        case Frame::repetition:
            if (const unsigned char* next = resume_repetition(false)) return next;
            break;
        case Frame::group_open:
        case Frame::group_close:
            walk_stack.pop_back();
            continue;
        }
        pop_exhausted();
    }
    return nullptr;
}

// enter_repetition starts the simple repetition at node from search_pos. It returns the
// node to go on with, or null when no count can succeed there.
const unsigned char* enter_repetition(const unsigned char* node) {
    const char* start = search_pos;
    size_t minimum = node_opcode(node) == OP_SIMPLE_PLUS ? 1 : 0;
    int row = failure_memo.row_for(node);
    if (failure_memo.failed(row, node, start)) return nullptr;

    ByteClass cls = byte_class_of(node_operand(node));
    if (cls.kind == ByteClass::invalid) regreport(MSG_INTERNAL_FOULUP);

    RepeatState state{0, 0, row};
    if (row >= 0 && cls.kind != ByteClass::invalid) {
        bool at_mark = false;
        size_t reach = count_until_failed(cls, start, row, &at_mark);
        // A failed entry at start + reach covers every count that ends at or after
        // start + reach + minimum; the counts left are the ones that end before it.
        state.count = at_mark ? reach + minimum - 1 : reach;
        state.run = at_mark ? reach - 1 : reach;
    } else {
        state.count = count_repeats(cls, start, search_line + line_length() + 1);
        state.run = cls.kind == ByteClass::invalid ? 0 : state.count;
    }
    push_frame(Frame::repetition, node, 0, start);
    repeat_stack.push_back(state);
    if (state.count >= minimum) {
        if (const unsigned char* next = resume_repetition(true)) return next;
    }
    pop_exhausted();
    return nullptr;
}

// match_nodes walks from node at search_pos until OP_END (1) or until every choice on the
// stack above its base is exhausted (0).
int match_nodes(const unsigned char* node) {
    for (;;) {
        if (node == nullptr) {
            regreport(MSG_CORRUPTED_POINTERS);
            node = backtrack();
            if (node == nullptr) return 0;
            continue;
        }
        const unsigned char* next = next_node(node);
        unsigned char op = node_opcode(node);
        unsigned char byte = static_cast<unsigned char>(*search_pos);
        bool ok = true;
        switch (op) {
        case OP_END:
            commit_slots();
            return 1;
        case OP_LINE_START:
            ok = search_pos == search_line;
            break;
        case OP_LINE_END:
            ok = byte == 0;
            break;
        case OP_ANY:
            ok = byte != 0;
            search_pos += ok;
            break;
        case OP_ONE_OF:
            ok = in_set(node_operand(node), byte);
            search_pos += ok;
            break;
        case OP_NONE_OF:
            ok = byte != 0 && !in_set(node_operand(node), byte);
            search_pos += ok;
            break;
        case OP_LITERAL: {
            const char* text = reinterpret_cast<const char*>(node_operand(node));
            ok = static_cast<unsigned char>(text[0]) == byte;
            if (ok && text[1] != 0) {
                size_t length = std::strlen(text);
                ok = std::strncmp(text, search_pos, length) == 0;
                if (ok) search_pos += length;
            } else {
                search_pos += ok;
            }
            break;
        }
        case OP_ALT:
            if (next == nullptr || node_opcode(next) != OP_ALT) {
                next = node_operand(node);  // a single alternative: no choice to remember
                break;
            }
            if (failure_memo.failed(failure_memo.row_for(node), node, search_pos)) {
                ok = false;
                break;
            }
            // Remember the choice only if a later alternative could get past its first node.
            if (any_may_start(next, byte))
                push_frame(Frame::alternatives, node, unsigned(program_offset(node)), search_pos);
            next = node_operand(node);
            break;
        case OP_LOOP:
        case OP_EMPTY:
            break;
        case OP_SIMPLE_STAR:
        case OP_SIMPLE_PLUS:
            next = enter_repetition(node);
            ok = next != nullptr;
            break;
        default:
            if (is_group_open(op)) {
                push_frame(Frame::group_open, node, op - OP_GROUP_OPEN, search_pos);
            } else if (is_group_close(op)) {
                push_frame(Frame::group_close, node, op - OP_GROUP_CLOSE, search_pos);
            } else {
                regreport(MSG_MEMORY_CORRUPTION);
                ok = false;
            }
            break;
        }
        if (ok) {
            node = next;
        } else {
            node = backtrack();
            if (node == nullptr) return 0;
        }
    }
}

// try_at makes one attempt to match with the match beginning at pos.
int try_at(Regexp* prog, const char* pos) {
    search_pos = pos;
    search_starts = prog->match_start;
    search_ends = prog->match_end;
    std::fill(std::begin(prog->match_start), std::end(prog->match_start), nullptr);
    std::fill(std::begin(prog->match_end), std::end(prog->match_end), nullptr);
    walk_stack.clear();
    repeat_stack.clear();
    if (match_nodes(prog->program + 1) == 0) return 0;
    prog->match_start[0] = pos;
    prog->match_end[0] = search_pos;
    return 1;
}

// passes_must_filter tells whether line contains prog's must_text.
bool passes_must_filter(const Regexp* prog, const char* line) {
    const char* text = prog->must_text;
    size_t length = size_t(prog->must_length);
    for (const char* at = std::strchr(line, text[0]); at != nullptr; at = std::strchr(at + 1, text[0])) {
        if (std::strncmp(at, text, length) == 0) return true;
    }
    return false;
}

}  // namespace

size_t regsearch_set_memo_budget(size_t bytes) {
    size_t old = memo_budget_bytes;
    memo_budget_bytes = bytes;
    return old;
}

int regsearch(Regexp* prog, const char* line) {
    if (prog == nullptr || line == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return 0;
    }
    if (prog->program[0] != REGEXP_MAGIC) {
        regreport(MSG_CORRUPTED_PROGRAM);
        return 0;
    }
    if (prog->must_text != nullptr && !passes_must_filter(prog, line)) return 0;

    search_line = line;
    search_length_known = false;
    search_program = prog->program;
    ++search_serial;
    failure_memo.reset();

    if (prog->anchored) return try_at(prog, line);
    if (prog->first_char != '\0') {
        for (const char* at = std::strchr(line, prog->first_char); at != nullptr;
             at = std::strchr(at + 1, prog->first_char)) {
            if (try_at(prog, at)) return 1;
        }
        return 0;
    }
    const char* end = line + line_length();
    for (const char* at = line;; ++at) {
        if (try_at(prog, at)) return 1;
        if (at == end) return 0;
    }
}
