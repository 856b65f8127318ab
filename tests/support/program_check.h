// program_check.h: the one validator of compiled programs, for the tests and the fuzz targets.
//
// check_program validates a compiled Regexp against the program format: magic byte, nodes
// that parse end to end, links that land on nodes (OP_LOOP backward, all others forward)
// and lead to OP_END without a cycle, one OP_END and the last node, repeated nodes single
// byte with no link, groups numbered 1..k once each, and the three search hints consistent
// with the program (at most one of them). compiler_test runs it on every program it
// compiles; the fuzz targets (fuzz/fuzz_support.h) on every program they get, learning the
// program's size from the sanitizer's allocator. Header-only and free of the test
// framework, for the fuzz targets' sake. Test-only code.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "regexp/program.h"
#include "regexp/regexp.h"

// ProgramShape is what check_program learned about a valid program.
struct ProgramShape {
    size_t size = 0;   // program bytes, magic included
    int groups = 0;    // groups numbered 1..groups
    int nodes = 0;
};

// ProgramCheck is the verdict of check_program: fault is empty for a valid program,
// otherwise it names the first breach found, at offset.
struct ProgramCheck {
    std::string fault;
    size_t offset = 0;
    ProgramShape shape;
};

// check_program validates re, whose program holds size bytes (magic included), against the
// program format; it stops at the first breach.
inline ProgramCheck check_program(const Regexp* re, size_t size) {
    ProgramCheck check;
    auto fail = [](const char* what, size_t offset) {
        ProgramCheck breach;
        breach.fault = what;
        breach.offset = offset;
        return breach;
    };
    const unsigned char* program = re->program;
    if (program != reinterpret_cast<const unsigned char*>(re + 1)) return fail("program is not right after the record", 0);
    if (size >= size_t(REGEXP_SIZE_LIMIT)) return fail("program at or over the size limit", size);
    if (program[0] != REGEXP_MAGIC) return fail("byte 0 is not the magic", 0);

    // Nodes in layout order. An operand is either text, or nodes that follow right after
    // the header (OP_ALT, the simple repetitions), so one linear pass visits every node.
    std::vector<unsigned char> kind(size, 0);  // 1: node start, 2: node repeated by a simple repetition
    std::vector<size_t> nodes;
    int open_count[REGEXP_GROUPS] = {};
    int close_count[REGEXP_GROUPS] = {};
    int end_count = 0;
    size_t at = 1;
    while (at < size) {
        if (size - at < size_t(NODE_HEADER_SIZE)) return fail("node header runs past the end", at);
        if (kind[at] == 0) kind[at] = 1;
        nodes.push_back(at);
        const unsigned char op = program[at];
        const size_t operand = at + NODE_HEADER_SIZE;
        switch (op) {
        case OP_LITERAL:
        case OP_ONE_OF:
        case OP_NONE_OF: {
            const void* nul = std::memchr(program + operand, 0, size - operand);
            if (nul == nullptr) return fail("text operand without NUL", at);
            const size_t text_end = size_t(static_cast<const unsigned char*>(nul) - program);
            if (text_end == operand) return fail("empty text operand", at);
            at = text_end + 1;
            break;
        }
        case OP_SIMPLE_STAR:
        case OP_SIMPLE_PLUS: {
            if (size - operand < size_t(NODE_HEADER_SIZE) + 1) return fail("repeated node runs past the end", at);
            const unsigned char repeated = program[operand];
            const bool one_byte_literal = repeated == OP_LITERAL && program[operand + NODE_HEADER_SIZE] != 0 &&
                                          operand + NODE_HEADER_SIZE + 1 < size &&
                                          program[operand + NODE_HEADER_SIZE + 1] == 0;
            if (repeated != OP_ANY && repeated != OP_ONE_OF && repeated != OP_NONE_OF && !one_byte_literal)
                return fail("simple repetition of a node that is not single-byte", at);
            if (next_offset(program + operand) != 0) return fail("repeated node has a next link", operand);
            kind[operand] = 2;
            at = operand;
            break;
        }
        case OP_END:
            ++end_count;
            at = operand;
            break;
        case OP_LINE_START:
        case OP_LINE_END:
        case OP_ANY:
        case OP_ALT:
        case OP_LOOP:
        case OP_EMPTY:
            at = operand;
            break;
        default:
            if (is_group_open(op)) {
                ++open_count[op - OP_GROUP_OPEN];
            } else if (is_group_close(op)) {
                ++close_count[op - OP_GROUP_CLOSE];
            } else {
                return fail("byte that is no opcode", at);
            }
            at = operand;
            break;
        }
    }
    if (at != size) return fail("last operand runs past the end", at);
    if (program[1] != OP_ALT) return fail("first node is not OP_ALT", 1);
    if (program[nodes.back()] != OP_END || end_count != 1) return fail("OP_END is not the one last node", nodes.back());

    // Groups: numbered 1..k without gaps, each with one open and one close node.
    int groups = 0;
    while (groups + 1 < REGEXP_GROUPS && open_count[groups + 1] > 0) ++groups;
    for (int n = 1; n < REGEXP_GROUPS; ++n) {
        const int expected = n <= groups ? 1 : 0;
        if (open_count[n] != expected || close_count[n] != expected) return fail("group nodes not numbered 1..k once each", size_t(n));
    }

    // Links: zero only for OP_END and repeated nodes; OP_LOOP backward, others forward;
    // every target a node that is walked (not a repeated one).
    for (size_t node : nodes) {
        const unsigned offset = next_offset(program + node);
        const bool may_end = program[node] == OP_END || kind[node] == 2;
        if (offset == 0) {
            if (!may_end) return fail("node without a next node", node);
            continue;
        }
        if (may_end) return fail("OP_END or repeated node with a next link", node);
        size_t target;
        if (program[node] == OP_LOOP) {
            if (offset >= node) return fail("OP_LOOP link before the first node", node);
            target = node - offset;
        } else {
            target = node + offset;
            if (target >= size) return fail("link past the end", node);
        }
        if (kind[target] != 1) return fail("link into the middle of a node or to a repeated node", node);
    }

    // Every walked node's chain of next links reaches OP_END. Only OP_LOOP links go back,
    // to an OP_ALT whose sister lies after the loop, so the chains must end; a cycle here is
    // a program that would walk forever. state: 0 unknown, 1 on the current path, 2 reaches the end.
    std::vector<unsigned char> state(size, 0);
    std::vector<size_t> path;
    for (size_t start : nodes) {
        if (kind[start] != 1 || state[start] == 2) continue;
        path.clear();
        size_t node = start;
        while (program[node] != OP_END && state[node] != 2) {
            if (state[node] == 1) return fail("next links run in a cycle", node);
            state[node] = 1;
            path.push_back(node);
            node = size_t(next_node(program + node) - program);
        }
        for (size_t visited : path) state[visited] = 2;
    }

    // Hints: at most one of the three, each consistent with the program.
    const int hints = (re->first_char != '\0') + (re->anchored != 0) + (re->must_text != nullptr);
    if (hints > 1) return fail("more than one search hint", 0);
    if (re->first_char != '\0' && (program[4] != OP_LITERAL || char(program[7]) != re->first_char))
        return fail("first_char is not the first byte of a leading literal", 4);
    if (re->anchored != 0 && program[4] != OP_LINE_START) return fail("anchored without a leading OP_LINE_START", 4);
    if (re->must_text == nullptr) {
        if (re->must_length != 0) return fail("must_length without must_text", 0);
    } else {
        const unsigned char* text = reinterpret_cast<const unsigned char*>(re->must_text);
        if (text < program + 1 + NODE_HEADER_SIZE || text >= program + size) return fail("must_text outside the program", 0);
        const size_t node = size_t(text - program) - NODE_HEADER_SIZE;
        if (kind[node] != 1 || program[node] != OP_LITERAL) return fail("must_text is not a literal's text", node);
        if (re->must_length < 1 || std::strlen(re->must_text) != size_t(re->must_length))
            return fail("must_length is not the length of must_text", node);
    }

    check.shape.size = size;
    check.shape.groups = groups;
    check.shape.nodes = int(nodes.size());
    return check;
}
