// positions.h: the program's positions and the closures between them (internal).
//
// The two automata over a program, the lazy DFA (dfa.h) and the bit-parallel NFA (bitnfa.h),
// see it the same way: a position is a place where a walk of the program waits for a byte (a
// single-byte node, each byte of a literal, the loop of a simple repetition and the first pass
// of `x+`), or a `$` reached before the end of the line, which only the end moves on. What a
// position leads to after its byte, and where a walk from a node can wait next, is the closure:
// every alternative of a chain of OP_ALT nodes, OP_LOOP's link back, OP_EMPTY and the group
// nodes, `^` only at the start of a line, `$` only at its end; reaching OP_END is a match.
// Both automata build their positions with find_positions and their closures with Closure, so
// they cannot disagree with each other, and tests/matcher_diff_test.cpp holds both to the
// backtracker.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "regexp/program.h"

// Position is one position of a program.
struct Position {
    enum Kind : uint8_t { CONSUME, LINE_END } kind;
    enum Follow : uint8_t {
        NODE,      // the closure from the node at offset follow
        POSITION,  // the position follow (the next byte of a literal)
        LOOP,      // the loop of the repetition at offset follow again, and the closure from its next node
    } follow_kind;
    uint32_t follow;
    ByteSet accept;  // CONSUME: the bytes taken
};

// ProgramPositions is what find_positions learned.
struct ProgramPositions {
    std::vector<Position> positions;
    std::vector<int32_t> position_at;  // by offset: the position of the node (a literal's first byte,
                                       // a repetition's loop, at offset + 3 the first pass of `x+`), or -1
    std::vector<bool> walked;          // by offset: the nodes the walk reached
    std::vector<uint32_t> ends;        // the offsets of the OP_END nodes reached
    bool has_line_start = false;       // some `^` was reached
};

// find_positions walks a sound program of program_size bytes from the node at offset start
// on, never entering the node at offset stop, and makes a position for every place that waits
// for a byte and every `$`, in the order the walk meets them (a literal's bytes one after
// another).
ProgramPositions find_positions(const unsigned char* program, size_t program_size, uint32_t start, uint32_t stop);

// Closure follows the empty-width steps of a program. The nodes it has visited are kept until
// next_generation, so that the closures of several positions taken together visit each node
// once.
class Closure {
public:
    void prepare(size_t program_size) {
        visited_.assign(program_size, 0);
        generation_ = 0;
        next_generation();
    }

    void next_generation() {
        if (++generation_ == 0) {
            std::fill(visited_.begin(), visited_.end(), 0);
            generation_ = 1;
        }
    }

    // close calls add(id) for every position that a walk from the node at offset reaches
    // through empty-width nodes, `^` passed only when at_start, `$` only when at_end (before it
    // the `$` is a position itself). It returns true, and stops, when the walk reaches OP_END.
    template <typename Add>
    bool close(const unsigned char* program, const std::vector<int32_t>& position_at, uint32_t offset, bool at_start,
               bool at_end, Add&& add) {
        stack_.clear();
        stack_.push_back(offset);
        while (!stack_.empty()) {
            const uint32_t at = stack_.back();
            stack_.pop_back();
            if (visited_[at] == generation_) continue;
            visited_[at] = generation_;
            const NodeStep step = node_step(program + at);
            const uint32_t next_at = step.next != nullptr ? uint32_t(step.next - program) : 0;
            switch (step.kind) {
            case NodeKind::END:
                return true;
            case NodeKind::LINE_START:
                if (at_start) stack_.push_back(next_at);
                break;
            case NodeKind::LINE_END:
                if (at_end)
                    stack_.push_back(next_at);
                else
                    add(uint32_t(position_at[at]));
                break;
            case NodeKind::BYTE:
            case NodeKind::LITERAL:
                add(uint32_t(position_at[at]));
                break;
            case NodeKind::CHOICE:
                stack_.push_back(next_at);
                stack_.push_back(uint32_t(step.inner - program));
                break;
            case NodeKind::STAR:
                add(uint32_t(position_at[at]));
                stack_.push_back(next_at);
                break;
            case NodeKind::PLUS:
                add(uint32_t(position_at[at + NODE_HEADER_SIZE]));
                break;
            case NodeKind::PASSAGE:
                stack_.push_back(next_at);
                break;
            case NodeKind::INVALID:
                break;
            }
        }
        return false;
    }

    // follow calls add(id) for every position that comes after the CONSUME position has taken
    // its byte (neither at the start nor at the end of a line); true when a match ends with it.
    template <typename Add>
    bool follow(const unsigned char* program, const ProgramPositions& positions, const Position& position, Add&& add) {
        switch (position.follow_kind) {
        case Position::POSITION:
            add(position.follow);
            return false;
        case Position::NODE:
            return close(program, positions.position_at, position.follow, false, false, add);
        case Position::LOOP:
            add(uint32_t(positions.position_at[position.follow]));
            return close(program, positions.position_at, uint32_t(next_node(program + position.follow) - program),
                         false, false, add);
        }
        return false;
    }

private:
    std::vector<uint32_t> visited_;  // by offset: the generation that last visited the node
    uint32_t generation_ = 0;
    std::vector<uint32_t> stack_;
};
