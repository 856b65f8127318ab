// bitnfa.cpp: the bit-parallel NFA over the program's positions (see bitnfa.h).
//
// The automaton. Its states are the positions of positions.h: the places where a walk waits
// for a byte, and the `$` reached before the end of a line. After a position has taken its
// byte the walk goes on to the positions its closure reaches (Closure::follow), or to OP_END,
// a match. So, with S the set of positions waiting before a byte c and A[c] those that take c,
// the positions that took it are T = S & A[c]: a match ends with c when T meets FINAL (the
// positions whose closure reaches OP_END); otherwise the set after c is the union of what each
// position of T leads to, plus SEED, the closure of the program's start, since a match may
// begin at any byte (at a line's first byte the closure with `^` holding, BEGIN, takes the
// place of S). A line's text ends with a match when S holds a `$` whose closure with `$`
// holding reaches OP_END; all such `$` are one bit, END, and the others, which cannot lead
// to a match, none. Positions that no start reaches, or from which no match can be reached,
// get no bit either.
//
// One word for all positions. Each position is a bit of a 64-bit word (up to four words),
// and the union over T is computed for all of T at once:
// - A position that leads to one other position alone (the bytes of a literal, consecutive
//   single-byte nodes) is numbered just below it where the order allows, so that its part of
//   the union is (T & SHIFT) << 1.
// - The other positions are covered by tables indexed by a chunk of T: entry v of a chunk's
//   table is the union of what the chunk's positions set in v lead to. Only the chunks that
//   hold such positions have a table; a byte costs one load for each of them. Chunks are 8
//   bits for one word (at most 8 tables of 2 KiB), 4 bits for two or four words, whose 8-bit
//   tables would outgrow the first-level cache.
// a[ab]{19}b$ is all shifts; a pattern of 64 positions that each lead to several others takes
// eight lookups a byte.
//
// Two streams. The lookups of one byte wait for those of the byte before, so one stream of
// text runs at the latency of a load and the ORs after it. In a buffer of lines, the lines
// are independent: a large region is cut at a line's end near its middle and both halves run
// in step, which nearly doubles the speed of a word with tables (docs/regexp.md has the
// figures). A match in the first half is the answer; one in the second only once the first
// half holds none.
//
// Lines. The line rules are the DFA's: in a buffer of lines each line is run from BEGIN over
// its text, which ends at its '\n' or its first NUL (found with scan_find_line_end), and is
// then checked for END; bytes after a NUL belong to no line.
#include "regexp/bitnfa.h"

#include <algorithm>
#include <cstring>

#include "regexp/positions.h"
#include "scan/scan.h"

namespace {

constexpr uint32_t NO_NODE = 0xFFFFFFFFu;
constexpr unsigned DYNAMIC = ~0u;  // run: the chunk count is read at run time
constexpr unsigned FULL = ~1u;     // run: every chunk of the state has a table
constexpr unsigned CHUNK_BITS_ONE_WORD = 8;
constexpr unsigned chunk_bits(unsigned words) { return words == 1 ? CHUNK_BITS_ONE_WORD : 4; }
// A buffer scan runs the region's two halves at once when it is at least this long.
constexpr size_t PAIR_MIN_BYTES = 4096;

// The masks, in this order, words_ words each.
enum Mask : unsigned { BEGIN, SEED, FINAL, SHIFT, END, MASK_COUNT };

void set_bit(uint64_t* words, size_t bit) { words[bit / 64] |= uint64_t(1) << (bit % 64); }

}  // namespace

bool BitNfa::build(const unsigned char* program, size_t program_size) {
    const ProgramPositions found = find_positions(program, program_size, 1, NO_NODE);
    const std::vector<Position>& positions = found.positions;
    const uint32_t count = uint32_t(positions.size());
    // Pruning below leaves out a few positions at most; a program far too large is refused
    // before the closures, which cost its size for each position.
    size_t consuming = 0;
    for (const Position& position : positions) consuming += position.kind == Position::CONSUME;
    if (consuming > 2 * MAX_POSITIONS) {
        positions_ = consuming;
        return false;
    }
    const uint32_t end_node = count;  // the one node for every `$` that the end lets match
    const uint32_t nodes = count + 1;
    constexpr uint32_t NONE = ~0u;

    // What each position leads to, in nodes: a `$` that the end of the line lets match becomes
    // the END node, any other none.
    Closure closure;
    closure.prepare(program_size);
    std::vector<uint32_t> node_of(count, NONE);
    for (uint32_t id = 0; id < count; ++id) {
        if (positions[id].kind == Position::CONSUME) {
            node_of[id] = id;
        } else {
            closure.next_generation();
            if (closure.close(program, found.position_at, positions[id].follow, false, true, [](uint32_t) {}))
                node_of[id] = end_node;
        }
    }
    std::vector<std::vector<uint32_t>> next(nodes);
    std::vector<bool> is_final(nodes, false);
    auto add_node = [&](std::vector<uint32_t>& list, uint32_t id) {
        if (node_of[id] != NONE) list.push_back(node_of[id]);
    };
    for (uint32_t id = 0; id < count; ++id) {
        if (positions[id].kind != Position::CONSUME) continue;
        closure.next_generation();
        is_final[id] = closure.follow(program, found, positions[id], [&](uint32_t to) { add_node(next[id], to); });
        if (is_final[id]) next[id].clear();  // the match is found before anything follows
        std::sort(next[id].begin(), next[id].end());
        next[id].erase(std::unique(next[id].begin(), next[id].end()), next[id].end());
    }
    std::vector<uint32_t> begin_nodes;
    std::vector<uint32_t> seed_nodes;
    closure.next_generation();
    every_line_ = closure.close(program, found.position_at, 1, true, false,
                                [&](uint32_t id) { add_node(begin_nodes, id); });
    closure.next_generation();
    every_line_ = closure.close(program, found.position_at, 1, false, false,
                                [&](uint32_t id) { add_node(seed_nodes, id); }) ||
                  every_line_;
    closure.next_generation();
    empty_line_matches_ = every_line_ || closure.close(program, found.position_at, 1, true, true, [](uint32_t) {});

    // The nodes that some start reaches and from which a match can be reached.
    std::vector<bool> reached(nodes, false);
    std::vector<uint32_t> pending(begin_nodes);
    pending.insert(pending.end(), seed_nodes.begin(), seed_nodes.end());
    while (!pending.empty()) {
        const uint32_t at = pending.back();
        pending.pop_back();
        if (reached[at]) continue;
        reached[at] = true;
        pending.insert(pending.end(), next[at].begin(), next[at].end());
    }
    std::vector<std::vector<uint32_t>> before(nodes);
    for (uint32_t at = 0; at < nodes; ++at)
        for (uint32_t to : next[at]) before[to].push_back(at);
    std::vector<bool> useful(nodes, false);
    for (uint32_t at = 0; at < nodes; ++at)
        if (reached[at] && (is_final[at] || at == end_node)) pending.push_back(at);
    while (!pending.empty()) {
        const uint32_t at = pending.back();
        pending.pop_back();
        if (useful[at] || !reached[at]) continue;
        useful[at] = true;
        pending.insert(pending.end(), before[at].begin(), before[at].end());
    }
    auto keep_useful = [&](std::vector<uint32_t>& list) {
        list.erase(std::remove_if(list.begin(), list.end(), [&](uint32_t at) { return !useful[at]; }), list.end());
    };
    for (std::vector<uint32_t>& list : next) keep_useful(list);
    keep_useful(begin_nodes);
    keep_useful(seed_nodes);

    // Bits: chains of nodes that lead to one other node alone get consecutive bits.
    std::vector<uint32_t> chain_next(nodes, NONE);
    std::vector<bool> claimed(nodes, false);
    for (uint32_t at = 0; at < nodes; ++at) {
        if (!useful[at] || next[at].size() != 1) continue;
        const uint32_t to = next[at][0];
        if (to != at && !claimed[to]) {
            chain_next[at] = to;
            claimed[to] = true;
        }
    }
    std::vector<uint32_t> bit_of(nodes, NONE);
    size_t bits = 0;
    for (int pass = 0; pass < 2; ++pass) {  // chains from their heads, then what is left (cycles)
        for (uint32_t head = 0; head < nodes; ++head) {
            if (!useful[head] || bit_of[head] != NONE || (pass == 0 && claimed[head])) continue;
            for (uint32_t at = head; at != NONE && bit_of[at] == NONE; at = chain_next[at]) bit_of[at] = uint32_t(bits++);
        }
    }
    positions_ = bits;
    if (bits > MAX_POSITIONS) return false;
    words_ = bits <= 64 ? 1 : bits <= 128 ? 2 : 4;
    const unsigned w = words_;

    masks_.assign(size_t(MASK_COUNT) * w, 0);
    uint64_t* masks = masks_.data();
    for (uint32_t at : begin_nodes) set_bit(masks + BEGIN * w, bit_of[at]);
    for (uint32_t at : seed_nodes) set_bit(masks + SEED * w, bit_of[at]);
    if (useful[end_node]) set_bit(masks + END * w, bit_of[end_node]);
    accept_.assign(size_t(256) * w, 0);
    std::vector<uint32_t> node_at_bit(bits, NONE);
    for (uint32_t at = 0; at < nodes; ++at) {
        if (!useful[at]) continue;
        node_at_bit[bit_of[at]] = at;
        if (is_final[at]) set_bit(masks + FINAL * w, bit_of[at]);
        if (chain_next[at] != NONE && bit_of[chain_next[at]] == bit_of[at] + 1) set_bit(masks + SHIFT * w, bit_of[at]);
        if (at == end_node) continue;
        for (int c = 1; c < 256; ++c)
            if (positions[at].accept.has(uint8_t(c))) set_bit(accept_.data() + size_t(c) * w, bit_of[at]);
    }

    // The tables, for the chunks that hold a bit whose followers are not its shift.
    chunks_.clear();
    tables_.clear();
    const unsigned CHUNK_BITS = chunk_bits(w);
    for (unsigned chunk = 0; chunk * CHUNK_BITS < bits; ++chunk) {
        std::vector<uint64_t> follows(size_t(CHUNK_BITS) * w, 0);  // by bit of the chunk
        bool needed = false;
        for (unsigned i = 0; i < CHUNK_BITS && chunk * CHUNK_BITS + i < bits; ++i) {
            const size_t bit = chunk * CHUNK_BITS + i;
            if ((masks[SHIFT * w + bit / 64] >> (bit % 64)) & 1) continue;
            for (uint32_t to : next[node_at_bit[bit]]) {
                set_bit(follows.data() + size_t(i) * w, bit_of[to]);
                needed = true;
            }
        }
        if (!needed) continue;
        chunks_.push_back(uint8_t(chunk));
        const size_t base = tables_.size();
        tables_.resize(base + (size_t(1) << CHUNK_BITS) * w, 0);
        for (unsigned v = 1; v < (1u << CHUNK_BITS); ++v) {
            const unsigned low = unsigned(__builtin_ctz(v));
            for (unsigned k = 0; k < w; ++k)
                tables_[base + v * w + k] = tables_[base + (v & (v - 1)) * w + k] | follows[low * w + k];
        }
    }
    // With more than one word, a table for every chunk, some of them empty, lets the scan
    // unroll all the lookups; that pays once half of them are needed anyway.
    full_tables_ = w > 1 && chunks_.size() * 2 > size_t(w) * 64 / CHUNK_BITS;
    if (full_tables_) {
        std::vector<uint64_t> full(size_t(w) * 64 / CHUNK_BITS * (size_t(1) << CHUNK_BITS) * w, 0);
        for (size_t i = 0; i < chunks_.size(); ++i)
            std::copy_n(tables_.begin() + i * (size_t(1) << CHUNK_BITS) * w, (size_t(1) << CHUNK_BITS) * w,
                        full.begin() + chunks_[i] * (size_t(1) << CHUNK_BITS) * w);
        tables_.swap(full);
    }
    bytes_scanned_ = paired_scans_ = 0;
    return true;
}

// run moves state over the bytes of [p, end), which are all text; it returns the byte with
// which a match ended, or null. CHUNKS is the number of tables (one word of state), or DYNAMIC
// (counted at run time). The state stays in registers: a chunk's word is chosen by selects,
// never by an index into an array.
template <unsigned W, unsigned CHUNKS>
const char* BitNfa::run(const char* p, const char* end, State<W>& state) const {
    static_assert(CHUNKS == DYNAMIC || CHUNKS == FULL || W == 1, "a fixed count of tables is for one word");
    constexpr unsigned BITS = chunk_bits(W);
    constexpr unsigned PER_WORD = 64 / BITS;
    constexpr size_t ENTRIES = size_t(1) << BITS;
    constexpr uint64_t INDEX = ENTRIES - 1;
    struct Chunk {
        uint8_t word;
        uint8_t shift;
    };
    Chunk chunks[CHUNKS == DYNAMIC || CHUNKS == FULL ? PER_WORD * W : CHUNKS + 1];
    const unsigned chunk_count = CHUNKS == DYNAMIC ? unsigned(chunks_.size()) : CHUNKS == FULL ? 0 : CHUNKS;
    for (unsigned i = 0; i < chunk_count; ++i)
        chunks[i] = Chunk{uint8_t(chunks_[i] / PER_WORD), uint8_t(chunks_[i] % PER_WORD * BITS)};
    const uint64_t* accept = accept_.data();
    const uint64_t* tables = tables_.data();
    const uint64_t* masks = masks_.data();
    uint64_t seed[W], final_bits[W], shift[W], s[W];
    for (unsigned k = 0; k < W; ++k) {
        seed[k] = masks[SEED * W + k];
        final_bits[k] = masks[FINAL * W + k];
        shift[k] = masks[SHIFT * W + k];
        s[k] = state.word[k];
    }
    for (; p < end; ++p) {
        const uint64_t* a = accept + size_t(static_cast<unsigned char>(*p)) * W;
        uint64_t t[W];
        uint64_t hit = 0;
        for (unsigned k = 0; k < W; ++k) {
            t[k] = s[k] & a[k];
            hit |= t[k] & final_bits[k];
        }
        if (hit != 0) return p;
        uint64_t carry = 0;
        for (unsigned k = 0; k < W; ++k) {
            const uint64_t moved = t[k] & shift[k];
            s[k] = (moved << 1) | carry | seed[k];
            carry = moved >> 63;
        }
        // The lookups are independent; two sums of them keep the chain of ORs short.
        uint64_t other[W] = {};
        const uint64_t* table = tables;
        for (unsigned i = 0; i < chunk_count; ++i, table += ENTRIES * W) {
            uint64_t word = t[0];
            for (unsigned k = 1; k < W; ++k) word = chunks[i].word == k ? t[k] : word;
            const uint64_t* entry = table + size_t((word >> chunks[i].shift) & INDEX) * W;
            for (unsigned k = 0; k < W; ++k) {
                if (i & 1)
                    other[k] |= entry[k];
                else
                    s[k] |= entry[k];
            }
        }
        if constexpr (CHUNKS == FULL) {
            for (unsigned k = 0; k < W; ++k) {
                for (unsigned j = 0; j < PER_WORD; ++j, table += ENTRIES * W) {
                    const uint64_t* entry = table + size_t((t[k] >> (j * BITS)) & INDEX) * W;
                    for (unsigned i = 0; i < W; ++i) {
                        if (j & 1)
                            other[i] |= entry[i];
                        else
                            s[i] |= entry[i];
                    }
                }
            }
        }
        for (unsigned k = 0; k < W; ++k) s[k] |= other[k];
    }
    for (unsigned k = 0; k < W; ++k) state.word[k] = s[k];
    return nullptr;
}

template <unsigned W>
const char* BitNfa::run_text(const char* p, const char* end, State<W>& state) const {
    if constexpr (W == 1) {
        switch (chunks_.size()) {
        case 0: return run<1, 0>(p, end, state);
        case 1: return run<1, 1>(p, end, state);
        case 2: return run<1, 2>(p, end, state);
        case 3: return run<1, 3>(p, end, state);
        case 4: return run<1, 4>(p, end, state);
        case 5: return run<1, 5>(p, end, state);
        case 6: return run<1, 6>(p, end, state);
        case 7: return run<1, 7>(p, end, state);
        default: return run<1, 8>(p, end, state);
        }
    } else {
        return full_tables_ ? run<W, FULL>(p, end, state) : run<W, DYNAMIC>(p, end, state);
    }
}

template <unsigned W>
bool BitNfa::line_end_matches(const State<W>& state, bool empty) const {
    if (empty) return empty_line_matches_;
    uint64_t hit = 0;
    for (unsigned k = 0; k < W; ++k) hit |= state.word[k] & masks_[END * W + k];
    return hit != 0;
}

// LineCursor walks the lines of a stretch [line, stop) of whole lines, the current one's text
// being [line, text_end) with p the next byte to run.
struct BitNfa::LineCursor {
    const char* line;
    const char* stop;
    const char* p = nullptr;
    const char* text_end = nullptr;
    bool done = false;

    LineCursor(const char* from, const char* to) : line(from), stop(to) { start_line(); }

    void start_line() {
        done = line >= stop;
        if (done) return;
        text_end = scan_find_line_end(line, stop);
        if (text_end == nullptr) text_end = stop;
        p = line;
    }

    // next_line moves past the '\n' that ends the current line (bytes after a NUL belong to no line).
    void next_line() {
        const char* line_feed = text_end < stop && *text_end == '\n'
                                    ? text_end
                                    : static_cast<const char*>(std::memchr(text_end, '\n', size_t(stop - text_end)));
        line = line_feed != nullptr ? line_feed + 1 : stop;
        start_line();
    }
};

// finish_lines runs the cursor's lines to the end of its stretch, the current one from p
// with state; it returns where a match ended, or null.
template <unsigned W>
const char* BitNfa::finish_lines(LineCursor& cursor, State<W> state) {
    State<W> start;
    for (unsigned k = 0; k < W; ++k) start.word[k] = masks_[BEGIN * W + k];
    for (; !cursor.done; cursor.next_line(), state = start) {
        bytes_scanned_ += uint64_t(cursor.text_end - cursor.p);
        if (const char* at = run_text<W>(cursor.p, cursor.text_end, state)) return at;
        if (line_end_matches(state, cursor.text_end == cursor.line)) return cursor.text_end;
    }
    return nullptr;
}

// run_pair runs two streams of text with one word of state over n bytes each, in step: the
// steps of one stream wait for the table lookups of the last, those of two streams do not wait
// for each other, so two take little more time than one. It returns 1 when a match ended in
// the first stream (a at its byte), 2 in the second (b at its byte), 0 when neither did.
template <unsigned CHUNKS>
int BitNfa::run_pair(const char*& a, const char*& b, size_t n, uint64_t& state_a, uint64_t& state_b) const {
    unsigned shifts[CHUNKS + 1];
    for (unsigned i = 0; i < CHUNKS; ++i) shifts[i] = chunks_[i] * CHUNK_BITS_ONE_WORD;
    const uint64_t* accept = accept_.data();
    const uint64_t* tables = tables_.data();
    const uint64_t seed = masks_[SEED];
    const uint64_t final_bits = masks_[FINAL];
    const uint64_t shift = masks_[SHIFT];
    uint64_t sa = state_a;
    uint64_t sb = state_b;
    auto step = [&](uint64_t t) {
        uint64_t next = ((t & shift) << 1) | seed;
        for (unsigned i = 0; i < CHUNKS; ++i) next |= tables[i * 256 + ((t >> shifts[i]) & 0xFF)];
        return next;
    };
    const char* const a_end = a + n;
    int result = 0;
    for (; a < a_end; ++a, ++b) {
        const uint64_t ta = sa & accept[static_cast<unsigned char>(*a)];
        const uint64_t tb = sb & accept[static_cast<unsigned char>(*b)];
        if (((ta | tb) & final_bits) != 0) {
            result = (ta & final_bits) != 0 ? 1 : 2;
            break;
        }
        sa = step(ta);
        sb = step(tb);
    }
    state_a = sa;
    state_b = sb;
    return result;
}

// scan_pair is BUFFER mode with one word of state: the region's two halves, cut at a line's
// end, are run at once, each line by line. A match in the first half is the answer; one in
// the second is the answer once the first half is found to hold none.
template <unsigned CHUNKS>
const char* BitNfa::scan_pair(const char* begin, const char* middle, const char* end) {
    LineCursor first(begin, middle);
    LineCursor second(middle, end);
    const uint64_t start = masks_[BEGIN];
    uint64_t state_a = start;
    uint64_t state_b = start;
    const char* found = nullptr;  // in the second half
    while (!first.done && !second.done) {
        const size_t n = size_t(std::min(first.text_end - first.p, second.text_end - second.p));
        bytes_scanned_ += 2 * n;
        const int hit = run_pair<CHUNKS>(first.p, second.p, n, state_a, state_b);
        if (hit == 1) return first.p;
        if (hit == 2) {
            found = second.p;
            break;
        }
        if (first.p == first.text_end) {
            if (line_end_matches(State<1>{{state_a}}, first.text_end == first.line)) return first.text_end;
            first.next_line();
            state_a = start;
        }
        if (second.p == second.text_end) {
            if (line_end_matches(State<1>{{state_b}}, second.text_end == second.line)) {
                found = second.text_end;
                break;
            }
            second.next_line();
            state_b = start;
        }
    }
    if (const char* at = finish_lines<1>(first, State<1>{{state_a}})) return at;
    if (found != nullptr) return found;
    return finish_lines<1>(second, State<1>{{state_b}});
}

template <unsigned W>
LazyDfa::Outcome BitNfa::scan_words(const char* begin, const char* end, LazyDfa::Mode mode) {
    using Result = LazyDfa::Result;
    State<W> start;
    for (unsigned k = 0; k < W; ++k) start.word[k] = masks_[BEGIN * W + k];
    if (mode == LazyDfa::Mode::LINE) {
        const void* nul = std::memchr(begin, '\0', size_t(end - begin));
        const char* text_end = nul != nullptr ? static_cast<const char*>(nul) : end;
        bytes_scanned_ += uint64_t(text_end - begin);
        State<W> state = start;
        if (const char* at = run_text<W>(begin, text_end, state)) return {Result::MATCH, at};
        if (line_end_matches(state, text_end == begin)) return {Result::MATCH, text_end};
        return {Result::NONE, end};
    }
    const char* found = nullptr;
    // Two halves at once, where both hold a good many lines; a line's end after the middle
    // divides them.
    const char* cut = size_t(end - begin) >= PAIR_MIN_BYTES && W == 1 && !chunks_.empty()
                          ? static_cast<const char*>(std::memchr(begin + (end - begin) / 2, '\n',
                                                                 size_t(end - begin) - size_t(end - begin) / 2))
                          : nullptr;
    if (cut != nullptr && cut + 1 < end) {
        const char* middle = cut + 1;
        ++paired_scans_;
        switch (chunks_.size()) {
        case 1: found = scan_pair<1>(begin, middle, end); break;
        case 2: found = scan_pair<2>(begin, middle, end); break;
        case 3: found = scan_pair<3>(begin, middle, end); break;
        case 4: found = scan_pair<4>(begin, middle, end); break;
        case 5: found = scan_pair<5>(begin, middle, end); break;
        case 6: found = scan_pair<6>(begin, middle, end); break;
        case 7: found = scan_pair<7>(begin, middle, end); break;
        default: found = scan_pair<8>(begin, middle, end); break;
        }
    } else {
        LineCursor lines(begin, end);
        found = finish_lines<W>(lines, start);
    }
    return found != nullptr ? LazyDfa::Outcome{Result::MATCH, found} : LazyDfa::Outcome{Result::NONE, end};
}

LazyDfa::Outcome BitNfa::scan(const char* begin, const char* end, LazyDfa::Mode mode) {
    if (mode == LazyDfa::Mode::BUFFER && begin >= end) return {LazyDfa::Result::NONE, end};
    if (every_line_) return {LazyDfa::Result::MATCH, begin};
    switch (words_) {
    case 1: return scan_words<1>(begin, end, mode);
    case 2: return scan_words<2>(begin, end, mode);
    default: return scan_words<4>(begin, end, mode);
    }
}
