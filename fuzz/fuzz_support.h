// fuzz_support.h: what the fuzz targets share.
//
// - fuzz_fail prints what went wrong (with the input escaped) and aborts, so that libFuzzer
//   records the input as a crash.
// - MessageLog is an engine error hook that only collects the messages.
// - check_program validates a compiled Regexp against the program format: one block,
//   magic byte, nodes that parse end to end, links that land on nodes and lead to OP_END,
//   group numbers, and the three search hints. regcompile_fuzz runs it on every program;
//   the other engine targets run it too, since it is cheap next to a search.
// - split_at_nul cuts a fuzz input into NUL-separated fields.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "regexp/program.h"
#include "regexp/regexp.h"

// escape_bytes renders bytes for a report: printable ASCII as is (backslash doubled),
// everything else as \xHH, so that a reproducer can be copied out of the log.
inline std::string escape_bytes(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// fuzz_fail reports a broken invariant and aborts. The format is printf's.
[[noreturn]] inline void fuzz_fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void fuzz_fail(const char* format, ...) {
    std::fputs("\n*** FUZZ INVARIANT BROKEN: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// MessageLog collects what the engine reports; install() makes it the engine's hook.
struct MessageLog {
    static inline std::vector<std::string> messages;
    static void hook(const char* message) { messages.emplace_back(message); }
    static void install() {
        messages.clear();
        regsethook(hook);
    }
};

// RegexpBlock owns a compiled pattern (one malloc'd block, released with free).
struct RegexpBlock {
    Regexp* re = nullptr;
    explicit RegexpBlock(Regexp* compiled) : re(compiled) {}
    ~RegexpBlock() { std::free(re); }
    RegexpBlock(const RegexpBlock&) = delete;
    RegexpBlock& operator=(const RegexpBlock&) = delete;
};

// split_at_nul returns the first max_fields NUL-separated fields of data; the last field
// takes the rest, NULs included. Missing fields are empty.
inline std::vector<std::string> split_at_nul(const uint8_t* data, size_t size, size_t max_fields) {
    std::vector<std::string> fields;
    const char* text = reinterpret_cast<const char*>(data);
    size_t begin = 0;
    while (fields.size() + 1 < max_fields) {
        const void* nul = std::memchr(text + begin, '\0', size - begin);
        if (nul == nullptr) break;
        size_t end = static_cast<size_t>(static_cast<const char*>(nul) - text);
        fields.emplace_back(text + begin, end - begin);
        begin = end + 1;
    }
    fields.emplace_back(text + begin, size - begin);
    while (fields.size() < max_fields) fields.emplace_back();
    return fields;
}

// ProgramShape is what check_program learned about a valid program.
struct ProgramShape {
    size_t size = 0;   // program bytes, magic included
    int groups = 0;    // groups numbered 1..groups
    int nodes = 0;
};

// check_program validates re against the program format and aborts on the first breach.
// pattern is only for the report.
inline ProgramShape check_program(const Regexp* re, std::string_view pattern) {
    auto fail = [&](const char* what, size_t offset) {
        fuzz_fail("program of pattern \"%s\": %s (offset %zu)", escape_bytes(pattern).c_str(), what, offset);
    };
    // ASan reports the size that was asked for, so the block's size gives the program's.
    const size_t block = __sanitizer_get_allocated_size(re);
    if (block <= sizeof(Regexp)) fail("block smaller than the record", block);
    const unsigned char* program = re->program;
    if (program != reinterpret_cast<const unsigned char*>(re + 1)) fail("program is not right after the record", 0);
    const size_t size = block - sizeof(Regexp);
    if (size >= size_t(REGEXP_SIZE_LIMIT)) fail("program at or over the size limit", size);
    if (program[0] != REGEXP_MAGIC) fail("byte 0 is not the magic", 0);

    // Nodes in layout order. An operand is either text, or nodes that follow right after
    // the header (OP_ALT, the simple repetitions), so one linear pass visits every node.
    std::vector<unsigned char> kind(size, 0);  // 1: node start, 2: node repeated by a simple repetition
    std::vector<size_t> nodes;
    int open_count[REGEXP_GROUPS] = {};
    int close_count[REGEXP_GROUPS] = {};
    int end_count = 0;
    size_t at = 1;
    while (at < size) {
        if (size - at < size_t(NODE_HEADER_SIZE)) fail("node header runs past the end", at);
        if (kind[at] == 0) kind[at] = 1;
        nodes.push_back(at);
        const unsigned char op = program[at];
        const size_t operand = at + NODE_HEADER_SIZE;
        switch (op) {
        case OP_LITERAL:
        case OP_ONE_OF:
        case OP_NONE_OF: {
            const void* nul = std::memchr(program + operand, 0, size - operand);
            if (nul == nullptr) fail("text operand without NUL", at);
            const size_t text_end = size_t(static_cast<const unsigned char*>(nul) - program);
            if (text_end == operand) fail("empty text operand", at);
            at = text_end + 1;
            break;
        }
        case OP_SIMPLE_STAR:
        case OP_SIMPLE_PLUS: {
            if (size - operand < size_t(NODE_HEADER_SIZE) + 1) fail("repeated node runs past the end", at);
            const unsigned char repeated = program[operand];
            const bool one_byte_literal = repeated == OP_LITERAL && program[operand + NODE_HEADER_SIZE] != 0 &&
                                          operand + NODE_HEADER_SIZE + 1 < size &&
                                          program[operand + NODE_HEADER_SIZE + 1] == 0;
            if (repeated != OP_ANY && repeated != OP_ONE_OF && repeated != OP_NONE_OF && !one_byte_literal)
                fail("simple repetition of a node that is not single-byte", at);
            if (next_offset(program + operand) != 0) fail("repeated node has a next link", operand);
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
                fail("byte that is no opcode", at);
            }
            at = operand;
            break;
        }
    }
    if (at != size) fail("last operand runs past the end", at);
    if (program[1] != OP_ALT) fail("first node is not OP_ALT", 1);
    if (program[nodes.back()] != OP_END || end_count != 1) fail("OP_END is not the one last node", nodes.back());

    // Groups: numbered 1..k without gaps, each with one open and one close node.
    int groups = 0;
    while (groups + 1 < REGEXP_GROUPS && open_count[groups + 1] > 0) ++groups;
    for (int n = 1; n < REGEXP_GROUPS; ++n) {
        const int expected = n <= groups ? 1 : 0;
        if (open_count[n] != expected || close_count[n] != expected) fail("group nodes not numbered 1..k once each", size_t(n));
    }

    // Links: zero only for OP_END and repeated nodes; OP_LOOP backward, others forward;
    // every target a node that is walked (not a repeated one).
    for (size_t node : nodes) {
        const unsigned offset = next_offset(program + node);
        const bool may_end = program[node] == OP_END || kind[node] == 2;
        if (offset == 0) {
            if (!may_end) fail("node without a next node", node);
            continue;
        }
        if (may_end) fail("OP_END or repeated node with a next link", node);
        size_t target;
        if (program[node] == OP_LOOP) {
            if (offset >= node) fail("OP_LOOP link before the first node", node);
            target = node - offset;
        } else {
            target = node + offset;
            if (target >= size) fail("link past the end", node);
        }
        if (kind[target] != 1) fail("link into the middle of a node or to a repeated node", node);
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
            if (state[node] == 1) fail("next links run in a cycle", node);
            state[node] = 1;
            path.push_back(node);
            node = size_t(next_node(program + node) - program);
        }
        for (size_t visited : path) state[visited] = 2;
    }

    // Hints: at most one of the three, each consistent with the program.
    const int hints = (re->first_char != '\0') + (re->anchored != 0) + (re->must_text != nullptr);
    if (hints > 1) fail("more than one search hint", 0);
    if (re->first_char != '\0' && (program[4] != OP_LITERAL || char(program[7]) != re->first_char))
        fail("first_char is not the first byte of a leading literal", 4);
    if (re->anchored != 0 && program[4] != OP_LINE_START) fail("anchored without a leading OP_LINE_START", 4);
    if (re->must_text == nullptr) {
        if (re->must_length != 0) fail("must_length without must_text", 0);
    } else {
        const unsigned char* text = reinterpret_cast<const unsigned char*>(re->must_text);
        if (text < program + 1 + NODE_HEADER_SIZE || text >= program + size) fail("must_text outside the program", 0);
        const size_t node = size_t(text - program) - NODE_HEADER_SIZE;
        if (kind[node] != 1 || program[node] != OP_LITERAL) fail("must_text is not a literal's text", node);
        if (re->must_length < 1 || std::strlen(re->must_text) != size_t(re->must_length))
            fail("must_length is not the length of must_text", node);
    }

    ProgramShape shape;
    shape.size = size;
    shape.groups = groups;
    shape.nodes = int(nodes.size());
    return shape;
}
