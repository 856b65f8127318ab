// program_dump.cpp: golden-text dump of a compiled program (see program_dump.h).
//
// Walks the program in byte order: a node is its 3-byte header plus, for the text
// opcodes, a NUL-terminated operand; the operand of OP_ALT and of the simple repetitions is
// the node that follows in byte order, so it gets a line of its own. The walk ends at the
// top level's OP_END, which is the last node; an unknown opcode ends it too, with a line
// that says so, so that a broken program shows up in a failing comparison, not a crash.
#include "support/program_dump.h"

#include <cstdio>
#include <cstring>

#include "regexp/program.h"

namespace {

std::string opcode_name(unsigned char op) {
    switch (op) {
    case OP_END: return "OP_END";
    case OP_LINE_START: return "OP_LINE_START";
    case OP_LINE_END: return "OP_LINE_END";
    case OP_ANY: return "OP_ANY";
    case OP_ONE_OF: return "OP_ONE_OF";
    case OP_NONE_OF: return "OP_NONE_OF";
    case OP_ALT: return "OP_ALT";
    case OP_LOOP: return "OP_LOOP";
    case OP_LITERAL: return "OP_LITERAL";
    case OP_EMPTY: return "OP_EMPTY";
    case OP_SIMPLE_STAR: return "OP_SIMPLE_STAR";
    case OP_SIMPLE_PLUS: return "OP_SIMPLE_PLUS";
    default: break;
    }
    if (is_group_open(op)) return "OP_GROUP_OPEN+" + std::to_string(op - OP_GROUP_OPEN);
    if (is_group_close(op)) return "OP_GROUP_CLOSE+" + std::to_string(op - OP_GROUP_CLOSE);
    return "";
}


}  // namespace

size_t program_length(const Regexp* re) {
    const unsigned char* program = re->program;
    size_t pos = 1;
    while (pos < static_cast<size_t>(REGEXP_SIZE_LIMIT)) {
        unsigned char op = program[pos];
        if (opcode_name(op).empty()) return 0;
        pos += NODE_HEADER_SIZE;
        if (op == OP_END) return pos;
        if (has_text_operand(op)) pos += std::strlen(reinterpret_cast<const char*>(program + pos)) + 1;
    }
    return 0;
}

std::string dump_program(const Regexp* re) {
    const unsigned char* program = re->program;
    std::string out;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", program[0]);
    out += "0 magic " + std::string(hex) + "\n";

    size_t pos = 1;
    while (pos < static_cast<size_t>(REGEXP_SIZE_LIMIT)) {
        const unsigned char* node = program + pos;
        unsigned char op = node_opcode(node);
        std::string name = opcode_name(op);
        if (name.empty()) {
            out += std::to_string(pos) + " not an opcode: " + std::to_string(op) + "\n";
            break;
        }
        const unsigned char* next = next_node(node);
        out += std::to_string(pos) + " " + name + " next " + std::to_string(next_offset(node)) + " -> " +
               (next == nullptr ? std::string("none") : std::to_string(next - program));
        size_t size = NODE_HEADER_SIZE;
        if (has_text_operand(op)) {
            std::string text(reinterpret_cast<const char*>(node_operand(node)));
            out += " \"" + escape_bytes(text) + "\"";
            size += text.size() + 1;
        } else if (op == OP_ALT) {
            out += " alternative from " + std::to_string(pos + NODE_HEADER_SIZE);
        } else if (op == OP_SIMPLE_STAR || op == OP_SIMPLE_PLUS) {
            out += " node at " + std::to_string(pos + NODE_HEADER_SIZE);
        }
        out += "\n";
        if (op == OP_END) break;
        pos += size;
    }

    out += "hints: first_char ";
    if (re->first_char == '\0')
        out += "none";
    else
        out += "\"" + escape_bytes(std::string(1, re->first_char)) + "\"";
    out += ", anchored " + std::to_string(static_cast<int>(re->anchored)) + ", must_text ";
    if (re->must_text == nullptr) {
        out += "none";
    } else {
        out += "\"" + escape_bytes(std::string(re->must_text, static_cast<size_t>(re->must_length))) + "\" at " +
               std::to_string(reinterpret_cast<const unsigned char*>(re->must_text) - program) + " length " +
               std::to_string(re->must_length);
    }
    out += "\n";
    return out;
}
