// positions.cpp: find_positions (see positions.h).
#include "regexp/positions.h"

#include <cstring>

ProgramPositions find_positions(const unsigned char* program, size_t program_size, uint32_t start, uint32_t stop) {
    ProgramPositions found;
    found.position_at.assign(program_size, -1);
    found.walked.assign(program_size, false);
    std::vector<Position>& positions = found.positions;
    auto add = [&](Position::Kind kind, Position::Follow follow_kind, uint32_t follow, const ByteSet& accept) {
        positions.push_back(Position{kind, follow_kind, follow, accept});
        return int32_t(positions.size() - 1);
    };
    std::vector<uint32_t> pending = {start};
    while (!pending.empty()) {
        const uint32_t at = pending.back();
        pending.pop_back();
        if (found.walked[at] || at == stop) continue;
        found.walked[at] = true;
        const unsigned char* node = program + at;
        const NodeStep step = node_step(node);
        const uint32_t next_at = step.next != nullptr ? uint32_t(step.next - program) : 0;
        switch (step.kind) {
        case NodeKind::BYTE:
            found.position_at[at] = add(Position::CONSUME, Position::NODE, next_at, accepted_bytes(node));
            break;
        case NodeKind::LITERAL: {
            // One position per byte, each leading to the next; the last one to the next node.
            const unsigned char* text = node_operand(node);
            const size_t length = std::strlen(reinterpret_cast<const char*>(text));
            const int32_t first = int32_t(positions.size());
            for (size_t i = 0; i < length; ++i) {
                ByteSet accept;
                accept.add(text[i]);
                if (i + 1 < length)
                    add(Position::CONSUME, Position::POSITION, uint32_t(first) + uint32_t(i) + 1, accept);
                else
                    add(Position::CONSUME, Position::NODE, next_at, accept);
            }
            found.position_at[at] = first;
            break;
        }
        case NodeKind::STAR:
        case NodeKind::PLUS: {
            // The loop sits at the repetition's node; x+ has a first pass at the repeated node.
            // Both go on to the loop and whatever follows it.
            const ByteSet accept = accepted_bytes(step.inner);
            found.position_at[at] = add(Position::CONSUME, Position::LOOP, at, accept);
            if (step.kind == NodeKind::PLUS)
                found.position_at[at + NODE_HEADER_SIZE] = add(Position::CONSUME, Position::LOOP, at, accept);
            break;
        }
        case NodeKind::LINE_END:
            found.position_at[at] = add(Position::LINE_END, Position::NODE, next_at, ByteSet{});
            break;
        case NodeKind::LINE_START:
            found.has_line_start = true;
            break;
        case NodeKind::END:
            found.ends.push_back(at);
            break;
        default:
            break;
        }
        if (step.kind == NodeKind::CHOICE) pending.push_back(uint32_t(step.inner - program));
        if (step.next != nullptr) pending.push_back(next_at);
    }
    return found;
}
