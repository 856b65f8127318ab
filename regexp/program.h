// program.h: the byte-coded program shared by the compiler and the matcher (internal).
//
// Byte 0 is REGEXP_MAGIC; from byte 1 on come nodes. Every node is a 3-byte header
// (opcode, next offset high byte, next offset low byte) followed by its operand. The next
// offset is relative to the node's first byte: backward for OP_LOOP, forward otherwise,
// 0 for "no next node". Relative links let the compiler move an operand as a whole.
#pragma once

#include <cstring>

#include "regexp/regexp.h"

constexpr unsigned char REGEXP_MAGIC = 0x9C;
constexpr int REGEXP_SIZE_LIMIT = 32767;  // a program this size or larger is refused

enum Opcode : unsigned char {
    OP_END = 0,            // end of the program: the match succeeds
    OP_LINE_START = 1,     // empty, only at the start of the text
    OP_LINE_END = 2,       // empty, only at the terminating NUL
    OP_ANY = 3,            // any one byte but the end
    OP_ONE_OF = 4,         // one byte of the NUL-terminated set operand
    OP_NONE_OF = 5,        // one byte not in the set, not the end
    OP_ALT = 6,            // operand: one alternative; linked OP_ALTs are the choices
    OP_LOOP = 7,           // empty; its link points backward and closes a repetition
    OP_LITERAL = 8,        // the NUL-terminated text operand, byte for byte
    OP_EMPTY = 9,          // empty
    OP_SIMPLE_STAR = 10,   // operand: one single-byte node, repeated 0 or more times, greedy
    OP_SIMPLE_PLUS = 11,   // operand: one single-byte node, repeated 1 or more times, greedy
    OP_GROUP_OPEN = 20,    // + n (1..9): group n begins
    OP_GROUP_CLOSE = 30,   // + n (1..9): group n ends
};

// Flags a parse step returns about what it parsed.
enum CompileFlag : int {
    FLAG_WIDTH = 1,      // never matches the empty string
    FLAG_SIMPLE = 2,     // one single-byte node: may be repeated by OP_SIMPLE_STAR / OP_SIMPLE_PLUS
    FLAG_STARSTART = 4,  // begins with a piece that carries * or ?
};

// The compiler's sizing pass hands this out as its node reference; it is never a program position.
inline unsigned char sizing_marker_byte;
inline unsigned char* const SIZING_MARKER = &sizing_marker_byte;

constexpr int NODE_HEADER_SIZE = 3;

inline unsigned char node_opcode(const unsigned char* node) { return node[0]; }
inline unsigned next_offset(const unsigned char* node) { return (unsigned(node[1]) << 8) | node[2]; }
inline unsigned char* node_operand(unsigned char* node) { return node + NODE_HEADER_SIZE; }
inline const unsigned char* node_operand(const unsigned char* node) { return node + NODE_HEADER_SIZE; }

// next_node returns the node that node's link leads to, or null when it has none.
inline unsigned char* next_node(unsigned char* node) {
    if (node == nullptr || node == SIZING_MARKER) return nullptr;
    unsigned offset = next_offset(node);
    if (offset == 0) return nullptr;
    return node_opcode(node) == OP_LOOP ? node - offset : node + offset;
}
inline const unsigned char* next_node(const unsigned char* node) {
    return next_node(const_cast<unsigned char*>(node));
}

inline bool is_group_open(unsigned char op) { return op > OP_GROUP_OPEN && op < OP_GROUP_OPEN + REGEXP_GROUPS; }
inline bool is_group_close(unsigned char op) { return op > OP_GROUP_CLOSE && op < OP_GROUP_CLOSE + REGEXP_GROUPS; }

// node_accepts tells whether the single-byte node takes byte: OP_ANY any byte, OP_ONE_OF a
// member of its set, OP_NONE_OF a byte outside it, OP_LITERAL its first byte; any other node
// takes none. NUL is the end of the text and is never taken. This is the engine's one rule
// for which bytes a node accepts: the backtracker's node walk, its start-byte and repetition
// tables, the DFA's byte classes and the prefilter extraction all ask it.
inline bool node_accepts(const unsigned char* node, unsigned char byte) {
    if (byte == 0) return false;
    const unsigned char* operand = node_operand(node);
    switch (node_opcode(node)) {
    case OP_ANY:
        return true;
    case OP_LITERAL:
        return operand[0] == byte;
    case OP_ONE_OF:
        return std::strchr(reinterpret_cast<const char*>(operand), byte) != nullptr;
    case OP_NONE_OF:
        return std::strchr(reinterpret_cast<const char*>(operand), byte) == nullptr;
    default:
        return false;
    }
}

// NodeKind is what a node does in a walk of the program, the opcodes grouped by how the
// walk goes on from them.
enum class NodeKind : unsigned char {
    END,         // OP_END: the match succeeds here
    BYTE,        // OP_ANY, OP_ONE_OF, OP_NONE_OF: one byte that node_accepts takes
    LITERAL,     // OP_LITERAL: its text, byte by byte
    LINE_START,  // OP_LINE_START: empty, only at the start of the text
    LINE_END,    // OP_LINE_END: empty, only at its end
    CHOICE,      // an OP_ALT whose next node is an OP_ALT: its own alternative, or the sister's
    PASSAGE,     // empty and no choice: an OP_ALT of one alternative, OP_LOOP, OP_EMPTY, a group node
    STAR,        // OP_SIMPLE_STAR: its single-byte node 0 or more times, then next
    PLUS,        // OP_SIMPLE_PLUS: 1 or more times, then next
    INVALID,     // a byte that is no opcode
};

// NodeStep is one node as a walk sees it.
struct NodeStep {
    NodeKind kind;
    const unsigned char* next;   // where the walk goes on after the node, or null: for CHOICE the
                                 // sister OP_ALT, for an OP_ALT passage its alternative's first node
    const unsigned char* inner;  // CHOICE: the first node of its own alternative;
                                 // STAR, PLUS: the repeated node; otherwise null
};

// node_step is the engine's one rule for walking the links of the program: the backtracker,
// the program analyses, the DFA and the literal extraction all take their steps from it.
// It reads the node's header and, for an OP_ALT, the opcode of its next node.
inline NodeStep node_step(const unsigned char* node) {
    const unsigned char op = node_opcode(node);
    const unsigned char* next = next_node(node);
    switch (op) {
    case OP_END:
        return {NodeKind::END, nullptr, nullptr};
    case OP_LINE_START:
        return {NodeKind::LINE_START, next, nullptr};
    case OP_LINE_END:
        return {NodeKind::LINE_END, next, nullptr};
    case OP_ANY:
    case OP_ONE_OF:
    case OP_NONE_OF:
        return {NodeKind::BYTE, next, nullptr};
    case OP_LITERAL:
        return {NodeKind::LITERAL, next, nullptr};
    case OP_ALT:
        if (next != nullptr && node_opcode(next) == OP_ALT) return {NodeKind::CHOICE, next, node_operand(node)};
        return {NodeKind::PASSAGE, node_operand(node), nullptr};
    case OP_LOOP:
    case OP_EMPTY:
        return {NodeKind::PASSAGE, next, nullptr};
    case OP_SIMPLE_STAR:
        return {NodeKind::STAR, next, node_operand(node)};
    case OP_SIMPLE_PLUS:
        return {NodeKind::PLUS, next, node_operand(node)};
    default:
        if (is_group_open(op) || is_group_close(op)) return {NodeKind::PASSAGE, next, nullptr};
        return {NodeKind::INVALID, nullptr, nullptr};
    }
}

// is_single_byte tells whether node is one that a simple repetition may repeat: OP_ANY,
// OP_ONE_OF, OP_NONE_OF or a one-byte OP_LITERAL.
inline bool is_single_byte(const unsigned char* node) {
    const NodeKind kind = node_step(node).kind;
    if (kind == NodeKind::BYTE) return true;
    return kind == NodeKind::LITERAL && node_operand(node)[0] != 0 && node_operand(node)[1] == 0;
}

// has_text_operand tells whether the opcode's operand is a NUL-terminated text.
inline bool has_text_operand(unsigned char op) { return op == OP_LITERAL || op == OP_ONE_OF || op == OP_NONE_OF; }

// ByteSet is a set of bytes, 256 bits.
struct ByteSet {
    uint64_t bits[4] = {0, 0, 0, 0};
    bool has(unsigned char byte) const { return (bits[byte >> 6] >> (byte & 63)) & 1; }
    void add(unsigned char byte) { bits[byte >> 6] |= uint64_t(1) << (byte & 63); }
    bool operator==(const ByteSet& other) const {
        return bits[0] == other.bits[0] && bits[1] == other.bits[1] && bits[2] == other.bits[2] &&
               bits[3] == other.bits[3];
    }
};

// accepted_bytes returns every byte node_accepts admits for node.
inline ByteSet accepted_bytes(const unsigned char* node) {
    ByteSet set;
    for (int c = 1; c < 256; ++c)
        if (node_accepts(node, static_cast<unsigned char>(c))) set.add(static_cast<unsigned char>(c));
    return set;
}

// regreport passes message to the installed hook, if any.
void regreport(const char* message);
