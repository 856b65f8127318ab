// regcompile.cpp: the pattern compiler, pattern text -> Regexp with its byte-coded program.
//
// Entry point: regcompile. A recursive-descent parser (alternation, branch, piece, atom)
// emits program nodes while it reads. It runs twice over the same text: the sizing pass
// writes nothing and only counts bytes (emit_pos holds SIZING_MARKER), and reports every
// syntax error before any memory is taken; then one block is allocated for the record and
// exactly that many program bytes, and the emission pass writes the program. Last, three
// search hints are read off the finished program. Links between nodes are relative, so
// insert_node can slide a just-parsed operand three bytes along without fixing anything.
//
// The parse recurses once per group, and the tenth '(' is refused as it is read, so the
// depth is at most ten alternations whatever the pattern's length.
// Covered by compiler_test (golden dumps, raw bytes, messages, random-pattern invariants).
#include <cstdlib>
#include <cstring>

#include "regexp/messages.h"
#include "regexp/program.h"
#include "regexp/regexp.h"

namespace {

// The characters that end a literal run.
constexpr char META_CHARS[] = "^$.[()|?+*\\";

// Parse state of the compile in progress; reset at the start of each pass.
const char* parse_cursor;    // the next unread pattern character
int next_group;              // the number the next group gets
unsigned char* emit_pos;     // where the next program byte goes; SIZING_MARKER while sizing
int32_t program_size;        // bytes counted by the sizing pass

bool sizing() { return emit_pos == SIZING_MARKER; }

bool is_repeat_operator(char c) { return c == '*' || c == '+' || c == '?'; }

// count_bytes adds n to program_size. The count stops growing at REGEXP_SIZE_LIMIT: any
// program that large is refused anyway, and the sizing pass must still read a pattern of
// any length to the end (to find its syntax errors) without the count overflowing.
void count_bytes(int32_t n) {
    program_size = program_size >= REGEXP_SIZE_LIMIT - n ? REGEXP_SIZE_LIMIT : program_size + n;
}

// emit_node appends a node header with no next node and returns the node.
unsigned char* emit_node(unsigned char op) {
    if (sizing()) {
        count_bytes(NODE_HEADER_SIZE);
        return SIZING_MARKER;
    }
    unsigned char* node = emit_pos;
    node[0] = op;
    node[1] = 0;
    node[2] = 0;
    emit_pos += NODE_HEADER_SIZE;
    return node;
}

// emit_byte appends one operand byte.
void emit_byte(unsigned char b) {
    if (sizing()) {
        count_bytes(1);
        return;
    }
    *emit_pos++ = b;
}

// insert_node puts a node header in front of operand, which must be the last thing emitted:
// the operand moves three bytes on and the new node takes its place.
void insert_node(unsigned char op, unsigned char* operand) {
    if (sizing()) {
        count_bytes(NODE_HEADER_SIZE);
        return;
    }
    std::memmove(operand + NODE_HEADER_SIZE, operand, static_cast<size_t>(emit_pos - operand));
    operand[0] = op;
    operand[1] = 0;
    operand[2] = 0;
    emit_pos += NODE_HEADER_SIZE;
}

// link_tail points the last node of the chain that starts at node at target.
void link_tail(unsigned char* node, unsigned char* target) {
    if (node == nullptr || node == SIZING_MARKER) return;
    unsigned char* tail = node;
    for (unsigned char* next = next_node(tail); next != nullptr; next = next_node(tail)) tail = next;
    ptrdiff_t offset = node_opcode(tail) == OP_LOOP ? tail - target : target - tail;
    tail[1] = static_cast<unsigned char>((offset >> 8) & 0xFF);
    tail[2] = static_cast<unsigned char>(offset & 0xFF);
}

// link_operand_tail points the end of an OP_ALT node's alternative at target; other nodes
// have no alternative and are left alone.
void link_operand_tail(unsigned char* node, unsigned char* target) {
    if (node == nullptr || node == SIZING_MARKER || node_opcode(node) != OP_ALT) return;
    link_tail(node_operand(node), target);
}

unsigned char* parse_alternation(bool in_group, int* flags);

// parse_set reads a bracket set; the cursor stands just after '['.
unsigned char* parse_set(int* flags) {
    unsigned char* node;
    if (*parse_cursor == '^') {
        ++parse_cursor;
        node = emit_node(OP_NONE_OF);
    } else {
        node = emit_node(OP_ONE_OF);
    }
    // A leading ']' or '-' is a member, which is how a set holds either.
    if (*parse_cursor == ']' || *parse_cursor == '-') emit_byte(static_cast<unsigned char>(*parse_cursor++));
    while (*parse_cursor != '\0' && *parse_cursor != ']') {
        if (*parse_cursor != '-') {
            emit_byte(static_cast<unsigned char>(*parse_cursor++));
            continue;
        }
        ++parse_cursor;
        if (*parse_cursor == ']' || *parse_cursor == '\0') {
            emit_byte('-');
            continue;
        }
        // A range: its low bound is the byte before the '-', already a member.
        unsigned low = static_cast<unsigned char>(parse_cursor[-2]);
        unsigned high = static_cast<unsigned char>(*parse_cursor);
        if (low > high) {
            regreport(MSG_INVALID_RANGE);
            return nullptr;
        }
        for (unsigned b = low + 1; b <= high; ++b) emit_byte(static_cast<unsigned char>(b));
        ++parse_cursor;
    }
    emit_byte('\0');
    if (*parse_cursor != ']') {
        regreport(MSG_UNMATCHED_BRACKET);
        return nullptr;
    }
    ++parse_cursor;
    *flags = FLAG_WIDTH | FLAG_SIMPLE;
    return node;
}

// parse_literal_run reads the longest stretch of ordinary bytes as one OP_LITERAL.
unsigned char* parse_literal_run(int* flags) {
    size_t length = std::strcspn(parse_cursor, META_CHARS);
    if (length == 0) {
        regreport(MSG_INTERNAL_DISASTER);
        return nullptr;
    }
    // An operator after a run applies to its last byte alone, which the next atom reads.
    if (length > 1 && is_repeat_operator(parse_cursor[length])) --length;
    unsigned char* node = emit_node(OP_LITERAL);
    for (size_t i = 0; i < length; ++i) emit_byte(static_cast<unsigned char>(parse_cursor[i]));
    emit_byte('\0');
    parse_cursor += length;
    *flags = length == 1 ? FLAG_WIDTH | FLAG_SIMPLE : FLAG_WIDTH;
    return node;
}

// parse_atom reads one atom and returns its first node.
unsigned char* parse_atom(int* flags) {
    *flags = 0;
    switch (*parse_cursor) {
    case '^':
        ++parse_cursor;
        return emit_node(OP_LINE_START);
    case '$':
        ++parse_cursor;
        return emit_node(OP_LINE_END);
    case '.':
        ++parse_cursor;
        *flags = FLAG_WIDTH | FLAG_SIMPLE;
        return emit_node(OP_ANY);
    case '[':
        ++parse_cursor;
        return parse_set(flags);
    case '(': {
        ++parse_cursor;
        int group_flags;
        unsigned char* node = parse_alternation(true, &group_flags);
        if (node == nullptr) return nullptr;
        *flags = group_flags & (FLAG_WIDTH | FLAG_STARSTART);
        return node;
    }
    case '\0':
    case '|':
    case ')':
        regreport(MSG_INTERNAL_URP);  // parse_branch stops before these
        return nullptr;
    case '?':
    case '+':
    case '*':
        regreport(MSG_REPEAT_FOLLOWS_NOTHING);
        return nullptr;
    case '\\': {
        ++parse_cursor;
        if (*parse_cursor == '\0') {
            regreport(MSG_TRAILING_BACKSLASH);
            return nullptr;
        }
        unsigned char* node = emit_node(OP_LITERAL);
        emit_byte(static_cast<unsigned char>(*parse_cursor++));
        emit_byte('\0');
        *flags = FLAG_WIDTH | FLAG_SIMPLE;
        return node;
    }
    default:
        return parse_literal_run(flags);
    }
}

// parse_piece reads an atom and the repetition operator after it, if any.
unsigned char* parse_piece(int* flags) {
    int atom_flags;
    unsigned char* atom = parse_atom(&atom_flags);
    if (atom == nullptr) return nullptr;
    char op = *parse_cursor;
    if (!is_repeat_operator(op)) {
        *flags = atom_flags;
        return atom;
    }
    if (op != '?' && !(atom_flags & FLAG_WIDTH)) {
        regreport(MSG_EMPTY_REPEAT);
        return nullptr;
    }
    *flags = op == '+' ? FLAG_WIDTH : FLAG_STARSTART;

    if (op == '*' && (atom_flags & FLAG_SIMPLE)) {
        insert_node(OP_SIMPLE_STAR, atom);
    } else if (op == '+' && (atom_flags & FLAG_SIMPLE)) {
        insert_node(OP_SIMPLE_PLUS, atom);
    } else if (op == '*') {
        // A1 (alternative: x, then LOOP back to A1), A2 (alternative: EMPTY).
        insert_node(OP_ALT, atom);
        unsigned char* alt = atom;
        link_operand_tail(alt, emit_node(OP_LOOP));
        link_operand_tail(alt, alt);
        link_tail(alt, emit_node(OP_ALT));
        link_tail(alt, emit_node(OP_EMPTY));
    } else if (op == '+') {
        // x, A1 (alternative: LOOP back to x), A2 (alternative: EMPTY).
        unsigned char* alt = emit_node(OP_ALT);
        link_tail(atom, alt);
        unsigned char* loop = emit_node(OP_LOOP);
        link_tail(loop, atom);
        link_tail(alt, emit_node(OP_ALT));
        link_tail(atom, emit_node(OP_EMPTY));
    } else {
        // A1 (alternative: x), A2 (alternative: EMPTY); both lead to the EMPTY node.
        insert_node(OP_ALT, atom);
        unsigned char* alt = atom;
        link_tail(alt, emit_node(OP_ALT));
        unsigned char* empty = emit_node(OP_EMPTY);
        link_tail(alt, empty);
        link_operand_tail(alt, empty);
    }

    ++parse_cursor;
    if (is_repeat_operator(*parse_cursor)) {
        regreport(MSG_NESTED_REPEAT);
        return nullptr;
    }
    return atom;
}

// parse_branch reads one alternative: an OP_ALT node whose operand is the chain of pieces.
unsigned char* parse_branch(int* flags) {
    *flags = 0;
    unsigned char* branch = emit_node(OP_ALT);
    unsigned char* previous = nullptr;
    while (*parse_cursor != '\0' && *parse_cursor != '|' && *parse_cursor != ')') {
        int piece_flags;
        unsigned char* piece = parse_piece(&piece_flags);
        if (piece == nullptr) return nullptr;
        *flags |= piece_flags & FLAG_WIDTH;
        if (previous == nullptr)
            *flags |= piece_flags & FLAG_STARSTART;
        else
            link_tail(previous, piece);
        previous = piece;
    }
    if (previous == nullptr) emit_node(OP_EMPTY);
    return branch;
}

// parse_alternation reads a whole pattern (top level) or the inside of a group, up to and
// including its ')', and returns its first node: the group open node or the first OP_ALT.
unsigned char* parse_alternation(bool in_group, int* flags) {
    *flags = FLAG_WIDTH;
    int group = 0;
    unsigned char* first = nullptr;
    if (in_group) {
        if (next_group >= REGEXP_GROUPS) {
            regreport(MSG_TOO_MANY_GROUPS);
            return nullptr;
        }
        group = next_group++;
        first = emit_node(static_cast<unsigned char>(OP_GROUP_OPEN + group));
    }

    int branch_flags;
    unsigned char* branch = parse_branch(&branch_flags);
    if (branch == nullptr) return nullptr;
    if (in_group)
        link_tail(first, branch);
    else
        first = branch;
    for (;;) {
        if (!(branch_flags & FLAG_WIDTH)) *flags &= ~FLAG_WIDTH;
        *flags |= branch_flags & FLAG_STARSTART;
        if (*parse_cursor != '|') break;
        ++parse_cursor;
        branch = parse_branch(&branch_flags);
        if (branch == nullptr) return nullptr;
        link_tail(first, branch);
    }

    int closing_op = in_group ? OP_GROUP_CLOSE + group : OP_END;
    unsigned char* closing = emit_node(static_cast<unsigned char>(closing_op));
    link_tail(first, closing);
    // The last node of every alternative leads on to the closing node.
    for (unsigned char* node = first; node != nullptr; node = next_node(node)) link_operand_tail(node, closing);

    if (in_group) {
        if (*parse_cursor != ')') {
            regreport(MSG_UNMATCHED_PAREN);
            return nullptr;
        }
        ++parse_cursor;
    } else if (*parse_cursor != '\0') {
        regreport(*parse_cursor == ')' ? MSG_UNMATCHED_PAREN : MSG_JUNK_ON_END);
        return nullptr;
    }
    return first;
}

// set_hints fills first_char, anchored and must_text from the finished program. Only a
// pattern with a single top-level alternative gets any.
void set_hints(Regexp* re, int flags) {
    re->first_char = '\0';
    re->anchored = 0;
    re->must_text = nullptr;
    re->must_length = 0;

    unsigned char* top = re->program + 1;
    const unsigned char* after_top = next_node(top);
    if (after_top == nullptr || node_opcode(after_top) != OP_END) return;

    unsigned char* first = node_operand(top);
    if (node_opcode(first) == OP_LITERAL)
        re->first_char = static_cast<char>(node_operand(first)[0]);
    else if (node_opcode(first) == OP_LINE_START)
        re->anchored = 1;

    // A pattern that begins with an optional piece gets no first_char; instead the longest
    // top-level literal (the later one on a tie) lets the matcher skip lines that lack it.
    // Following next links only, the walk never enters a group, an alternative or a
    // repetition, so every literal it sees is part of every match.
    if (!(flags & FLAG_STARSTART)) return;
    size_t best = 0;
    for (unsigned char* node = first; node != nullptr; node = next_node(node)) {
        if (node_opcode(node) != OP_LITERAL) continue;
        const char* text = reinterpret_cast<const char*>(node_operand(node));
        size_t length = std::strlen(text);
        if (length >= best) {
            re->must_text = text;
            best = length;
        }
    }
    re->must_length = static_cast<int32_t>(best);
}

}  // namespace

Regexp* regcompile(const char* pattern) {
    if (pattern == nullptr) {
        regreport(MSG_NULL_ARGUMENT);
        return nullptr;
    }

    // Sizing pass: find every syntax error and count the program's bytes.
    parse_cursor = pattern;
    next_group = 1;
    program_size = 0;
    emit_pos = SIZING_MARKER;
    emit_byte(REGEXP_MAGIC);
    int flags;
    if (parse_alternation(false, &flags) == nullptr) return nullptr;
    if (program_size >= REGEXP_SIZE_LIMIT) {
        regreport(MSG_TOO_BIG);
        return nullptr;
    }

    // One block: the record, then its program.
    void* block = std::malloc(sizeof(Regexp) + static_cast<size_t>(program_size));
    if (block == nullptr) {
        regreport(MSG_OUT_OF_SPACE);
        return nullptr;
    }
    Regexp* re = static_cast<Regexp*>(block);
    re->program = reinterpret_cast<unsigned char*>(re + 1);
    // Nothing reads the slots before a successful search; clear them all the same so that a
    // record never holds stray pointers.
    for (int i = 0; i < REGEXP_GROUPS; ++i) {
        re->match_start[i] = nullptr;
        re->match_end[i] = nullptr;
    }

    // Emission pass: the same parse from the same state, now writing.
    parse_cursor = pattern;
    next_group = 1;
    emit_pos = re->program;
    emit_byte(REGEXP_MAGIC);
    if (parse_alternation(false, &flags) == nullptr) {
        std::free(block);
        return nullptr;
    }

    set_hints(re, flags);
    return re;
}
