// dfa.cpp: the lazy DFA over the compiled program (see dfa.h).
//
// Threads. Every place in the program where the walk waits for a byte is one NFA thread:
// a single-byte node, each byte of a literal, the loop of a simple repetition (and, for
// `x+`, its first pass). A thread knows the bytes it takes and what follows them: the next
// byte of its literal, the loop again, or the node to close over. A `$` node reached before
// the end of the line is a thread too, one that only the end of the line moves on.
//
// Closure. From a node, the empty-width nodes are followed to the threads they lead to:
// every alternative of a chain of OP_ALT nodes, OP_LOOP's link back, OP_EMPTY and the group
// nodes, `^` only at the start of a line, `$` only at its end; reaching OP_END is a match.
// Since selection only asks whether some match exists, a state is the plain set of threads
// (sorted, so equal sets are one state), and the search is unanchored by adding the
// closure of the program's start, computed once, after every byte.
//
// Columns. Bytes that no thread tells apart share a class, so a state's row is one entry
// per class plus one for the end of a line. NUL and '\n' always have classes of their own:
// NUL ends a line's text, and in a buffer of lines '\n' ends the line and leads back to the
// start state (so the DFA runs straight through a buffer without stopping at each line).
//
// Cache. States live in one table with a fixed budget; an entry is a row's byte offset, tagged
// when the state is accelerated, or one of the special values. When the budget is spent
// the cache is emptied and the scan goes on; when that happens too often for the bytes
// scanned (the states are not being reused), the scan gives up on the current line and the
// caller hands it to the backtracker.
//
// Acceleration. The start state, the state of "nothing in progress" and the dead state
// usually loop on almost every byte. When the bytes that leave such a state are few and
// rare in ordinary text, the scan jumps to the next of them with ByteSetSearch.
//
// Both sides of a literal. When the top level of the program is one alternative with a
// literal L on it, every match is P L S: P matches the text before L, S the text after.
// A suffix DFA is the machinery above started at the node after L, anchored (no match
// begins later, so a state without threads is dead and ends the scan). A prefix DFA reads
// P backward from L: its threads are P's byte-consuming places as above, and taking a byte
// leads to what the walk could have been doing just before it, found by following the
// program's links in reverse (into_): a literal's previous byte, a repetition's loop, and
// the threads and empty steps that lead into the node where the thread waited. Reaching
// the program's start means P has matched; reaching it through `^` is a thread that only
// the line's start lets match. `$` never holds inside P (the literal still follows), and
// `^` never inside S (the literal came before).
#include "regexp/dfa.h"

#include <algorithm>
#include <cstring>

#include "regexp/literals.h"

namespace {

constexpr uint32_t ACCEL = 0x80000000u;        // tag: the target state is accelerated
constexpr uint32_t STARTS = ACCEL;             // the same tag in a reverse DFA, which accelerates no state:
                                               // the target state holds the START thread
constexpr uint32_t FIRST_SPECIAL = 0xFFFFFFF0u;
constexpr uint32_t END_OF_TEXT = 0xFFFFFFFDu;  // NUL without a match: the line's text is over
constexpr uint32_t MATCH = 0xFFFFFFFEu;
constexpr uint32_t UNKNOWN = 0xFFFFFFFFu;
constexpr uint32_t GIVE_UP = 0xFFFFFFFCu;      // returned by compute, never stored
constexpr uint32_t DEAD = 0xFFFFFFFBu;         // an anchored scan can match no more
constexpr uint32_t NO_NODE = 0xFFFFFFFFu;

// The give-up rule: after this many clears, a clear that comes after fewer than
// MIN_BYTES_PER_STATE bytes per state built ends the scan of the line.
constexpr uint64_t MIN_CLEARS = 3;
constexpr uint64_t MIN_BYTES_PER_STATE = 10;

// Entries hold row offsets in bytes below the ACCEL bit, so the cache stays well below 2 GiB.
constexpr size_t MAX_CACHE_BYTES = size_t(1) << 30;

// Acceleration pays when the bytes that leave a state are this few and this rare.
constexpr int MAX_ESCAPE_BYTES = 16;
constexpr double MAX_ESCAPE_SHARE = 0.03;

}  // namespace

// ---------------------------------------------------------------------------------------
// Building.

void LazyDfa::build(const unsigned char* program, size_t program_size, size_t cache_bytes) {
    build_shape(program, program_size, cache_bytes, Shape::SEARCH, 1);
}

void LazyDfa::build_suffix(const unsigned char* program, size_t program_size, size_t cache_bytes, uint32_t start) {
    build_shape(program, program_size, cache_bytes, Shape::SUFFIX, start);
}

void LazyDfa::build_prefix(const unsigned char* program, size_t program_size, size_t cache_bytes, uint32_t stop) {
    build_shape(program, program_size, cache_bytes, Shape::PREFIX, stop);
}

void LazyDfa::build_reverse(const unsigned char* program, size_t program_size, size_t cache_bytes) {
    build_shape(program, program_size, cache_bytes, Shape::REVERSE, 1);
}

// build_shape: node is where the walk starts (SEARCH, SUFFIX, REVERSE) or the literal it
// stops before (PREFIX).
void LazyDfa::build_shape(const unsigned char* program, size_t program_size, size_t cache_bytes, Shape shape,
                          uint32_t node) {
    program_ = program;
    shape_ = shape;
    anchored_ = shape != Shape::SEARCH;
    threads_.clear();
    const uint32_t start = shape == Shape::SUFFIX ? node : 1;
    const uint32_t stop = shape == Shape::PREFIX ? node : NO_NODE;

    // A thread for every position (positions.h).
    static_assert(int(Thread::NODE) == int(Position::NODE) && int(Thread::THREAD) == int(Position::POSITION) &&
                      int(Thread::LOOP) == int(Position::LOOP) && int(Thread::LINE_END) == int(Position::LINE_END),
                  "a position is a thread");
    ProgramPositions found = find_positions(program, program_size, start, stop);
    for (const Position& position : found.positions)
        threads_.push_back(Thread{Thread::Kind(position.kind), Thread::Follow(position.follow_kind), position.follow,
                                  {-1, -1}, position.accept});
    thread_at_ = std::move(found.position_at);
    has_line_start_ = found.has_line_start;
    ends_ = std::move(found.ends);
    const std::vector<bool>& seen = found.walked;
    // A scan of one side of a literal never starts at a line's start, nor does a backward
    // scan: `^` there is decided by the gate thread, not by the state.
    if (anchored_) has_line_start_ = false;
    if (shape == Shape::PREFIX || shape == Shape::REVERSE) reverse_threads(seen);

    // Byte classes: start from {NUL}, {'\n'} and the rest, and split by every distinct
    // set of bytes that some thread takes.
    uint8_t cls[256];  // at most 256 classes, so a class fits a byte
    for (int b = 0; b < 256; ++b) cls[b] = b == 0 ? 0 : b == '\n' ? 1 : 2;
    unsigned count = 3;
    std::vector<ByteSet> distinct;
    for (const Thread& thread : threads_) {
        if (thread.kind != Thread::CONSUME) continue;
        if (std::find(distinct.begin(), distinct.end(), thread.accept) != distinct.end()) continue;
        distinct.push_back(thread.accept);
        // Bytes of class k inside the set move to a new class, one per k that is split.
        int16_t moved_to[256];
        std::fill(std::begin(moved_to), std::end(moved_to), int16_t(-1));
        bool outside[256] = {};
        for (int b = 0; b < 256; ++b)
            if (!thread.accept.has(uint8_t(b))) outside[cls[b]] = true;
        for (int b = 0; b < 256; ++b) {
            const uint8_t k = cls[b];
            if (!thread.accept.has(uint8_t(b)) || !outside[k]) continue;
            if (moved_to[k] < 0) moved_to[k] = int16_t(count++);
            cls[b] = uint8_t(moved_to[k]);
        }
    }
    class_byte_.assign(count, 0);
    for (int b = 255; b >= 0; --b) class_byte_[cls[b]] = uint8_t(b);
    stride_ = count + 1;
    line_end_column_ = count;
    nul_column_ = cls[0];
    for (int b = 0; b < 256; ++b) buffer_classes_[b] = line_classes_[b] = cls[b];
    buffer_classes_[uint8_t('\n')] = uint16_t(line_end_column_);
    for (int b = 0; b < 256; ++b) {
        buffer_offsets_[b] = uint32_t(buffer_classes_[b] * sizeof(uint32_t));
        line_offsets_[b] = uint32_t(line_classes_[b] * sizeof(uint32_t));
    }

    closure_.prepare(program_size);
    visited_.assign(program_size, 0);
    gated_visited_.assign(shape == Shape::PREFIX || shape == Shape::REVERSE ? program_size : 0, 0);
    thread_mark_.assign(threads_.size(), 0);
    generation_ = 0;

    // The closure of the start: at any position, and at a line's first position. An
    // anchored DFA has only the second, at the scan's start. A reverse DFA starts from the
    // program's end: a match may end at any position, and at the text's end `$` holds.
    bool seed_matches = false;
    seed_threads_.clear();
    if (shape == Shape::REVERSE) {
        next_generation();
        for (uint32_t end : ends_) close_backward(end, false);
        seed_threads_ = work_;
        std::sort(seed_threads_.begin(), seed_threads_.end());
    } else if (!anchored_) {
        next_generation();
        close(1, false, false);
        seed_matches = matched_;
        seed_threads_ = work_;
        std::sort(seed_threads_.begin(), seed_threads_.end());
    }
    next_generation();
    if (shape == Shape::PREFIX) {
        close_backward(stop, false);
    } else if (shape == Shape::REVERSE) {
        for (uint32_t end : ends_) close_backward(end, true);
    } else {
        close(start, has_line_start_, false);
    }
    every_line_ = seed_matches || matched_;
    begin_threads_ = work_;
    std::sort(begin_threads_.begin(), begin_threads_.end());

    // A cache too small for a few states would only thrash.
    cache_bytes_ = std::min(cache_bytes, MAX_CACHE_BYTES);
    cache_bytes_ = std::max(cache_bytes_, size_t(16) * (stride_ * sizeof(uint32_t) + sizeof(State) + 16) +
                                             (seed_threads_.size() + begin_threads_.size()) * sizeof(uint16_t) * 4);
    scanned_before_ = scanned_at_clear_ = states_at_clear_ = 0;
    stats_ = DfaStats{};
    reset_cache();
}

// reverse_threads turns the threads of the walked nodes (the prefix, or the whole program)
// around: each learns what may have come just before its byte, and into_ gets the reversed
// links.
void LazyDfa::reverse_threads(const std::vector<bool>& walked) {
    std::vector<std::pair<uint32_t, uint32_t>> links;  // (node entered, entry of into_)
    auto add_before = [&](uint32_t id, uint32_t previous) {
        Thread& thread = threads_[id];
        thread.before[thread.before[0] < 0 ? 0 : 1] = int32_t(previous);
    };
    const std::vector<Thread> forward = threads_;
    for (Thread& thread : threads_) {
        thread.follow_kind = Thread::BACK;
        thread.follow = NO_NODE;
    }
    for (uint32_t id = 0; id < forward.size(); ++id) {
        const Thread& thread = forward[id];
        if (thread.kind != Thread::CONSUME) continue;
        switch (thread.follow_kind) {
        case Thread::THREAD:  // the next byte of a literal
            add_before(thread.follow, id);
            break;
        case Thread::NODE:
            links.emplace_back(thread.follow, (id << 2) | INTO_THREAD);
            break;
        case Thread::LOOP:  // the loop again, or on to the repetition's next node
            add_before(uint32_t(thread_at_[thread.follow]), id);
            links.emplace_back(uint32_t(next_node(program_ + thread.follow) - program_), (id << 2) | INTO_THREAD);
            break;
        case Thread::BACK:
            break;
        }
    }
    for (uint32_t at = 0; at < walked.size(); ++at) {
        if (!walked[at]) continue;
        const NodeStep step = node_step(program_ + at);
        const uint32_t next_at = step.next != nullptr ? uint32_t(step.next - program_) : NO_NODE;
        const uint32_t from = at << 2;
        switch (step.kind) {
        case NodeKind::BYTE:
        case NodeKind::LITERAL:
            threads_[uint32_t(thread_at_[at])].follow = at;  // its first byte waits at the node
            break;
        case NodeKind::STAR:
            threads_[uint32_t(thread_at_[at])].follow = at;
            links.emplace_back(next_at, from | INTO_NODE);
            break;
        case NodeKind::PLUS:
            threads_[uint32_t(thread_at_[at + NODE_HEADER_SIZE])].follow = at;
            break;
        case NodeKind::CHOICE:
            links.emplace_back(uint32_t(step.inner - program_), from | INTO_NODE);
            links.emplace_back(next_at, from | INTO_NODE);
            break;
        case NodeKind::LINE_START:
            links.emplace_back(next_at, from | INTO_GATED);
            break;
        case NodeKind::LINE_END:  // `$` cannot hold before the literal; in REVERSE, at the text's end
            if (shape_ == Shape::REVERSE) links.emplace_back(next_at, from | INTO_AT_END);
            break;
        case NodeKind::END:
        case NodeKind::INVALID:
            break;
        case NodeKind::PASSAGE:
            links.emplace_back(next_at, from | INTO_NODE);
            break;
        }
    }
    gate_thread_ = uint32_t(threads_.size());
    threads_.push_back(Thread{Thread::LINE_END, Thread::BACK, NO_NODE, {-1, -1}, ByteSet{}});
    start_thread_ = uint32_t(threads_.size());
    if (shape_ == Shape::REVERSE) threads_.push_back(Thread{Thread::START, Thread::BACK, NO_NODE, {-1, -1}, ByteSet{}});

    into_first_.assign(walked.size() + 1, 0);
    for (const auto& link : links) ++into_first_[link.first + 1];
    for (size_t at = 1; at < into_first_.size(); ++at) into_first_[at] += into_first_[at - 1];
    into_.assign(links.size(), 0);
    std::vector<uint32_t> filled(into_first_.begin(), into_first_.end() - 1);
    for (const auto& link : links) into_[filled[link.first]++] = link.second;
}

// ---------------------------------------------------------------------------------------
// Closure and steps.

void LazyDfa::next_generation() {
    work_.clear();
    matched_ = false;
    closure_.next_generation();
    if (++generation_ == 0) {
        std::fill(visited_.begin(), visited_.end(), 0);
        std::fill(gated_visited_.begin(), gated_visited_.end(), 0);
        std::fill(thread_mark_.begin(), thread_mark_.end(), 0);
        generation_ = 1;
    }
}

void LazyDfa::add_thread(uint32_t id) {
    if (thread_mark_[id] == generation_) return;
    thread_mark_[id] = generation_;
    work_.push_back(uint16_t(id));
}

// close adds the threads reachable from the node at offset through empty-width nodes, or
// sets matched_ on reaching OP_END.
void LazyDfa::close(uint32_t offset, bool at_start, bool at_end) {
    if (closure_.close(program_, thread_at_, offset, at_start, at_end, [this](uint32_t id) { add_thread(id); }))
        matched_ = true;
}

// close_backward adds, for a walk that enters the node at offset, the threads that may have
// taken the byte just before, going back through empty-width nodes (`$` only when at_end);
// it sets matched_ on reaching the program's start, and adds the gate thread on reaching it
// through `^`. A node reached through `^` is only of use for finding the start: no byte can
// come before the line's start. A reverse DFA goes on past the start (a loop may lead back
// to it), which adds its START thread instead of ending the walk.
void LazyDfa::close_backward(uint32_t offset, bool at_end) {
    stack_.clear();
    stack_.push_back(offset << 1);
    while (!stack_.empty()) {
        const uint32_t top = stack_.back();
        stack_.pop_back();
        const uint32_t at = top >> 1;
        const bool gated = (top & 1) != 0;
        if (visited_[at] == generation_) continue;
        if (gated) {
            if (gated_visited_[at] == generation_) continue;
            gated_visited_[at] = generation_;
        } else {
            visited_[at] = generation_;
        }
        if (at == 1) {
            if (shape_ == Shape::REVERSE) {
                add_thread(gated ? gate_thread_ : start_thread_);
            } else if (!gated) {
                matched_ = true;
                return;
            } else {
                add_thread(gate_thread_);
                continue;
            }
        }
        for (uint32_t i = into_first_[at]; i < into_first_[at + 1]; ++i) {
            const uint32_t entry = into_[i];
            const uint32_t kind = entry & 3;
            if (kind == INTO_THREAD) {
                if (!gated) add_thread(entry >> 2);
            } else if (kind != INTO_AT_END || at_end) {
                stack_.push_back(((entry >> 2) << 1) | uint32_t(gated || kind == INTO_GATED));
            }
        }
    }
}

// follow adds what comes after a thread that has taken its byte.
void LazyDfa::follow(const Thread& thread) {
    switch (thread.follow_kind) {
    case Thread::THREAD:
        add_thread(thread.follow);
        break;
    case Thread::NODE:
        close(thread.follow, false, false);
        break;
    case Thread::LOOP:
        add_thread(uint32_t(thread_at_[thread.follow]));
        close(uint32_t(next_node(program_ + thread.follow) - program_), false, false);
        break;
    case Thread::BACK:
        for (int32_t id : thread.before)
            if (id >= 0) add_thread(uint32_t(id));
        if (thread.follow != NO_NODE) close_backward(thread.follow, false);
        break;
    }
}

// step_threads puts into work_ the threads after one byte of the given column, the start
// of a new match included; true when a match ends with that byte.
bool LazyDfa::step_threads(const uint16_t* threads, uint32_t count, unsigned column) {
    next_generation();
    const unsigned char byte = class_byte_[column];
    for (uint32_t i = 0; i < count && !matched_; ++i) {
        const Thread& thread = threads_[threads[i]];
        if (thread.kind == Thread::CONSUME && thread.accept.has(byte)) follow(thread);
    }
    if (matched_) return true;
    for (uint16_t id : seed_threads_) add_thread(id);
    std::sort(work_.begin(), work_.end());
    return false;
}

// line_end_matches tells whether the line matches when it ends in state.
// For a prefix DFA the end is the line's start, which only its gate thread waits for.
bool LazyDfa::line_end_matches(const State& state) {
    next_generation();
    for (uint32_t i = 0; i < state.count && !matched_; ++i) {
        const Thread& thread = threads_[pool_[state.first + i]];
        if (thread.kind != Thread::LINE_END) continue;
        if (shape_ == Shape::PREFIX)
            matched_ = true;
        else
            close(thread.follow, state.at_start, true);
    }
    return matched_;
}

// ---------------------------------------------------------------------------------------
// The cache.

size_t LazyDfa::memory_used() const {
    return states_.size() * sizeof(State) + pool_.size() * sizeof(uint16_t) + table_.size() * sizeof(uint32_t) +
           slots_.size() * sizeof(uint32_t) + accels_.size() * sizeof(Accel);
}

namespace {

uint32_t hash_state(const uint16_t* threads, size_t count, bool at_start) {
    uint32_t h = at_start ? 0x9E3779B9u : 0x811C9DC5u;
    for (size_t i = 0; i < count; ++i) h = (h ^ threads[i]) * 0x01000193u;
    return h ^ (h >> 15);
}

}  // namespace

void LazyDfa::reset_cache() {
    states_.clear();
    pool_.clear();
    table_.clear();
    accels_.clear();
    slots_.assign(64, 0);
    cleared_ = true;
    // The start state first, so that the scan can always go back to it.
    candidate_ = begin_threads_;
    begin_entry_ = find_or_add(candidate_, has_line_start_, nullptr);
}

// give_up_after_clear tells whether the cache, just cleared at position at, is being
// cleared too often for the bytes scanned to keep using the DFA on this line.
bool LazyDfa::give_up_after_clear(const char* at) {
    const uint64_t scanned = scanned_before_ + uint64_t(at >= scan_begin_ ? at - scan_begin_ : scan_begin_ - at);
    const uint64_t bytes = scanned - scanned_at_clear_;
    const uint64_t states = stats_.states_built - states_at_clear_;
    scanned_at_clear_ = scanned;
    states_at_clear_ = stats_.states_built;
    return stats_.cache_clears >= MIN_CLEARS && bytes < MIN_BYTES_PER_STATE * states;
}

// find_or_add returns the entry of the state of the given (sorted) threads, adding it
// when new. Adding may clear the cache first (cleared_ then tells the caller that every
// row it held is gone), or return GIVE_UP. at is the scan position, null while resetting.
uint32_t LazyDfa::find_or_add(std::vector<uint16_t>& threads, bool at_start, const char* at) {
    if (anchored_ && threads.empty() && at != nullptr) return DEAD;
    at_start = at_start && has_line_start_;
    const uint32_t h = hash_state(threads.data(), threads.size(), at_start);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
        const uint32_t slot = slots_[i];
        if (slot == 0) break;
        const State& state = states_[slot - 1];
        if (state.at_start == at_start && state.count == threads.size() &&
            std::equal(threads.begin(), threads.end(), pool_.begin() + state.first)) {
            const uint32_t row = (slot - 1) * row_bytes();
            if (state.starts) return row | STARTS;
            for (const Accel& accel : accels_)
                if (accel.row == row) return row | ACCEL;
            return row;
        }
    }

    const size_t cost = stride_ * sizeof(uint32_t) + sizeof(State) + threads.size() * sizeof(uint16_t) +
                        2 * sizeof(uint32_t);
    if (at != nullptr && memory_used() + cost > cache_bytes_) {
        ++stats_.cache_clears;
        std::vector<uint16_t> kept;
        kept.swap(threads);
        reset_cache();
        threads.swap(kept);
        if (give_up_after_clear(at)) {
            ++stats_.gave_up;
            return GIVE_UP;
        }
        return find_or_add(threads, at_start, at);
    }

    if ((states_.size() + 1) * 2 > slots_.size()) {
        slots_.assign(slots_.size() * 2, 0);
        mask = slots_.size() - 1;
        for (uint32_t index = 0; index < states_.size(); ++index) {
            const State& state = states_[index];
            size_t i = hash_state(pool_.data() + state.first, state.count, state.at_start) & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = index + 1;
        }
    }
    const uint32_t index = uint32_t(states_.size());
    // The START thread has the largest id, so it comes last in a sorted state.
    const bool starts = shape_ == Shape::REVERSE && !threads.empty() && threads.back() == start_thread_;
    states_.push_back(State{uint32_t(pool_.size()), uint32_t(threads.size()), at_start, starts});
    pool_.insert(pool_.end(), threads.begin(), threads.end());
    table_.resize(table_.size() + stride_, UNKNOWN);
    size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = index + 1;
    ++stats_.states_built;

    const uint32_t row = index * row_bytes();
    if (starts) return row | STARTS;
    // Only the states a scan can stay in for long are worth the analysis: the start
    // state, the state of nothing in progress, and the dead state.
    if (!anchored_ && accels_.size() < 4 && (threads.empty() || (!at_start && threads == seed_threads_) || row == 0)) {
        analyse_acceleration(index);
        if (!accels_.empty() && accels_.back().row == row) return row | ACCEL;
    }
    return row;
}

// analyse_acceleration finds the bytes that leave the state, without adding any state,
// and accelerates it when they are few and rare.
void LazyDfa::analyse_acceleration(uint32_t index) {
    const State state = states_[index];
    std::vector<uint16_t> own(pool_.begin() + state.first, pool_.begin() + state.first + state.count);
    bool leaves[257] = {};  // by column
    for (unsigned column = 0; column < line_end_column_; ++column) {
        if (column == nul_column_) {
            leaves[column] = true;
            continue;
        }
        leaves[column] = step_threads(own.data(), state.count, column) || state.at_start || work_ != own;
    }
    // The end of a line stays only in a start state that the end of a line cannot match.
    leaves[line_end_column_] = index != 0 || line_end_matches(states_[index]);

    bool buffer_escape[256] = {};
    bool line_escape[256] = {};
    int count = 0;
    double share = 0;
    for (int b = 0; b < 256; ++b) {
        line_escape[b] = leaves[line_classes_[b]];
        buffer_escape[b] = leaves[buffer_classes_[b]];
        if (buffer_escape[b]) {
            ++count;
            share += background_shares().share[b];
        }
    }
    if (count > MAX_ESCAPE_BYTES || share > MAX_ESCAPE_SHARE) return;
    if (index == 0) {
        start_escape_share_ = share;
        start_escapes_ = ByteSet{};
        for (int b = 0; b < 256; ++b)
            if (buffer_escape[b]) start_escapes_.add(uint8_t(b));
    }
    accels_.push_back(Accel{index * row_bytes(), ByteSetSearch(buffer_escape), ByteSetSearch(line_escape)});
}

// compute fills the entry of row's state for column and returns it (or GIVE_UP).
uint32_t LazyDfa::compute(uint32_t row, unsigned column, const char* at) {
    const State state = states_[row / row_bytes()];
    uint32_t entry;
    if (column == line_end_column_ || column == nul_column_) {
        const bool matched = line_end_matches(state);
        entry = matched ? MATCH : column == nul_column_ ? END_OF_TEXT : anchored_ ? DEAD : begin_entry_;
    } else {
        if (step_threads(pool_.data() + state.first, state.count, column)) {
            entry = MATCH;
        } else {
            candidate_ = work_;
            cleared_ = false;
            entry = find_or_add(candidate_, false, at);
            if (cleared_) return entry;  // the row is gone with the old cache
        }
    }
    table_[row / sizeof(uint32_t) + column] = entry;
    return entry;
}

// skip jumps from p, in the accelerated state at row, to the next byte that leaves it.
const char* LazyDfa::skip(uint32_t row, const char* p, const char* end, Mode mode) const {
    for (const Accel& accel : accels_) {
        if (accel.row != row) continue;
        const char* next = (mode == Mode::BUFFER ? accel.buffer_escape : accel.line_escape).find(p, end);
        return next != nullptr ? next : end;
    }
    return p;
}

// ---------------------------------------------------------------------------------------
// The scan.

LazyDfa::Outcome LazyDfa::scan(const char* begin, const char* end, Mode mode) {
    const uint16_t* classes = mode == Mode::BUFFER ? buffer_classes_ : line_classes_;
    const uint32_t* offsets = mode == Mode::BUFFER ? buffer_offsets_ : line_offsets_;
    scan_begin_ = begin;
    const char* p = begin;
    uint32_t row = begin_entry_ & ~ACCEL;
    if (begin_entry_ & ACCEL) p = skip(row, p, end, mode);
    Outcome outcome{Result::NONE, nullptr};
    for (;;) {
        // The hot loop: plain transitions, four bytes a round. Rows and column offsets are
        // in bytes, so the load that depends on the previous state needs no arithmetic of
        // its own: the next state is one load away from the last.
        const char* table = reinterpret_cast<const char*>(table_.data());
        auto next = [&](uint32_t from, char byte) {
            const char* column = table + offsets[static_cast<unsigned char>(byte)];
            uint32_t entry;
            std::memcpy(&entry, column + from, sizeof entry);
            return entry;
        };
        while (end - p >= 4) {
            const uint32_t n0 = next(row, p[0]);
            if (n0 >= ACCEL) break;
            const uint32_t n1 = next(n0, p[1]);
            if (n1 >= ACCEL) {
                row = n0;
                p += 1;
                break;
            }
            const uint32_t n2 = next(n1, p[2]);
            if (n2 >= ACCEL) {
                row = n1;
                p += 2;
                break;
            }
            const uint32_t n3 = next(n2, p[3]);
            if (n3 >= ACCEL) {
                row = n2;
                p += 3;
                break;
            }
            row = n3;
            p += 4;
        }
        while (p < end) {
            const uint32_t n = next(row, *p);
            if (n >= ACCEL) break;
            row = n;
            ++p;
        }
        if (p == end) break;

        const unsigned column = classes[static_cast<unsigned char>(*p)];
        uint32_t entry = table_[row / sizeof(uint32_t) + column];
        if (entry == UNKNOWN) entry = compute(row, column, p);
        if (entry >= FIRST_SPECIAL) {
            if (entry == MATCH || entry == GIVE_UP) {
                outcome = Outcome{entry == MATCH ? Result::MATCH : Result::GAVE_UP, p};
                break;
            }
            // END_OF_TEXT: a NUL ended the line's text; its other bytes belong to no line.
            if (mode == Mode::LINE) {
                outcome.at = p;
                scanned_before_ += uint64_t(p - begin);
                return outcome;
            }
            const char* line_feed = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            p = line_feed != nullptr ? line_feed + 1 : end;
            row = begin_entry_ & ~ACCEL;
            if (begin_entry_ & ACCEL) p = skip(row, p, end, mode);
            if (line_feed == nullptr) {
                scanned_before_ += uint64_t(end - begin);
                return Outcome{Result::NONE, end};
            }
            continue;
        }
        row = entry & ~ACCEL;
        ++p;
        if (entry & ACCEL) p = skip(row, p, end, mode);
    }
    scanned_before_ += uint64_t(p - begin);
    if (outcome.result != Result::NONE) return outcome;
    // The end of the span: in LINE mode, and for a last line without its '\n', the line
    // ends here.
    if (mode == Mode::LINE || (end > begin && end[-1] != '\n')) {
        uint32_t entry = table_[row / sizeof(uint32_t) + line_end_column_];
        if (entry == UNKNOWN) entry = compute(row, line_end_column_, end);
        if (entry == MATCH) return Outcome{Result::MATCH, end};
    }
    return Outcome{Result::NONE, end};
}

LazyDfa::Outcome LazyDfa::scan_anchored(const char* from, const char* to) {
    if (every_line_) return Outcome{Result::MATCH, from};
    scan_begin_ = from;
    const bool backward = shape_ == Shape::PREFIX;
    const char* p = from;
    uint32_t row = begin_entry_;
    Outcome outcome{Result::NONE, nullptr};
    for (;;) {
        // A row is a byte offset, as in scan; anchored states are never accelerated, so an
        // entry is a row or a special value. The spans are short: no unrolling here.
        const bool at_end = p == to;
        const unsigned column = at_end ? line_end_column_ : line_classes_[static_cast<unsigned char>(backward ? p[-1] : *p)];
        uint32_t entry = table_[row / sizeof(uint32_t) + column];
        if (entry == UNKNOWN) entry = compute(row, column, p);
        if (at_end || entry >= FIRST_SPECIAL) {
            outcome.result = entry == MATCH ? Result::MATCH : entry == GIVE_UP ? Result::GAVE_UP : Result::NONE;
            if (!at_end && entry != GIVE_UP) p += backward ? -1 : 1;  // the byte that decided was read
            break;
        }
        row = entry;
        p += backward ? -1 : 1;
    }
    outcome.at = p;
    scanned_before_ += uint64_t(backward ? from - p : p - from);
    return outcome;
}

LazyDfa::Outcome LazyDfa::scan_reverse(const char* begin, const char* end) {
    const void* nul = std::memchr(begin, '\0', size_t(end - begin));
    if (nul != nullptr) end = static_cast<const char*>(nul);
    scan_begin_ = end;
    const char* found = (begin_entry_ & STARTS) ? end : nullptr;
    const char* p = end;
    uint32_t row = begin_entry_ & ~STARTS;
    const char* table = reinterpret_cast<const char*>(table_.data());
    for (;;) {
        // The hot loop: one dependent load a byte, as in scan; an entry is a row, tagged when
        // a match begins before the byte it took, or a special value.
        while (p > begin) {
            uint32_t entry;
            std::memcpy(&entry, table + line_offsets_[static_cast<unsigned char>(p[-1])] + row, sizeof entry);
            if (entry >= FIRST_SPECIAL) break;
            --p;
            if (entry & STARTS) found = p;
            row = entry & ~STARTS;
        }
        if (p == begin) break;
        const uint32_t entry = compute(row, line_classes_[static_cast<unsigned char>(p[-1])], p);
        if (entry == GIVE_UP) {
            scanned_before_ += uint64_t(end - p);
            return Outcome{Result::GAVE_UP, p};
        }
        if (entry == DEAD) {  // no thread is left: no match begins further back
            scanned_before_ += uint64_t(end - p);
            return Outcome{found != nullptr ? Result::MATCH : Result::NONE, found != nullptr ? found : begin};
        }
        table = reinterpret_cast<const char*>(table_.data());  // compute may have grown or cleared the cache
        --p;
        if (entry & STARTS) found = p;
        row = entry & ~STARTS;
    }
    scanned_before_ += uint64_t(end - begin);
    // At the line's start the program's start may also be reached through `^`.
    const State& state = states_[row / row_bytes()];
    const uint16_t* threads = pool_.data() + state.first;
    if (std::find(threads, threads + state.count, uint16_t(gate_thread_)) != threads + state.count) found = begin;
    return Outcome{found != nullptr ? Result::MATCH : Result::NONE, found != nullptr ? found : begin};
}
