// dfa.h: the lazy DFA that answers "does this line contain a match" (internal).
//
// Built from the compiled program itself, so it cannot disagree with the backtracker about
// the syntax: the NFA's states are the program's byte-consuming positions (a single-byte
// node, one byte of a literal, the loop of a simple repetition) and the pending `$` nodes.
// DFA states are sets of them, built on demand and kept in a cache of bounded size; see
// dfa.cpp for how, and docs/regexp.md for why and what it costs. Besides the search over
// whole lines, a DFA can run one side of a literal on the top level of the program: the
// part after it forward, or the part before it backward from the literal (selection.cpp's
// decision around a literal hit). Used by selection.cpp only; tests/matcher_diff_test.cpp
// compares it with the backtracker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "regexp/positions.h"
#include "regexp/program.h"
#include "scan/scan.h"

// DfaStats counts what the cache went through, for the tests and the benchmarks.
struct DfaStats {
    uint64_t states_built = 0;  // states added to the cache, over all its lives
    uint64_t cache_clears = 0;  // times the cache was full and was emptied
    uint64_t gave_up = 0;       // scans handed back because the cache was cleared too often
    uint64_t bytes_scanned = 0; // bytes the scans went over (skipped ones included)
};

class LazyDfa {
public:
    enum class Mode {
        BUFFER,  // lines ended by '\n', one after another; '\n' ends a line
        LINE,    // one line's text; '\n' is an ordinary byte and the end of the span ends it
    };
    enum class Result { NONE, MATCH, GAVE_UP };
    struct Outcome {
        Result result;
        const char* at;  // MATCH: a position in the matching line (its '\n' included) or the end;
                         // GAVE_UP: a position in the line the DFA could not finish
    };

    // build prepares the DFA for a sound program of program_size bytes (as inspect_program
    // measured it), which must stay in place while the DFA is used; cache_bytes bounds the
    // state cache. It searches for a match anywhere in a line (scan).
    void build(const unsigned char* program, size_t program_size, size_t cache_bytes);

    // build_suffix prepares the DFA for the part of the program from the node at offset
    // start on, to match at the start of a span that is not a line's start (scan_anchored).
    void build_suffix(const unsigned char* program, size_t program_size, size_t cache_bytes, uint32_t start);

    // build_prefix prepares the DFA for the part of the program before the node at offset
    // stop, a literal on its top level, read backward: it matches a span that ends where the
    // literal begins, and is scanned from there towards the line's start (scan_anchored).
    void build_prefix(const unsigned char* program, size_t program_size, size_t cache_bytes, uint32_t stop);

    // build_reverse prepares the DFA for the whole program read backward, to find where the
    // leftmost match of a line begins (scan_reverse).
    void build_reverse(const unsigned char* program, size_t program_size, size_t cache_bytes);

    // matches_every_line tells whether the empty text at a line's start already matches.
    bool matches_every_line() const { return every_line_; }

    // start_escape_share is the estimated share of text bytes at which a scan leaves the
    // accelerated start state, or a negative value when the start state is not accelerated.
    double start_escape_share() const { return start_escape_share_; }

    // start_escapes is the set of bytes that leave the accelerated start state (in a buffer
    // of lines), when it is accelerated.
    const ByteSet& start_escapes() const { return start_escapes_; }

    // scan runs the DFA over [begin, end) from the start of a line. In BUFFER mode it stops
    // at the first line that contains a match; in LINE mode the span is one line, cut at
    // its first NUL. Bytes after a NUL up to the next '\n' belong to no line's text.
    Outcome scan(const char* begin, const char* end, Mode mode);

    // scan_anchored runs a suffix or prefix DFA from `from` towards `to`, which is the end of
    // the line's text (suffix, to >= from) or its start (prefix, to <= from); every byte
    // between is text ('\n' an ordinary byte, no NUL). It stops after the first byte with
    // which its part of the program has matched (MATCH) or after which no match can follow
    // (NONE), at `to` (MATCH when the part matches there: `$` or `^` hold at it), or with
    // GAVE_UP as scan does; `at` is where it stopped, so the bytes read lie between it
    // and `from`.
    Outcome scan_anchored(const char* from, const char* to);

    // scan_reverse runs a reverse DFA over the text of one line, [begin, end) cut at its first
    // NUL ('\n' is an ordinary byte), from its end to its start, and finds the leftmost position
    // where a match of the program begins: MATCH with `at` there, NONE when no match begins
    // anywhere (`at` is begin), or GAVE_UP as scan does (`at` is where it stopped). A match may
    // end anywhere; `$` holds only at the text's end, `^` only at its start.
    Outcome scan_reverse(const char* begin, const char* end);

    DfaStats stats() const {
        DfaStats stats = stats_;
        stats.bytes_scanned = scanned_before_;
        return stats;
    }

private:
    enum class Shape {
        SEARCH,  // the whole program, a match beginning anywhere
        SUFFIX,  // from a node on, anchored at the scan's start
        PREFIX,  // up to a node, backward, anchored at the scan's start
        REVERSE, // the whole program, backward from a line's end, a match ending anywhere
    };
    struct Thread {
        // In a prefix or reverse DFA a CONSUME thread stands for a byte taken just before the
        // position reached, and the gate thread (of kind LINE_END) for the program's start
        // reached through `^`, which holds only at the line's start. A reverse DFA's START
        // thread is the program's start reached without `^`: a match begins here.
        enum Kind : uint8_t { CONSUME, LINE_END, START } kind;
        enum Follow : uint8_t { NODE, THREAD, LOOP, BACK } follow_kind;
        uint32_t follow;  // NODE: offset to close from; THREAD: thread id; LOOP: the repetition's offset;
                          // BACK: the node the walk entered to wait for the byte, or NO_NODE
        int32_t before[2] = {-1, -1};  // BACK: threads that may have taken the byte before, or -1
        ByteSet accept;   // CONSUME: the bytes taken
    };
    struct State {
        uint32_t first;   // threads in pool_
        uint32_t count;
        bool at_start;    // the state before a line's first byte (only kept when the program has `^`)
        bool starts;      // REVERSE: it holds the START thread
    };
    struct Accel {
        uint32_t row;     // the accelerated state's row offset
        ByteSetSearch buffer_escape;
        ByteSetSearch line_escape;
    };

    void build_shape(const unsigned char* program, size_t program_size, size_t cache_bytes, Shape shape,
                     uint32_t node);
    void reverse_threads(const std::vector<bool>& walked);
    void next_generation();
    void add_thread(uint32_t id);
    void close(uint32_t offset, bool at_start, bool at_end);
    void close_backward(uint32_t offset, bool at_end);
    void follow(const Thread& thread);
    bool step_threads(const uint16_t* threads, uint32_t count, unsigned column);
    bool line_end_matches(const State& state);
    uint32_t find_or_add(std::vector<uint16_t>& threads, bool at_start, const char* at);
    uint32_t compute(uint32_t row, unsigned column, const char* at);
    void reset_cache();
    bool give_up_after_clear(const char* at);
    void analyse_acceleration(uint32_t index);
    const char* skip(uint32_t row, const char* p, const char* end, Mode mode) const;
    size_t memory_used() const;
    uint32_t row_bytes() const { return uint32_t(stride_ * sizeof(uint32_t)); }

    const unsigned char* program_ = nullptr;
    Shape shape_ = Shape::SEARCH;
    bool anchored_ = false;      // SUFFIX and PREFIX: no match begins after the scan's start
    std::vector<Thread> threads_;
    std::vector<int32_t> thread_at_;  // by program offset: the thread of that node, or -1
    bool has_line_start_ = false;
    bool every_line_ = false;

    uint16_t buffer_classes_[256];  // byte -> column; '\n' -> the line-end column
    uint16_t line_classes_[256];    // byte -> column; '\n' -> its own class
    uint32_t buffer_offsets_[256]; // byte -> offset of its column in a row, in bytes
    uint32_t line_offsets_[256];
    std::vector<unsigned char> class_byte_;  // a byte of each class
    unsigned stride_ = 0;          // columns per row: the classes, then the line end
    unsigned line_end_column_ = 0;
    unsigned nul_column_ = 0;

    std::vector<uint16_t> seed_threads_;   // the threads of a match begun at any later position
    std::vector<uint16_t> begin_threads_;  // the same at a line's first position (or the scan's start)

    // PREFIX, REVERSE: the program's links reversed. Entries [into_first_[x], into_first_[x + 1])
    // of into_ say how the walk can come to enter the node at offset x: from a node by an empty
    // step (INTO_NODE, INTO_GATED through `^`, or INTO_AT_END through `$`, which only the
    // reverse DFA passes, and only at the text's end), or from a thread that has taken its byte
    // (INTO_THREAD); an entry is (value << 2) | kind.
    enum IntoKind : uint32_t { INTO_NODE, INTO_GATED, INTO_THREAD, INTO_AT_END };
    std::vector<uint32_t> into_first_;
    std::vector<uint32_t> into_;
    uint32_t gate_thread_ = 0;
    uint32_t start_thread_ = 0;     // REVERSE
    std::vector<uint32_t> ends_;    // REVERSE: the OP_END nodes, where a backward walk begins

    // The cache.
    size_t cache_bytes_ = 0;
    std::vector<State> states_;
    std::vector<uint16_t> pool_;
    std::vector<uint32_t> table_;  // stride_ entries per state: a row offset, maybe tagged
    std::vector<uint32_t> slots_;  // hash of the states: index + 1, 0 when empty
    std::vector<Accel> accels_;
    uint32_t begin_entry_ = 0;
    bool cleared_ = false;
    double start_escape_share_ = -1;
    ByteSet start_escapes_;

    // Scratch for building states.
    Closure closure_;                    // the forward closures
    std::vector<uint32_t> visited_;      // PREFIX, by program offset: generation
    std::vector<uint32_t> gated_visited_;  // PREFIX, by program offset: generation, reached through `^`
    std::vector<uint32_t> thread_mark_;  // by thread id: generation
    uint32_t generation_ = 0;
    std::vector<uint16_t> work_;
    std::vector<uint16_t> candidate_;
    std::vector<uint32_t> stack_;
    bool matched_ = false;

    // When to give up: bytes scanned against states built since the last clear.
    const char* scan_begin_ = nullptr;
    uint64_t scanned_before_ = 0;   // bytes of earlier scans
    uint64_t scanned_at_clear_ = 0;
    uint64_t states_at_clear_ = 0;

    DfaStats stats_;
};
