// bitnfa.h: the bit-parallel NFA that answers "does this line contain a match" (internal).
//
// The lazy DFA (dfa.h) is fast while the states a text visits fit its cache; a pattern such
// as a[ab]{19}b$ on random a/b text visits a new state at nearly every byte, the cache thrashes
// and the DFA gives up. This automaton needs no cache and never gives up: its state is the set
// of the program's positions (positions.h) that wait for the next byte, one bit each, and a
// byte moves every position at once with a few word operations whatever the set holds. It is
// slower than a DFA that stays in its cache and far faster than one that does not; see
// bitnfa.cpp for how, and docs/regexp.md for the figures. Built from the same positions and
// closures as the DFA, with the same line rules; tests/matcher_diff_test.cpp compares it with
// the backtracker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "regexp/dfa.h"

class BitNfa {
public:
    // The most positions a program may have: four 64-bit words of state.
    static constexpr size_t MAX_POSITIONS = 256;

    // build prepares the NFA for a sound program of program_size bytes (as inspect_program
    // measured it); it keeps nothing of the program. It returns false, and the NFA must not
    // be used, when the program has more than MAX_POSITIONS positions that can take part in
    // a match.
    bool build(const unsigned char* program, size_t program_size);

    // positions is the number of state bits in use (the positions that can take part in a
    // match, every pending `$` counted as one), and state_words the 64-bit words they take.
    size_t positions() const { return positions_; }
    unsigned state_words() const { return words_; }

    // table_chunks is how many chunks of the state (8 bits of one word, 4 bits of a wider
    // state) need a table lookup for each byte: those that hold positions whose bits cannot
    // simply move one place up.
    size_t table_chunks() const { return chunks_.size(); }

    // matches_every_line tells whether the empty text at a line's start already matches.
    bool matches_every_line() const { return every_line_; }

    // scan runs the NFA over [begin, end) from the start of a line, with the line rules of
    // LazyDfa::scan: in BUFFER mode it stops at the first line that contains a match; in LINE
    // mode the span is one line ('\n' an ordinary byte), cut at its first NUL. Bytes after a
    // NUL up to the next '\n' belong to no line's text. The result is MATCH, with `at` in the
    // matching line (the byte with which a match ended, or the end of its text), or NONE with
    // `at` at end; never GAVE_UP.
    LazyDfa::Outcome scan(const char* begin, const char* end, LazyDfa::Mode mode);

    // bytes_scanned counts the bytes the scans went over, and paired_scans the BUFFER scans
    // that ran the two halves of their region at once, for the tests and the benchmarks.
    uint64_t bytes_scanned() const { return bytes_scanned_; }
    uint64_t paired_scans() const { return paired_scans_; }

private:
    template <unsigned W>
    struct State {
        uint64_t word[W];
    };
    template <unsigned W, unsigned CHUNKS>
    const char* run(const char* p, const char* end, State<W>& state) const;
    template <unsigned W>
    LazyDfa::Outcome scan_words(const char* begin, const char* end, LazyDfa::Mode mode);
    template <unsigned W>
    const char* run_text(const char* p, const char* end, State<W>& state) const;
    template <unsigned W>
    bool line_end_matches(const State<W>& state, bool empty) const;
    struct LineCursor;
    template <unsigned W>
    const char* finish_lines(LineCursor& cursor, State<W> state);
    template <unsigned CHUNKS>
    int run_pair(const char*& a, const char*& b, size_t n, uint64_t& state_a, uint64_t& state_b) const;
    template <unsigned CHUNKS>
    const char* scan_pair(const char* begin, const char* middle, const char* end);

    unsigned words_ = 1;
    size_t positions_ = 0;
    bool every_line_ = false;
    bool empty_line_matches_ = false;  // an empty line's text matches (through `$`)
    std::vector<uint64_t> accept_;     // 256 x words_: by byte, the positions that take it
    std::vector<uint64_t> masks_;      // words_ each, in the order of bitnfa.cpp's Mask: the positions
                                       // at a line's first byte (BEGIN), of a match begun at any later
                                       // byte (SEED), with whose byte a match ends (FINAL), followed by the
                                       // next position and by it alone (SHIFT), and the pending `$` that
                                       // the end of the line lets match (END)
    std::vector<uint8_t> chunks_;      // the chunks that need a table, in order
    bool full_tables_ = false;         // tables_ has a table for every chunk, in order
    std::vector<uint64_t> tables_;     // for each of them 256 x words_: the positions that follow
                                       // the chunk's positions that are set in the index
    uint64_t bytes_scanned_ = 0;
    uint64_t paired_scans_ = 0;
};
