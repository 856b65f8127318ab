// regselect.cpp: selection without slots. Entry points regmatcher, regselect,
// regselect_line and regmatcher_free (regexp.h).
//
// Three stages, cheapest first. The prefilter (prefilter.h) searches the whole region for
// the literals that every match contains, with the vector literal search of scan/; only a
// line where one occurs goes further. The lazy DFA (dfa.h) then decides the line, or,
// without a prefilter, runs through the region itself, line feeds and all. A line the DFA
// gives up on (its cache cleared too often) is copied and searched by the backtracker,
// on the matcher's private copy of the Regexp, so that the caller's slots stay as they are.
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
};

namespace {

// line_start returns the start of the line that holds at, looking back no further than from.
const char* line_start(const char* from, const char* at) {
    while (at > from && at[-1] != '\n') --at;
    return at;
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
        if (matcher->prefilter->find(line, end) == nullptr) return 0;
        ++matcher->candidates;
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

RegMatcherStats regmatcher_stats(const RegMatcher* matcher) {
    RegMatcherStats stats;
    stats.uses_dfa = matcher->sound;
    stats.literals = matcher->literals;
    stats.dfa = matcher->dfa.stats();
    stats.candidates = matcher->candidates;
    stats.backtracked_lines = matcher->backtracked_lines;
    return stats;
}
