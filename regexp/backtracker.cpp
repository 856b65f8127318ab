// backtracker.cpp: the backtracking matcher. Entry points regsearch and regsearch_from; the
// worked examples and edge cases are in tests/matcher_test.cpp, and
// tests/matcher_diff_test.cpp compares every result and slot with the plain recursive
// reference matcher kept under tests/support.
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
#include <string>
#include <vector>

#include "regexp/analysis.h"
#include "regexp/messages.h"
#include "regexp/program.h"
#include "regexp/backtracker.h"

namespace {

// The failure memo of a search may use at most memo_budget_bytes plus
// memo_budget_per_position for every position of the line.
size_t memo_budget_bytes = DEFAULT_MEMO_BUDGET_BYTES;
size_t memo_budget_per_position = DEFAULT_MEMO_BUDGET_PER_POSITION;
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
// The failure memo. A choice point gets a row of bits, one per position 0..length, when it
// first fails in a search. A row is cut into chunks of up to 4,096 positions that are
// allocated only when a failure falls into them, so a choice point that fails at a few
// places of a long line costs a few hundred bytes, not a bit for every position.
// Rows and chunks are handed out while the budget lasts; failures past it go to a
// fixed-size lossy table.

class FailureMemo {
public:
    // reset forgets everything of the previous search (done at the start of each search,
    // so that a search abandoned by an error hook leaves nothing behind).
    void reset() {
        for (unsigned offset : touched_) row_of_offset_[offset] = UNASSIGNED;
        touched_.clear();
        directory_.clear();
        chunks_.clear();
        spilled_.clear();
        row_count_ = 0;
        words_per_row_ = 0;
        bytes_used_ = 0;
    }

    // failed tells whether node is recorded as failing at pos.
    bool failed(const unsigned char* node, const char* pos) const {
        size_t index = size_t(pos - search_line);
        int row = row_of(node);
        if (row == UNASSIGNED) return false;
        if (row >= 0) {
            if ((word(row, index) >> (index & 63)) & 1) return true;
            if (!spilled_[size_t(row)]) return false;
        }
        return lossy_failed(node, index);
    }

    // mark records that node fails at pos.
    void mark(const unsigned char* node, const char* pos) {
        size_t index = size_t(pos - search_line);
        int row = row_for_marking(node);
        if (row >= 0) {
            if (uint64_t* bits = writable_word(row, index)) {
                *bits |= uint64_t(1) << (index & 63);
                return;
            }
        }
        lossy_mark(node, index);
    }

    // mark_run records that the repetition node fails at every position from..to. Where
    // the budget runs short only some of them are recorded, which is still true.
    void mark_run(const unsigned char* node, const char* from, const char* to) {
        int row = row_for_marking(node);
        size_t first = size_t(from - search_line);
        size_t last = size_t(to - search_line);
        if (row < 0) return lossy_mark(node, first);
        for (size_t i = first; i <= last;) {
            uint64_t* bits = writable_word(row, i);
            if (bits == nullptr) return lossy_mark(node, first);
            size_t bit = i & 63;
            size_t span = std::min<size_t>(64 - bit, last - i + 1);
            *bits |= (span == 64 ? ~uint64_t(0) : ((uint64_t(1) << span) - 1)) << bit;
            i += span;
        }
    }

    // has_row tells whether node has exact records that first_marked_in_word can read.
    bool has_row(const unsigned char* node) const { return row_of(node) >= 0; }

    // first_marked_in_word returns the first position of node's row at or after index
    // that is marked, looking no further than the word that holds index; SIZE_MAX when
    // there is none there. Only exact records count: the lossy table is never read here.
    size_t first_marked_in_word(const unsigned char* node, size_t index) const {
        uint64_t bits = word(row_of(node), index) & (~uint64_t(0) << (index & 63));
        return bits ? (index & ~size_t(63)) + size_t(__builtin_ctzll(bits)) : SIZE_MAX;
    }

private:
    static constexpr int UNASSIGNED = -2;  // no failure recorded yet
    static constexpr int NO_ROW = -1;      // over budget: the lossy table only
    static constexpr size_t WORDS_PER_CHUNK = 64;

    struct LossyEntry {
        unsigned long long serial = 0;
        uint64_t key = 0;
    };

    size_t budget() const { return memo_budget_bytes + memo_budget_per_position * (line_length() + 1); }

    int row_of(const unsigned char* node) const {
        size_t offset = size_t(node - search_program);
        if (offset >= size_t(REGEXP_SIZE_LIMIT)) return NO_ROW;
        return row_of_offset_.empty() ? UNASSIGNED : row_of_offset_[offset];
    }

    int row_for_marking(const unsigned char* node) {
        int row = row_of(node);
        if (row != UNASSIGNED) return row;
        if (row_of_offset_.empty()) row_of_offset_.assign(REGEXP_SIZE_LIMIT, UNASSIGNED);
        if (words_per_row_ == 0) {
            words_per_row_ = (line_length() + 1 + 63) / 64;
            chunks_per_row_ = (words_per_row_ + WORDS_PER_CHUNK - 1) / WORDS_PER_CHUNK;
            words_per_chunk_ = std::min(words_per_row_, WORDS_PER_CHUNK);
        }
        size_t cost = chunks_per_row_ * sizeof(uint32_t);
        if (bytes_used_ + cost > budget()) {
            row = NO_ROW;
        } else {
            bytes_used_ += cost;
            directory_.resize(directory_.size() + chunks_per_row_, 0);
            spilled_.push_back(false);
            row = int(row_count_++);
        }
        size_t offset = size_t(node - search_program);
        row_of_offset_[offset] = row;
        touched_.push_back(unsigned(offset));
        return row;
    }

    // word returns the word of row that holds index (0 where no chunk is allocated).
    uint64_t word(int row, size_t index) const {
        size_t word_index = index >> 6;
        uint32_t chunk = directory_[size_t(row) * chunks_per_row_ + word_index / WORDS_PER_CHUNK];
        return chunk == 0 ? 0 : chunks_[(chunk - 1) * words_per_chunk_ + word_index % WORDS_PER_CHUNK];
    }

    // writable_word returns the word of row that holds index, allocating its chunk; null
    // (and the row marked as spilled) when the budget does not allow it.
    uint64_t* writable_word(int row, size_t index) {
        size_t word_index = index >> 6;
        uint32_t& chunk = directory_[size_t(row) * chunks_per_row_ + word_index / WORDS_PER_CHUNK];
        if (chunk == 0) {
            size_t cost = words_per_chunk_ * sizeof(uint64_t);
            if (bytes_used_ + cost > budget()) {
                spilled_[size_t(row)] = true;
                return nullptr;
            }
            bytes_used_ += cost;
            chunks_.resize(chunks_.size() + words_per_chunk_, 0);
            chunk = uint32_t(chunks_.size() / words_per_chunk_);
        }
        return &chunks_[(chunk - 1) * words_per_chunk_ + word_index % WORDS_PER_CHUNK];
    }

    bool lossy_failed(const unsigned char* node, size_t index) const {
        if (lossy_.empty()) return false;
        const LossyEntry& entry = lossy_[lossy_slot(node, index)];
        return entry.serial == search_serial && entry.key == lossy_key(node, index);
    }
    void lossy_mark(const unsigned char* node, size_t index) {
        if (lossy_.empty()) lossy_.resize(size_t(1) << LOSSY_TABLE_BITS);
        lossy_[lossy_slot(node, index)] = {search_serial, lossy_key(node, index)};
    }
    static uint64_t lossy_key(const unsigned char* node, size_t index) {
        return (uint64_t(node - search_program) << 48) ^ uint64_t(index);
    }
    static size_t lossy_slot(const unsigned char* node, size_t index) {
        return size_t((lossy_key(node, index) * 0x9E3779B97F4A7C15ull) >> (64 - LOSSY_TABLE_BITS));
    }

    std::vector<int> row_of_offset_;   // by program offset: a row, UNASSIGNED or NO_ROW
    std::vector<unsigned> touched_;    // offsets given a row or NO_ROW in this search
    std::vector<uint32_t> directory_;  // chunks_per_row_ entries per row: chunk number + 1, or 0
    std::vector<uint64_t> chunks_;     // words_per_chunk_ words per chunk
    std::vector<bool> spilled_;        // by row: some failures went to the lossy table
    std::vector<LossyEntry> lossy_;
    size_t row_count_ = 0;
    size_t words_per_row_ = 0;
    size_t chunks_per_row_ = 0;
    size_t words_per_chunk_ = 0;
    size_t bytes_used_ = 0;
};

FailureMemo failure_memo;

// ---------------------------------------------------------------------------------------
// Single-byte nodes.

// ByteClass is the repeated node of a simple repetition, prepared for counting runs.
struct ByteClass {
    enum Kind { any, literal, table, invalid } kind;
    unsigned char byte;  // for literal
    bool member[256];    // for table: node_accepts for every byte
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
    case OP_NONE_OF:
        result.kind = ByteClass::table;
        break;
    default:
        break;
    }
    for (int c = 0; c < 256; ++c) result.member[c] = node_accepts(node, static_cast<unsigned char>(c));
    return result;
}

// prepared_class returns the ByteClass of node. A repetition of a set is entered at many
// positions of a line, and the start-byte filter reads every single-byte node of a small
// program at each search, so the tables are kept across searches, by the node's place and
// checked against its content (opcode and operand): a record freed and another compiled at
// the same address never gets a stale table.
const ByteClass& prepared_class(const unsigned char* node) {
    struct Prepared {
        const unsigned char* node = nullptr;
        std::string content;  // opcode, then the operand text
        ByteClass cls;
    };
    static Prepared prepared[64];
    const char* operand = reinterpret_cast<const char*>(node_operand(node));
    const bool has_text = node_opcode(node) == OP_LITERAL || node_opcode(node) == OP_ONE_OF ||
                          node_opcode(node) == OP_NONE_OF;
    Prepared& entry = prepared[(reinterpret_cast<uintptr_t>(node) >> 1) % 64];
    if (entry.node == node && !entry.content.empty() && static_cast<unsigned char>(entry.content[0]) == node_opcode(node) &&
        (!has_text || std::strcmp(entry.content.c_str() + 1, operand) == 0))
        return entry.cls;
    entry.node = node;
    entry.content.assign(1, static_cast<char>(node_opcode(node)));
    if (has_text) entry.content += operand;
    entry.cls = byte_class_of(node);
    return entry.cls;
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
// position that the repetition node has already recorded as failed; *at_mark tells which
// stop it was.
size_t count_until_failed(const ByteClass& cls, const char* pos, const unsigned char* node, bool* at_mark) {
    const char* line_end = search_line + line_length();
    const char* cursor = pos;
    *at_mark = false;
    while (cursor < line_end) {
        size_t next_index = size_t(cursor - search_line) + 1;
        size_t marked = failure_memo.first_marked_in_word(node, next_index);
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
        failure_memo.mark(head, frame.pos);
    } else {
        failure_memo.mark_run(program_node(frame.node), frame.pos, frame.pos + repeat_stack.back().run);
        repeat_stack.pop_back();
    }
    walk_stack.pop_back();
}

// may_start tells whether node could match at a position holding byte; false only where
// its test is certain to fail, so skipping such a path changes nothing but the time.
bool may_start(const unsigned char* node, unsigned char byte) {
    switch (node_step(node).kind) {
    case NodeKind::BYTE:
    case NodeKind::LITERAL:
        return node_accepts(node, byte);
    case NodeKind::LINE_END:
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
            const NodeStep step = node_step(program_node(frame.node));
            if (step.kind == NodeKind::CHOICE) {
                const unsigned char* sister = step.next;
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
    if (failure_memo.failed(node, start)) return nullptr;

    const ByteClass& cls = prepared_class(node_operand(node));
    if (cls.kind == ByteClass::invalid) regreport(MSG_INTERNAL_FOULUP);

    RepeatState state{0, 0};
    if (cls.kind == ByteClass::invalid) {
        // Counts nothing: the repetition goes on as if it were not there.
    } else if (failure_memo.has_row(node)) {
        bool at_mark = false;
        size_t reach = count_until_failed(cls, start, node, &at_mark);
        // A failed entry at start + reach covers every count that ends at or after
        // start + reach + minimum; the counts left are the ones that end before it.
        state.count = at_mark ? reach + minimum - 1 : reach;
        state.run = at_mark ? reach - 1 : reach;
    } else {
        state.count = state.run = count_repeats(cls, start, search_line + line_length() + 1);
    }
    if (state.count < minimum) {
        failure_memo.mark_run(node, start, start + state.run);
        return nullptr;
    }
    if (state.count == minimum) {
        // One count to try: no choice to come back to.
        const unsigned char* next = next_node(node);
        search_pos = start + state.count;
        if (!lookahead_allows(next, search_pos)) return nullptr;
        if (next == nullptr) regreport(MSG_CORRUPTED_POINTERS);
        return next;
    }
    push_frame(Frame::repetition, node, 0, start);
    repeat_stack.push_back(state);
    if (const unsigned char* next = resume_repetition(true)) return next;
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
        const NodeStep step = node_step(node);
        const unsigned char* next = step.next;
        unsigned char byte = static_cast<unsigned char>(*search_pos);
        bool ok = true;
        switch (step.kind) {
        case NodeKind::END:
            commit_slots();
            return 1;
        case NodeKind::LINE_START:
            ok = search_pos == search_line;
            break;
        case NodeKind::LINE_END:
            ok = byte == 0;
            break;
        case NodeKind::BYTE:
            ok = node_accepts(node, byte);
            search_pos += ok;
            break;
        case NodeKind::LITERAL: {
            const char* text = reinterpret_cast<const char*>(node_operand(node));
            ok = node_accepts(node, byte);
            if (ok && text[1] != 0) {
                size_t length = std::strlen(text);
                ok = std::strncmp(text, search_pos, length) == 0;
                if (ok) search_pos += length;
            } else {
                search_pos += ok;
            }
            break;
        }
        case NodeKind::CHOICE: {
            // Alternatives whose first node would fail at once are passed over; a choice
            // is remembered only while two or more could still get somewhere.
            const unsigned char* alternative = node;
            while (alternative != nullptr && node_opcode(alternative) == OP_ALT &&
                   !may_start(node_operand(alternative), byte))
                alternative = next_node(alternative);
            if (alternative == nullptr || node_opcode(alternative) != OP_ALT) {
                ok = false;
                break;
            }
            if (any_may_start(next_node(alternative), byte)) {
                if (failure_memo.failed(node, search_pos)) {
                    ok = false;
                    break;
                }
                walk_stack.push_back(Frame{search_pos, program_offset(alternative),
                                           (unsigned(program_offset(node)) << 2) | Frame::alternatives});
            }
            next = node_operand(alternative);
            break;
        }
        case NodeKind::PASSAGE: {
            const unsigned char op = node_opcode(node);
            if (is_group_open(op))
                push_frame(Frame::group_open, node, op - OP_GROUP_OPEN, search_pos);
            else if (is_group_close(op))
                push_frame(Frame::group_close, node, op - OP_GROUP_CLOSE, search_pos);
            break;
        }
        case NodeKind::STAR:
        case NodeKind::PLUS:
            next = enter_repetition(node);
            ok = next != nullptr;
            break;
        case NodeKind::INVALID:
            regreport(MSG_MEMORY_CORRUPTION);
            ok = false;
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

// start_bytes_of returns the start bytes of program (analysis.h). The analysis is made once
// for each program: it is kept with a copy of the program's bytes, and used again while the
// program searched next holds the same bytes. The bytes are compared one at a time, from the
// start, so the comparison stops at the first that differs and reads no further into a
// program than that program's own walk would.
const StartBytes& start_bytes_of(const unsigned char* program) {
    struct Kept {
        const unsigned char* program = nullptr;
        std::vector<unsigned char> bytes;
        StartBytes start;
    };
    static Kept kept;
    if (kept.program == program) {
        size_t same = 0;
        while (same < kept.bytes.size() && program[same] == kept.bytes[same]) ++same;
        if (same == kept.bytes.size()) return kept.start;
    }
    kept.start = find_start_bytes(program);
    const ProgramExtent extent = inspect_program(program);
    if (extent.sound) {
        kept.program = program;
        kept.bytes.assign(program, program + extent.size);
    } else {
        kept.program = nullptr;  // a damaged program is analysed at every search
        kept.bytes.clear();
    }
    return kept.start;
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

// can_search tells whether a search of prog over line may begin, having reported why not.
bool can_search(const Regexp* prog, const char* line) {
    if (prog == nullptr || line == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return false;
    }
    if (prog->program[0] != REGEXP_MAGIC) {
        regreport(MSG_CORRUPTED_PROGRAM);
        return false;
    }
    return true;
}

// begin_search sets the module-level state for a search of prog over line.
void begin_search(const Regexp* prog, const char* line) {
    search_line = line;
    search_length_known = false;
    search_program = prog->program;
    ++search_serial;
    failure_memo.reset();
}

}  // namespace

MemoBudget regsearch_set_memo_budget(MemoBudget budget) {
    MemoBudget old{memo_budget_bytes, memo_budget_per_position};
    memo_budget_bytes = budget.bytes;
    memo_budget_per_position = budget.per_position;
    return old;
}

int regsearch(Regexp* prog, const char* line) {
    if (!can_search(prog, line)) return 0;
    if (prog->must_text != nullptr && !passes_must_filter(prog, line)) return 0;
    begin_search(prog, line);

    if (prog->anchored) return try_at(prog, line);
    if (prog->first_char != '\0') {
        for (const char* at = std::strchr(line, prog->first_char); at != nullptr;
             at = std::strchr(at + 1, prog->first_char)) {
            if (try_at(prog, at)) return 1;
        }
        return 0;
    }
    const char* end = line + line_length();
    const StartBytes& start = start_bytes_of(prog->program);
    if (!start.known) {
        for (const char* at = line;; ++at) {
            if (try_at(prog, at)) return 1;
            if (at == end) return 0;
        }
    }
    for (const char* at = line; at <= end; ++at) {
        if (start.can_start[static_cast<unsigned char>(*at)] && try_at(prog, at)) return 1;
    }
    // Every position was tried, if only by this filter: the slots end up unset as after
    // a failed try.
    std::fill(std::begin(prog->match_start), std::end(prog->match_start), nullptr);
    std::fill(std::begin(prog->match_end), std::end(prog->match_end), nullptr);
    return 0;
}

int regsearch_from(Regexp* prog, const char* line, const char* start) {
    if (!can_search(prog, start == nullptr ? nullptr : line)) return 0;
    begin_search(prog, line);
    return try_at(prog, start);
}
