// analysis.cpp: the program analyses (see analysis.h), each a walk by node_step.
#include "regexp/analysis.h"

#include <algorithm>
#include <cstring>

namespace {

// operand_size is the bytes of node after its header: a text and its NUL, or the repeated
// node of a simple repetition with its own text.
size_t operand_size(const unsigned char* node) {
    const unsigned char op = node_opcode(node);
    if (has_text_operand(op)) return std::strlen(reinterpret_cast<const char*>(node_operand(node))) + 1;
    if (op == OP_SIMPLE_STAR || op == OP_SIMPLE_PLUS) return NODE_HEADER_SIZE + operand_size(node_operand(node));
    return 0;
}

// Walk says how walk_links goes on from a node: along its links, not past it, or not at all.
enum class Walk { ON, NOT_PAST, STOP };

// walk_links visits every node a match can reach from the node at from, each once, by
// node_step's links, and returns STOP when visit stopped it (else ON).
template <typename Visit>
Walk walk_links(const unsigned char* program, size_t program_size, uint32_t from, Visit visit) {
    std::vector<bool> seen(program_size, false);
    std::vector<uint32_t> pending = {from};
    while (!pending.empty()) {
        const uint32_t at = pending.back();
        pending.pop_back();
        if (seen[at]) continue;
        seen[at] = true;
        const NodeStep step = node_step(program + at);
        const Walk next = visit(at, step);
        if (next == Walk::STOP) return Walk::STOP;
        if (next == Walk::NOT_PAST) continue;
        if (step.kind == NodeKind::CHOICE) pending.push_back(uint32_t(step.inner - program));
        if (step.next != nullptr) pending.push_back(uint32_t(step.next - program));
    }
    return Walk::ON;
}

}  // namespace

ProgramExtent inspect_program(const unsigned char* program) {
    // The walk goes on past a fault wherever the backtracker could go on, so that the
    // extent covers every byte it may read.
    ProgramExtent extent{true, 1};
    std::vector<bool> seen(REGEXP_SIZE_LIMIT, false);
    std::vector<size_t> pending = {1};
    bool reaches_end = false;
    while (!pending.empty()) {
        const size_t at = pending.back();
        pending.pop_back();
        if (at == 0 || at >= size_t(REGEXP_SIZE_LIMIT)) {
            extent.sound = false;
            continue;
        }
        if (seen[at]) continue;
        seen[at] = true;
        const unsigned char* node = program + at;
        const unsigned char op = node_opcode(node);
        const NodeStep step = node_step(node);
        extent.size = std::max(extent.size, at + NODE_HEADER_SIZE + operand_size(node));
        if (has_text_operand(op) && node_operand(node)[0] == 0) extent.sound = false;
        if ((step.kind == NodeKind::STAR || step.kind == NodeKind::PLUS) &&
            (!is_single_byte(step.inner) || next_offset(step.inner) != 0))
            extent.sound = false;
        if (step.kind == NodeKind::INVALID) {  // the backtracker reads the header and stops there
            extent.sound = false;
            continue;
        }
        if (step.kind == NodeKind::END) {
            reaches_end = true;
            continue;
        }
        // An OP_ALT's own link is read too (its next node's opcode decides whether it is a
        // choice), and its alternative begins after its header.
        if (op == OP_ALT) pending.push_back(at + NODE_HEADER_SIZE);
        const unsigned offset = next_offset(node);
        if (offset == 0 || (op == OP_LOOP && offset >= at)) {
            extent.sound = false;
            continue;
        }
        pending.push_back(op == OP_LOOP ? at - offset : at + offset);
    }
    extent.sound = extent.sound && reaches_end;
    return extent;
}

StartBytes find_start_bytes(const unsigned char* program) {
    constexpr int MAX_NODES = 48;
    const unsigned char* pending[MAX_NODES];
    const unsigned char* seen[MAX_NODES];
    int pending_count = 0;
    int seen_count = 0;
    StartBytes start;
    start.known = false;
    std::fill(std::begin(start.can_start), std::end(start.can_start), false);

    auto add_node = [&](const unsigned char* node) {
        if (node == nullptr) return false;  // a damaged link: leave it to the walk
        for (int i = 0; i < seen_count; ++i)
            if (seen[i] == node) return true;
        if (seen_count == MAX_NODES) return false;
        seen[seen_count++] = node;
        pending[pending_count++] = node;
        return true;
    };
    // add_consumer adds the bytes a single-byte or literal node takes first.
    auto add_consumer = [&](const unsigned char* node) {
        const NodeKind kind = node_step(node).kind;
        if (kind != NodeKind::BYTE && kind != NodeKind::LITERAL) return false;
        for (int c = 1; c < 256; ++c) start.can_start[c] = start.can_start[c] || node_accepts(node, uint8_t(c));
        return true;
    };

    if (!add_node(program + 1)) return start;
    while (pending_count > 0) {
        const unsigned char* node = pending[--pending_count];
        const NodeStep step = node_step(node);
        switch (step.kind) {
        case NodeKind::END:
        case NodeKind::INVALID:
            return start;  // an empty match, or a fault the walk will meet
        case NodeKind::LINE_END:
            start.can_start[0] = true;  // nothing can be consumed after it
            break;
        case NodeKind::BYTE:
        case NodeKind::LITERAL:
            add_consumer(node);
            break;
        case NodeKind::CHOICE:
            if (!add_node(step.inner) || !add_node(step.next)) return start;
            break;
        case NodeKind::STAR:
        case NodeKind::PLUS:
            if (!add_consumer(step.inner)) return start;
            if (step.kind == NodeKind::STAR && !add_node(step.next)) return start;
            break;
        case NodeKind::LINE_START:
        case NodeKind::PASSAGE:
            if (!add_node(step.next)) return start;
            break;
        }
    }
    start.known = true;
    return start;
}

bool splits_at(const unsigned char* program, size_t program_size, uint32_t node) {
    const unsigned char* after = next_node(program + node);
    if (after == nullptr) return false;
    // No path reaches OP_END around the node, and none comes back to it from after it.
    const Walk around = walk_links(program, program_size, 1, [&](uint32_t at, const NodeStep& step) {
        if (step.kind == NodeKind::END) return Walk::STOP;
        return at == node ? Walk::NOT_PAST : Walk::ON;
    });
    const Walk back = walk_links(program, program_size, uint32_t(after - program),
                                 [&](uint32_t at, const NodeStep&) { return at == node ? Walk::STOP : Walk::ON; });
    return around == Walk::ON && back == Walk::ON;
}

namespace {

// anchored_at_start tells whether every path from the program's start meets `^` before it
// takes a byte or reaches OP_END.
bool anchored_at_start(const unsigned char* program, size_t program_size) {
    return walk_links(program, program_size, 1, [](uint32_t, const NodeStep& step) {
               switch (step.kind) {
               case NodeKind::LINE_START:
                   return Walk::NOT_PAST;  // this path is anchored
               case NodeKind::CHOICE:
               case NodeKind::PASSAGE:
                   return Walk::ON;
               default:  // a byte, `$` or the end before any `^`
                   return Walk::STOP;
               }
           }) == Walk::ON;
}

// Anchors tells which anchors the walk can reach.
struct Anchors {
    bool line_start = false;
    bool line_end = false;
};

Anchors reachable_anchors(const unsigned char* program, size_t program_size) {
    Anchors anchors;
    walk_links(program, program_size, 1, [&](uint32_t, const NodeStep& step) {
        anchors.line_start = anchors.line_start || step.kind == NodeKind::LINE_START;
        anchors.line_end = anchors.line_end || step.kind == NodeKind::LINE_END;
        return Walk::ON;
    });
    return anchors;
}

// position_class appends the bytes that the node takes, as positions of a class literal, to
// literal; false when it is no such node (a larger set, or no byte-consuming node).
bool position_class(const unsigned char* node, ClassLiteral& literal) {
    const NodeKind kind = node_step(node).kind;
    ClassLiteral taken;
    if (kind == NodeKind::LITERAL) {
        taken = class_literal_of(reinterpret_cast<const char*>(node_operand(node)));
    } else if (kind == NodeKind::BYTE) {
        const ByteClass set = byte_class_of(accepted_bytes(node));
        const int count = set.count();
        if (count == 0 || count > MAX_CLASS_BYTES) return false;
        taken.push_back(set);
    } else {
        return false;
    }
    for (const ByteClass& position : taken)
        if (position.contains(uint8_t('\n'))) return false;
    literal.insert(literal.end(), taken.begin(), taken.end());
    return true;
}

// find_literal_runs lists the runs of the top level (of a program of one alternative): the
// stretches of nodes that each split the program and take their bytes as class-literal
// positions, with the group nodes between them.
std::vector<LiteralRun> find_literal_runs(const unsigned char* program, size_t program_size) {
    std::vector<LiteralRun> runs;
    const NodeStep top = node_step(program + 1);
    if (top.kind != NodeKind::PASSAGE) return runs;  // alternatives on the top level
    LiteralRun run;
    auto close_run = [&] {
        if (!run.nodes.empty()) runs.push_back(std::move(run));
        run = LiteralRun{};
    };
    size_t steps = 0;
    // The top level's own links: past a chain of alternatives to the node where they join.
    const unsigned char* next = nullptr;
    for (const unsigned char* node = top.next; node != nullptr && steps <= program_size; node = next, ++steps) {
        const NodeStep step = node_step(node);
        if (step.kind == NodeKind::END) break;
        // The top level goes on into a single alternative, and past a chain of alternatives to
        // the node where they join.
        next = step.next;
        if (step.kind == NodeKind::CHOICE) {
            const unsigned char* alt = node;
            while (node_step(alt).kind == NodeKind::CHOICE) alt = node_step(alt).next;
            next = next_node(alt);
        }
        const uint32_t at = uint32_t(node - program);
        ClassLiteral text;
        if (position_class(node, text) && splits_at(program, program_size, at)) {
            run.nodes.push_back(LiteralRun::Node{at, uint32_t(step.next - program), std::move(text)});
        } else if (!(step.kind == NodeKind::PASSAGE && node_opcode(node) != OP_LOOP)) {
            close_run();  // a group node, OP_EMPTY or a single alternative passes; anything else ends the run
        }
    }
    close_run();
    return runs;
}

}  // namespace

bool dfa_hostile_shape(const unsigned char* program, size_t program_size) {
    auto wide_byte = [](const unsigned char* node) {
        if (node == nullptr || node_step(node).kind != NodeKind::BYTE) return false;
        const ByteSet set = accepted_bytes(node);
        int count = 0;
        for (int b = 1; b < 256 && count < 2; ++b) count += set.has(uint8_t(b));
        return count >= 2;
    };
    // chain_from counts the wide single-byte nodes that follow one another from node on,
    // passing group nodes and single alternatives.
    auto chain_from = [&](const unsigned char* node) {
        size_t length = 0;
        for (size_t steps = 0; node != nullptr && steps <= program_size; ++steps) {
            const NodeStep step = node_step(node);
            if (step.kind == NodeKind::PASSAGE && node_opcode(node) != OP_LOOP) {
                node = step.next;
                continue;
            }
            if (!wide_byte(node)) break;
            ++length;
            node = step.next;
        }
        return length;
    };
    bool at_start = true;
    return walk_links(program, program_size, 1, [&](uint32_t at, const NodeStep& step) {
               const unsigned char* node = program + at;
               // Entered by a single byte: after the start, or after a node that takes one byte
               // value only (a node of the chain itself takes two or more).
               const bool one_byte = (step.kind == NodeKind::BYTE && !wide_byte(node)) ||
                                     (step.kind == NodeKind::LITERAL && node_operand(node)[1] == 0);
               const bool hostile = (at_start && chain_from(node) >= HOSTILE_CHAIN_POSITIONS) ||
                                    (one_byte && chain_from(step.next) >= HOSTILE_CHAIN_POSITIONS);
               at_start = false;
               return hostile ? Walk::STOP : Walk::ON;
           }) == Walk::STOP;
}

ProgramAnalysis analyse_program(const unsigned char* program) {
    ProgramAnalysis analysis;
    analysis.extent = inspect_program(program);
    analysis.start = find_start_bytes(program);
    if (!analysis.extent.sound) return analysis;
    const size_t size = analysis.extent.size;
    analysis.anchored = anchored_at_start(program, size);
    const Anchors anchors = reachable_anchors(program, size);
    analysis.has_line_start = anchors.line_start;
    analysis.has_line_end = anchors.line_end;
    analysis.literal_runs = find_literal_runs(program, size);
    analysis.dfa_hostile = dfa_hostile_shape(program, size);
    analysis.literal_sets = required_literal_sets(program, &analysis.exact_literals);
    if (analysis.has_line_start || analysis.has_line_end) analysis.exact_literals.clear();
    return analysis;
}

bool find_split(const ProgramAnalysis& analysis, const ClassLiteral& literal, LiteralSplit& split) {
    for (const LiteralRun& run : analysis.literal_runs) {
        for (size_t first = 0; first < run.nodes.size(); ++first) {
            ClassLiteral text;
            for (size_t last = first; last < run.nodes.size() && text.size() < literal.size(); ++last) {
                text.insert(text.end(), run.nodes[last].text.begin(), run.nodes[last].text.end());
                if (text == literal) {
                    split = LiteralSplit{run.nodes[first].node, run.nodes[last].after, literal};
                    return true;
                }
            }
        }
    }
    return false;
}
