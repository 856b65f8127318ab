// regselect.cpp: selection without slots. Entry points regmatcher, regselect,
// regselect_line and regmatcher_free (regexp.h).
//
// Three stages, cheapest first. The prefilter (prefilter.h) searches the whole region for
// the literals that every match contains, with the vector literal search of scan/; only a
// line where one occurs goes further. The lazy DFA (dfa.h) then decides the line, or,
// without a prefilter, runs through the region itself, line feeds and all. A line the DFA
// gives up on (its cache cleared too often) is copied and searched by the backtracker,
// on the matcher's private copy of the Regexp, so that the caller's slots stay as they are.
//
// On a long line the DFA from the line's start costs a load per byte of the whole line,
// for a literal that may stand near its end. When the prefilter's literal L is a node on
// the top level of a program of one alternative, every match is P L S, so a line matches
// exactly when, at some occurrence of L, P matches backward from it and S forward from
// after it: two anchored DFAs (dfa.h: build_prefix, build_suffix) that read only the bytes
// next to the occurrence, usually a few. decide_around does that for each occurrence in
// the line; when its work outgrows the stretch of the line it has covered (P or S reading
// the same bytes again, occurrences close together), the line goes to the DFA from its
// start after all, so the work stays linear in the line.
// tests/matcher_diff_test.cpp compares every path with regsearch.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "regexp/dfa.h"
#include "regexp/messages.h"
#include "regexp/prefilter.h"
#include "regexp/program.h"
#include "regexp/regexp.h"
#include "regexp/regselect_tuning.h"
#include "scan/scan.h"

namespace {

size_t cache_bytes_setting = DEFAULT_DFA_CACHE_BYTES;
// How much rarer than the bytes that leave an accelerated start state the literals must be
// for the prefilter to be used: measured on the corpus of docs/regexp.md, a literal hit
// costs about this many times a stop of the accelerated scan.
constexpr double PREFILTER_ADVANTAGE = 4;
bool prefilter_setting = true;
// How much of the first region searched chooses the bytes the prefilter probes.
constexpr size_t PREFILTER_SAMPLE_SIZE = 32 * 1024;
InnerLiteral inner_setting = InnerLiteral::AUTO;
// A line shorter than this is decided by the DFA from its start, which is as fast there
// (measured on the corpora of docs/regexp.md).
constexpr size_t INNER_MIN_LINE_BYTES = 64;
// Deciding a line around its literal stops and hands the line to the DFA from its start
// once its work exceeds the stretch of the line it has covered by INNER_WORK_SLACK: the
// work is the bytes the anchored DFAs read plus INNER_HIT_COST for each occurrence tried,
// which costs about as much as that many bytes of DFA (finding it, starting two scans;
// measured on lines of 4 KB with an occurrence every 12 to 48 bytes).
constexpr size_t INNER_WORK_SLACK = 64;
constexpr size_t INNER_HIT_COST = 16;

struct FreeDeleter {
    void operator()(Regexp* prog) const { std::free(prog); }
};

}  // namespace

struct RegMatcher {
    std::unique_ptr<Regexp, FreeDeleter> backtracker;  // private copy: record and program
    bool sound = false;
    LazyDfa dfa;
    std::vector<std::string> literals;
    std::unique_ptr<LiteralSearch> prefilter;
    bool prefilter_adapted = false;  // its probes chosen on the first region searched
    std::vector<char> line_copy;  // a NUL-terminated copy of a line for the backtracker
    uint64_t candidates = 0;
    uint64_t backtracked_lines = 0;

    // Deciding lines around the literal: its length (0 when lines are not decided so), the
    // shortest line decided so, and the two sides of the program.
    size_t inner_length = 0;
    size_t inner_min_line = 0;
    LazyDfa prefix;
    LazyDfa suffix;
    uint64_t inner_lines = 0;
    uint64_t inner_hits = 0;
    uint64_t inner_fallbacks = 0;
};

namespace {

// text_ends finds, back from a hit, the nearer of the line feed and NUL before it: both end
// a line's text. Lines can be long, so it is a vector search.
const ByteSetSearch& text_ends() {
    static const ByteSetSearch search = [] {
        bool member[256] = {};
        member[uint8_t('\n')] = true;
        member[0] = true;
        return ByteSetSearch(member);
    }();
    return search;
}

// line_start returns the start of the line that holds at, looking back no further than from.
const char* line_start(const char* from, const char* at) {
    const char* line_feed = scan_find_last_byte(from, at, '\n');
    return line_feed != nullptr ? line_feed + 1 : from;
}

// backtrack_text runs the backtracker on the text [begin, end) cut at its first NUL.
// false when it does not match or a copy could not be made.
bool backtrack_text(RegMatcher* matcher, const char* begin, const char* end) {
    const void* nul = std::memchr(begin, '\0', size_t(end - begin));
    if (nul != nullptr) end = static_cast<const char*>(nul);
    try {
        matcher->line_copy.assign(begin, end);
        matcher->line_copy.push_back('\0');
    } catch (const std::bad_alloc&) {
        regreport(MSG_OUT_OF_SPACE);
        return false;
    }
    ++matcher->backtracked_lines;
    return regsearch(matcher->backtracker.get(), matcher->line_copy.data()) == 1;
}

// backtrack_line runs the backtracker on the line that begins at begin, inside a region
// that ends at end; *next receives the start of the following line.
bool backtrack_line(RegMatcher* matcher, const char* begin, const char* end, const char** next) {
    const char* line_feed = static_cast<const char*>(std::memchr(begin, '\n', size_t(end - begin)));
    *next = line_feed != nullptr ? line_feed + 1 : end;
    return backtrack_text(matcher, begin, line_feed != nullptr ? line_feed : end);
}

// hints_hold tells whether the search hints of prog are what the compiler derives from its
// program, so that they only spare the backtracker tries that cannot succeed. The DFA does
// not read them; a record whose hints were changed, or whose program was damaged under
// them, can get other answers from the backtracker, and goes to it for every line.
bool hints_hold(const Regexp* prog, size_t program_size) {
    if (prog->first_char == '\0' && prog->anchored == 0 && prog->must_text == nullptr) return true;
    const unsigned char* top = prog->program + 1;
    const unsigned char* after_top = next_node(top);
    if (after_top == nullptr || node_opcode(after_top) != OP_END) return false;
    const unsigned char* first = node_operand(top);
    if (prog->anchored != 0 && node_opcode(first) != OP_LINE_START) return false;
    if (prog->first_char != '\0' &&
        (node_opcode(first) != OP_LITERAL || node_operand(first)[0] != static_cast<unsigned char>(prog->first_char)))
        return false;
    if (prog->must_text == nullptr) return true;
    size_t steps = 0;
    for (const unsigned char* node = first; node != nullptr && steps <= program_size; node = next_node(node), ++steps) {
        if (node_opcode(node) == OP_LITERAL && reinterpret_cast<const char*>(node_operand(node)) == prog->must_text)
            return true;
    }
    return false;
}

// dfa_region runs the DFA through the lines of [begin, end).
const char* dfa_region(RegMatcher* matcher, const char* begin, const char* end) {
    while (begin < end) {
        const LazyDfa::Outcome outcome = matcher->dfa.scan(begin, end, LazyDfa::Mode::BUFFER);
        if (outcome.result == LazyDfa::Result::NONE) return nullptr;
        const char* start = line_start(begin, outcome.at);
        if (outcome.result == LazyDfa::Result::MATCH) return start;
        if (backtrack_line(matcher, start, end, &begin)) return start;
    }
    return nullptr;
}

enum class Around { MATCH, NO_MATCH, UNDECIDED };

// decide_around decides the line whose text is [line, text_end) from the occurrences of
// the literal in it, the first of them at hit: MATCH when P matches backward from one and
// S forward from after it. UNDECIDED when a DFA gave up, or when the work outgrows the
// stretch of the line covered so far (P or S reading the same bytes again for occurrence
// after occurrence, or occurrences too close together to pay): the DFA from the line's
// start is then cheaper, and the work wasted stays within the line's length plus a little.
Around decide_around(RegMatcher* matcher, const char* line, const char* hit, const char* text_end) {
    ++matcher->inner_lines;
    size_t work = 0;
    const char* low = hit;   // the stretch of the line read or passed so far
    const char* high = hit;
    for (const char* at = hit; at != nullptr; at = matcher->prefilter->find(at + 1, text_end)) {
        ++matcher->inner_hits;
        const LazyDfa::Outcome before = matcher->prefix.scan_anchored(at, line);
        if (before.result == LazyDfa::Result::GAVE_UP) return Around::UNDECIDED;
        work += size_t(at - before.at) + INNER_HIT_COST;
        low = std::min(low, before.at);
        const char* after_literal = at + matcher->inner_length;
        high = std::max(high, after_literal);
        if (before.result == LazyDfa::Result::MATCH) {
            const LazyDfa::Outcome after = matcher->suffix.scan_anchored(after_literal, text_end);
            if (after.result == LazyDfa::Result::GAVE_UP) return Around::UNDECIDED;
            if (after.result == LazyDfa::Result::MATCH) return Around::MATCH;
            work += size_t(after.at - after_literal);
            high = std::max(high, after.at);
        }
        if (work > size_t(high - low) + INNER_WORK_SLACK) return Around::UNDECIDED;
    }
    return Around::NO_MATCH;
}

// select_around decides the line of a prefilter hit in a region that begins at a line start
// from (so that hit is the literal's first occurrence in its line): its start when it
// matches, else null; *next receives the start of the following line.
const char* select_around(RegMatcher* matcher, const char* from, const char* hit, const char* end,
                          const char** next) {
    const char* bound = text_ends().find_last(from, hit);
    const char* line = bound != nullptr ? bound + 1 : from;
    // A NUL before the literal ends the line's text before every occurrence.
    const bool in_text = bound == nullptr || *bound == '\n';
    const char* text_end = in_text ? scan_find_line_end(hit + matcher->inner_length, end) : hit;
    if (text_end == nullptr) text_end = end;
    const char* line_feed = text_end < end && *text_end == '\n'
                                ? text_end
                                : static_cast<const char*>(std::memchr(text_end, '\n', size_t(end - text_end)));
    *next = line_feed != nullptr ? line_feed + 1 : end;
    if (!in_text) return nullptr;
    if (size_t(text_end - line) >= matcher->inner_min_line) {
        switch (decide_around(matcher, line, hit, text_end)) {
        case Around::MATCH:
            return line;
        case Around::NO_MATCH:
            return nullptr;
        case Around::UNDECIDED:
            ++matcher->inner_fallbacks;
            break;
        }
    }
    return dfa_region(matcher, line, *next);
}

// top_level_literals returns the offsets of the OP_LITERAL nodes on the top level of a
// sound program whose top level is one alternative, or none.
std::vector<uint32_t> top_level_literals(const unsigned char* program, size_t program_size) {
    std::vector<uint32_t> found;
    const unsigned char* top = program + 1;
    const unsigned char* after_top = next_node(top);
    if (after_top == nullptr || node_opcode(after_top) != OP_END) return found;
    size_t steps = 0;
    for (const unsigned char* node = node_operand(top); node != nullptr && node_opcode(node) != OP_END &&
                                                        steps <= program_size;
         node = next_node(node), ++steps)
        if (node_opcode(node) == OP_LITERAL) found.push_back(uint32_t(node - program));
    return found;
}

// choose_inner_literal prepares deciding lines around a literal when the program allows it
// (see InnerLiteral), and then makes that literal the prefilter's only one.
void choose_inner_literal(RegMatcher* matcher, const unsigned char* program, size_t program_size) {
    if (inner_setting == InnerLiteral::OFF) return;
    uint32_t chosen = 0;
    std::string chosen_text;
    for (uint32_t node : top_level_literals(program, program_size)) {
        std::string text(reinterpret_cast<const char*>(node_operand(program + node)));
        if (text.find('\n') != std::string::npos || !splits_at(program, program_size, node)) continue;
        if (inner_setting == InnerLiteral::AUTO) {
            if (matcher->literals.size() != 1 || matcher->literals[0] != text) continue;
        } else if (chosen != 0 && estimated_hit_rate({text}) >= estimated_hit_rate({chosen_text})) {
            continue;
        }
        chosen = node;
        chosen_text = std::move(text);
    }
    if (chosen == 0) return;
    matcher->literals = {chosen_text};
    matcher->inner_length = chosen_text.size();
    matcher->inner_min_line = inner_setting == InnerLiteral::ALWAYS ? 0 : INNER_MIN_LINE_BYTES;
    matcher->prefix.build_prefix(program, program_size, cache_bytes_setting, chosen);
    matcher->suffix.build_suffix(program, program_size, cache_bytes_setting,
                                 uint32_t(next_node(program + chosen) - program));
}

}  // namespace

RegMatcher* regmatcher(const Regexp* prog) {
    if (prog == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return nullptr;
    }
    if (prog->program[0] != REGEXP_MAGIC) {
        regreport(MSG_CORRUPTED_PROGRAM);
        return nullptr;
    }
    const ProgramExtent extent = inspect_program(prog->program);
    size_t size = extent.size;
    if (prog->must_text != nullptr) {
        const size_t must_end = size_t(prog->must_text - reinterpret_cast<const char*>(prog->program)) +
                                size_t(prog->must_length) + 1;
        size = std::max(size, must_end);
    }
    try {
        auto matcher = std::make_unique<RegMatcher>();
        Regexp* copy = static_cast<Regexp*>(std::malloc(sizeof(Regexp) + size));
        if (copy == nullptr) throw std::bad_alloc();
        matcher->backtracker.reset(copy);
        *copy = *prog;
        copy->program = reinterpret_cast<unsigned char*>(copy + 1);
        std::memcpy(copy->program, prog->program, size);
        if (prog->must_text != nullptr)
            copy->must_text = reinterpret_cast<const char*>(copy->program) +
                              (prog->must_text - reinterpret_cast<const char*>(prog->program));
        for (int i = 0; i < REGEXP_GROUPS; ++i) copy->match_start[i] = copy->match_end[i] = nullptr;

        matcher->sound = extent.sound && hints_hold(prog, extent.size);
        if (matcher->sound) {
            matcher->dfa.build(copy->program, extent.size, cache_bytes_setting);
            if (prefilter_setting) matcher->literals = required_literals(copy->program);
            // An accelerated start state is a prefilter of its own, and a cheaper one per
            // stop: the scan goes on in place, where a literal hit costs finding its line
            // and running the DFA over it. The literals must be much rarer to pay.
            const double escape_share = matcher->dfa.start_escape_share();
            if (escape_share >= 0 && estimated_hit_rate(matcher->literals) * PREFILTER_ADVANTAGE > escape_share)
                matcher->literals.clear();
            choose_inner_literal(matcher.get(), copy->program, extent.size);
            if (!matcher->literals.empty()) {
                std::vector<std::string_view> views(matcher->literals.begin(), matcher->literals.end());
                matcher->prefilter = std::make_unique<LiteralSearch>(views, false);
            }
        }
        return matcher.release();
    } catch (const std::bad_alloc&) {
        regreport(MSG_OUT_OF_SPACE);
        return nullptr;
    }
}

void regmatcher_free(RegMatcher* matcher) { delete matcher; }

const char* regselect(RegMatcher* matcher, const char* begin, const char* end) {
    if (matcher == nullptr || begin == nullptr || end == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return nullptr;
    }
    if (begin >= end) return nullptr;
    if (!matcher->sound) {
        for (const char* line = begin; line < end;) {
            const char* next;
            if (backtrack_line(matcher, line, end, &next)) return line;
            line = next;
        }
        return nullptr;
    }
    if (matcher->dfa.matches_every_line()) return begin;
    if (matcher->prefilter == nullptr) return dfa_region(matcher, begin, end);
    if (!matcher->prefilter_adapted) {
        matcher->prefilter->adapt_to(begin, begin + std::min(size_t(end - begin), PREFILTER_SAMPLE_SIZE));
        matcher->prefilter_adapted = true;
    }

    for (const char* from = begin; from < end;) {
        const char* hit = matcher->prefilter->find(from, end);
        if (hit == nullptr) return nullptr;
        ++matcher->candidates;
        if (matcher->inner_length != 0) {
            const char* next;
            if (const char* found = select_around(matcher, from, hit, end, &next)) return found;
            from = next;
            continue;
        }
        const char* start = line_start(from, hit);
        const char* line_feed = static_cast<const char*>(std::memchr(hit, '\n', size_t(end - hit)));
        const char* next = line_feed != nullptr ? line_feed + 1 : end;
        if (const char* found = dfa_region(matcher, start, next)) return found;
        from = next;
    }
    return nullptr;
}

int regselect_line(RegMatcher* matcher, const char* line, size_t length) {
    if (matcher == nullptr || line == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return 0;
    }
    const char* end = line + length;
    if (!matcher->sound) return backtrack_text(matcher, line, end);
    if (matcher->dfa.matches_every_line()) return 1;
    if (matcher->prefilter != nullptr) {
        const char* text_end = end;
        if (matcher->inner_length != 0) {
            const void* nul = std::memchr(line, '\0', length);
            if (nul != nullptr) text_end = static_cast<const char*>(nul);
        }
        const char* hit = matcher->prefilter->find(line, text_end);
        if (hit == nullptr) return 0;
        ++matcher->candidates;
        if (matcher->inner_length != 0 && size_t(text_end - line) >= matcher->inner_min_line) {
            switch (decide_around(matcher, line, hit, text_end)) {
            case Around::MATCH:
                return 1;
            case Around::NO_MATCH:
                return 0;
            case Around::UNDECIDED:
                ++matcher->inner_fallbacks;
                break;
            }
        }
    }
    const LazyDfa::Outcome outcome = matcher->dfa.scan(line, end, LazyDfa::Mode::LINE);
    if (outcome.result == LazyDfa::Result::GAVE_UP) return backtrack_text(matcher, line, end);
    return outcome.result == LazyDfa::Result::MATCH;
}

size_t regselect_set_cache_bytes(size_t bytes) {
    const size_t old = cache_bytes_setting;
    cache_bytes_setting = bytes;
    return old;
}

bool regselect_set_prefilter(bool enabled) {
    const bool old = prefilter_setting;
    prefilter_setting = enabled;
    return old;
}

InnerLiteral regselect_set_inner_literal(InnerLiteral mode) {
    const InnerLiteral old = inner_setting;
    inner_setting = mode;
    return old;
}

RegMatcherStats regmatcher_stats(const RegMatcher* matcher) {
    RegMatcherStats stats;
    stats.uses_dfa = matcher->sound;
    stats.literals = matcher->literals;
    stats.dfa = matcher->dfa.stats();
    stats.candidates = matcher->candidates;
    stats.backtracked_lines = matcher->backtracked_lines;
    if (matcher->inner_length != 0) {
        stats.inner_literal = matcher->literals[0];
        stats.inner_lines = matcher->inner_lines;
        stats.inner_hits = matcher->inner_hits;
        stats.inner_fallbacks = matcher->inner_fallbacks;
        stats.prefix_dfa = matcher->prefix.stats();
        stats.suffix_dfa = matcher->suffix.stats();
    }
    return stats;
}
