// analysis.h: what the engine learns about a compiled program before it runs it (internal).
//
// Every fact here is read off the program's nodes by node_step (program.h) and computed
// once per program: by regmatcher for the selection matcher, and by the backtracker once
// for each program it meets (backtracker.cpp keeps the last one). Nothing here changes what a
// pattern matches; each fact only tells a matcher which work it may leave out.
// tests/analysis_test.cpp pins the facts on a table of patterns; tests/matcher_diff_test.cpp
// proves on random patterns that no matcher using them disagrees with the backtracker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "regexp/literals.h"
#include "regexp/program.h"

// ProgramExtent is what inspect_program learned about a program.
struct ProgramExtent {
    bool sound;   // every node the walk can reach is well formed: the DFA may run it
    size_t size;  // bytes from the magic to the last byte the walk can read
};

// inspect_program walks every node reachable from byte 1 of program, by the links and
// operands the backtracker follows, and reads nothing else. A program from the compiler is
// always sound; a damaged one is left to the backtracker, which reports what it meets.
ProgramExtent inspect_program(const unsigned char* program);

// StartBytes is the set of bytes a match can begin with.
struct StartBytes {
    bool known;           // false: a match may begin anywhere (an empty match, or a program too
                          // large or strange to analyse here); the other fields mean nothing
    bool can_start[256];  // can_start[0]: a match may begin at the line's NUL (it ends there with $)
};

// find_start_bytes collects every byte that the first byte-consuming node on any path from
// the program's start can take. A try at a position holding any other byte cannot succeed.
// It reads at most a few dozen nodes, so it is safe on any program, damaged ones included.
StartBytes find_start_bytes(const unsigned char* program);

// splits_at tells whether every path of the program from its start to OP_END passes the
// node at offset exactly once: no path reaches OP_END around it, and none comes back to it.
// Then a match is the part before it, the node, and the part after it, each matched on its
// own (LazyDfa::build_prefix, build_suffix).
bool splits_at(const unsigned char* program, size_t program_size, uint32_t node);

// LiteralRun is a stretch of the top level of a program of one alternative whose nodes
// each split the program (splits_at) and take their bytes as class-literal positions: a
// literal or a small set, with group nodes between them. Any part of a run made of whole
// nodes is a class literal that every match holds once, with the part of the pattern before
// it on one side and the part after it on the other.
struct LiteralRun {
    struct Node {
        uint32_t node;      // its offset
        uint32_t after;     // the offset of the node after it
        ClassLiteral text;  // the positions it takes
    };
    std::vector<Node> nodes;
};

// LiteralSplit is a part of a run: where the part before it ends (the first node) and where
// the part after it begins.
struct LiteralSplit {
    uint32_t node;
    uint32_t after;
    ClassLiteral text;
};

// dfa_hostile_shape tells whether the program holds a chain of at least
// HOSTILE_CHAIN_POSITIONS single-byte nodes, one after another, each taking two bytes or
// more, that a single byte leads into (the program's start, or a node that takes one byte
// value):
// a[ab][ab]...[ab]b written out. Text that enters the chain often keeps a different subset
// of its places busy at every byte, up to 2^k of them, more states than any DFA cache holds.
// A wrong answer costs only time: the DFA and the NFA give the same results.
constexpr size_t HOSTILE_CHAIN_POSITIONS = 12;
bool dfa_hostile_shape(const unsigned char* program, size_t program_size);

// ProgramAnalysis is everything above for one sound program, and the literal sets.
struct ProgramAnalysis {
    ProgramExtent extent;
    StartBytes start;
    bool anchored = false;          // every match begins at the line's start (every path meets `^`
                                    // before it takes a byte or reaches OP_END)
    bool has_line_start = false;    // some `^` can be reached
    bool has_line_end = false;      // some `$` can be reached
    bool dfa_hostile = false;       // the shape of a DFA that cannot stay small (dfa_hostile_shape)
    std::vector<LiteralRun> literal_runs;      // in program order; no position holds a line feed
    std::vector<LiteralSet> literal_sets;      // candidate sets of required literals (literals.h)
    std::vector<ClassLiteral> exact_literals;  // the strings the program matches, when they are known
                                               // and few and it has no anchor: a line matches exactly
                                               // when one occurs in its text; empty otherwise
};

// analyse_program computes the analysis of a program; the fields after extent and start
// are left empty when the program is not sound.
ProgramAnalysis analyse_program(const unsigned char* program);

// find_split finds a part of a run whose text is literal; false when none is.
bool find_split(const ProgramAnalysis& analysis, const ClassLiteral& literal, LiteralSplit& split);
