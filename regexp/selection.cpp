// selection.cpp: the selection matcher, selection without slots. Entry points regmatcher,
// regselect, regselect_line, regsearch_with and regmatcher_free (regexp.h).
//
// regmatcher analyses the program once (analysis.h) and names how its lines are selected
// (SelectStrategy, selection.h); select_in is the one cascade that runs each strategy,
// over a buffer of lines for regselect and over one line for regselect_line. Cheapest first:
//   - A literal set (literals.h) is searched through the whole region with the vector literal
//     search of scan/; only a line where one occurs goes further.
//   - The lazy DFA (dfa.h) decides that line, or, without a literal set, runs through the
//     region itself, line feeds and all.
//   - A line the DFA gives up on (its cache cleared too often) is copied and searched by the
//     backtracker, on the matcher's private copy of the Regexp, so that the caller's slots
//     stay as they are.
//
// Which literal set. The analysis offers several (one for each required factor of a match);
// each is rated by what searching it would cost per byte of text against what the DFA alone
// costs: at first by the background byte table, then on a sample of the first region
// searched (its byte shares, and how often each set really occurs there). While a set is
// searched, the work its hits cause is measured; when it stops paying, the sets are rated
// again on the text at hand and the best is taken, or none, and the DFA alone runs until a
// later look shows a set paying again.
//
// Around a literal. On a long line the DFA from the line's start costs a load per byte of
// the whole line, for a literal that may stand near its end. When the literal searched is a
// class literal that every match holds once (a part of a literal run, analysis.h), every
// match is P L S, so a line matches exactly when, at some occurrence of L, P matches backward
// from it and S forward from after it: two anchored DFAs (build_prefix, build_suffix) that
// read only the bytes next to the occurrence, usually a few. decide_around does that for each
// occurrence in the line; when its work outgrows the stretch of the line it has covered (P or
// S reading the same bytes again, occurrences close together), the line goes to the DFA from
// its start after all, so the work stays linear in the line.
// tests/matcher_diff_test.cpp compares every strategy with regsearch.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "regexp/analysis.h"
#include "regexp/bitnfa.h"
#include "regexp/dfa.h"
#include "regexp/literals.h"
#include "regexp/messages.h"
#include "regexp/program.h"
#include "regexp/regexp.h"
#include "regexp/backtracker.h"
#include "regexp/selection.h"
#include "scan/scan.h"

namespace {

// How much of a region a literal set is rated on.
constexpr size_t SAMPLE_SIZE = 64 * 1024;
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

// The cost model that rates literal sets, in nanoseconds of work per byte of text, as
// measured with select_corpus_bench on the corpus of docs/regexp.md. The DFA alone costs
// DFA_COST a byte, or, from an accelerated start state, ACCEL_COST a byte plus ESCAPE_COST
// for each byte that leaves it. A byte searched by the literal kernel costs search_cost (it
// grows with the literals probed); a stop of the kernel that the rest of the literal turns
// away STOP_COST; a candidate line LINE_COST and LINE_BYTE_COST for each of its bytes (the
// DFA from its start); an occurrence decided around the literal AROUND_COST.
constexpr double DFA_COST = 1.2;
constexpr double ACCEL_COST = 0.04;
constexpr double ESCAPE_COST = 16;
constexpr double STOP_COST = 2;
constexpr double LINE_COST = 25;
constexpr double LINE_BYTE_COST = 1.0;
constexpr double AROUND_COST = 70;
// When the DFA gives up on a line, the bit-parallel NFA takes that line and the next
// NFA_FIRST_STRETCH bytes; each time the DFA gives up again the stretch doubles, up to
// NFA_MAX_STRETCH, so that text the DFA cannot cope with costs it only a few chances.
// A program whose shape says its DFA cannot stay small starts with a stretch of
// NFA_HOSTILE_STRETCH, and its DFA gets a first chance only after that.
constexpr uint64_t NFA_FIRST_STRETCH = uint64_t(1) << 20;
constexpr uint64_t NFA_HOSTILE_STRETCH = uint64_t(64) << 20;
constexpr uint64_t NFA_MAX_STRETCH = uint64_t(1) << 32;
// The longest wait between two looks at the sets while the DFA runs alone.
constexpr size_t MAX_RETRY_BYTES = size_t(1) << 30;
// Without a sample, lines are taken to be this long.
constexpr double TYPICAL_LINE_BYTES = 80;

}  // namespace

struct RegMatcher {
    // Offer is one literal set the matcher may search: a set from the analysis, decided with
    // the DFA from each candidate line's start, or a class literal that splits the program,
    // decided around its occurrences.
    struct Offer {
        LiteralSet set;
        bool around = false;
        LiteralSplit split{};
        std::unique_ptr<LiteralSearch> search;  // scan/'s search for the class literals as they are
        bool whole = false;   // every literal of the set is a string the pattern matches: an occurrence is a match
        bool failed = false;  // it stopped paying; not offered again until the DFA has run alone a while
    };
    RegMatcherConfig config;
    SelectStrategy strategy = SelectStrategy::BACKTRACK;
    RegexpPtr backtracker;  // private copy: record and program
    ProgramAnalysis analysis;
    LazyDfa dfa;
    // The core engine that decides lines: the DFA, or the bit-parallel NFA where the DFA's
    // cache thrashes (nfa_active), until the NFA has run over nfa_until of its bytes.
    BitNfa nfa;
    bool nfa_usable = false;
    bool nfa_active = false;
    uint64_t nfa_until = 0;
    uint64_t nfa_stretch = NFA_FIRST_STRETCH;
    uint64_t nfa_switches = 0;
    // The leftmost start of a match, for regsearch_with: built at its first use.
    LazyDfa reverse;
    bool reverse_built = false;
    uint64_t reverse_starts = 0;
    uint64_t reverse_gave_up = 0;
    std::vector<char> line_copy;  // a NUL-terminated copy of a line for the backtracker
    uint64_t candidates = 0;
    uint64_t backtracked_lines = 0;

    // The literal sets and the one searched (-1: none, the DFA runs alone).
    std::vector<Offer> offers;
    int chosen = -1;
    bool rated_on_text = false;   // the first region has been sampled
    size_t review_searched = 0;   // bytes searched since the last review
    double review_work = 0;       // work the hits caused since then, in nanoseconds
    double review_dfa_cost = DFA_COST;  // what the DFA alone was rated at, per byte, when the set was chosen
    size_t off_scanned = 0;       // bytes the DFA ran over since the prefilter went off
    size_t retry_bytes = 0;       // how many of them before the sets are tried again
    uint64_t reviews = 0;
    uint64_t changes = 0;
    uint64_t off_bytes = 0;

    // Deciding lines around the literal (chosen offer's split): the shortest line decided so,
    // and the two sides of the program, built for the split they were built for.
    size_t inner_min_line = 0;
    uint32_t sides_node = 0;   // the split the two sides were built for (0: none yet)
    uint32_t sides_after = 0;
    LazyDfa prefix;
    LazyDfa suffix;
    uint64_t inner_lines = 0;
    uint64_t inner_hits = 0;
    uint64_t inner_fallbacks = 0;

    Offer* offer() { return chosen >= 0 ? &offers[size_t(chosen)] : nullptr; }
};

namespace {

using Offer = RegMatcher::Offer;

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

// ---------------------------------------------------------------------------------------
// The backtracker, for the lines the DFA cannot take.

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
    const NodeStep top = node_step(prog->program + 1);
    const unsigned char* after_top = next_node(prog->program + 1);
    if (top.kind != NodeKind::PASSAGE || after_top == nullptr || node_opcode(after_top) != OP_END) return false;
    const unsigned char* first = top.next;
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

// ---------------------------------------------------------------------------------------
// Literal sets: searching them, and choosing which.

// TextSample is what a sample of the text says that rating a set needs.
struct TextSample {
    const char* begin = nullptr;
    const char* end = nullptr;
    ByteShares shares;
    double line_bytes = TYPICAL_LINE_BYTES;  // the average length of its lines
};

TextSample sample_of(const char* begin, const char* end) {
    TextSample sample;
    sample.begin = begin;
    sample.end = begin + std::min(size_t(end - begin), SAMPLE_SIZE);
    sample.shares = sample_shares(sample.begin, sample.end);
    const size_t lines = scan_count_byte(sample.begin, sample.end, '\n');
    sample.line_bytes = double(sample.end - sample.begin) / double(std::max<size_t>(lines, 1));
    return sample;
}

// dfa_cost is what the DFA alone costs per byte, by the sample's byte shares when there is
// one: the bytes that leave an accelerated start state may be far from rare in it.
double dfa_cost(const RegMatcher* matcher, const TextSample* sample) {
    if (matcher->dfa.start_escape_share() < 0) return DFA_COST;
    if (sample == nullptr) return ACCEL_COST + matcher->dfa.start_escape_share() * ESCAPE_COST;
    double share = 0;
    for (int b = 0; b < 256; ++b)
        if (matcher->dfa.start_escapes().has(uint8_t(b))) share += sample->shares.share[b];
    return std::min(ACCEL_COST + share * ESCAPE_COST, DFA_COST);
}

// search_cost is what the literal kernel costs per byte for a set of count literals, its
// stops aside: the probes for a few, the nibble buckets for more, slowly growing with the
// literals checked at each candidate (docs/scan.md).
double search_cost(size_t count) { return 0.03 + 0.003 * double(std::min<size_t>(count, 40)); }

// decides_around tells whether a candidate line of line_bytes is decided around the literal.
bool decides_around(const RegMatcher* matcher, const Offer& offer, double line_bytes) {
    return offer.around && line_bytes >= double(matcher->inner_min_line);
}

// offer_cost rates an offer per byte of text: on the sample when there is one (the lines
// where the set really occurs there, and its occurrences), else by the background table.
double offer_cost(const RegMatcher* matcher, const Offer& offer, const TextSample* sample) {
    const ByteShares& shares = sample != nullptr ? sample->shares : background_shares();
    const double line_bytes = sample != nullptr ? sample->line_bytes : TYPICAL_LINE_BYTES;
    const double stops = estimated_rate(offer.set, shares);
    double hits = stops;
    double lines_hit = std::min(stops, 1.0 / line_bytes);
    if (sample != nullptr && sample->end > sample->begin) {
        size_t found = 0;
        size_t lines = 0;
        for (const char* at = offer.search->find(sample->begin, sample->end); at != nullptr;) {
            ++found;
            ++lines;
            const char* line_feed = scan_find_byte(at, sample->end, '\n');
            const char* next = offer.search->find(at + 1, sample->end);
            // Further hits in the same line are decided with the first.
            while (next != nullptr && line_feed != nullptr && next < line_feed) {
                ++found;
                next = offer.search->find(next + 1, sample->end);
            }
            at = next;
        }
        hits = double(found) / double(sample->end - sample->begin);
        lines_hit = double(lines) / double(sample->end - sample->begin);
    }
    const double candidates = offer.whole ? lines_hit * LINE_COST
                              : decides_around(matcher, offer, line_bytes)
                                  ? hits * AROUND_COST
                                  : lines_hit * (LINE_COST + line_bytes * LINE_BYTE_COST);
    return search_cost(offer.set.literals.size()) + stops * STOP_COST + candidates;
}

// build_sides prepares the DFAs for both sides of the chosen offer's split.
void build_sides(RegMatcher* matcher, const Offer& offer) {
    if (matcher->sides_node == offer.split.node && matcher->sides_after == offer.split.after) return;
    const unsigned char* program = matcher->backtracker->program;
    const size_t size = matcher->analysis.extent.size;
    matcher->prefix.build_prefix(program, size, matcher->config.cache_bytes, offer.split.node);
    matcher->suffix.build_suffix(program, size, matcher->config.cache_bytes, offer.split.after);
    matcher->sides_node = offer.split.node;
    matcher->sides_after = offer.split.after;
}

// choose takes the offer that costs least, or none when the DFA alone costs less; it returns
// whether the choice changed. sample is null before any text has been seen.
bool choose(RegMatcher* matcher, const TextSample* sample) {
    int best = -1;
    double best_cost = dfa_cost(matcher, sample);
    for (size_t i = 0; i < matcher->offers.size(); ++i) {
        Offer& offer = matcher->offers[i];
        if (offer.failed) continue;
        const double cost = offer_cost(matcher, offer, sample);
        if (cost < best_cost) {
            best = int(i);
            best_cost = cost;
        }
    }
    // Every line decided around a literal, whatever it costs: the rarest split.
    if (matcher->config.inner == InnerLiteral::ALWAYS && best < 0 && !matcher->offers.empty()) best = 0;
    const bool changed = best != matcher->chosen;
    matcher->review_dfa_cost = dfa_cost(matcher, sample);
    matcher->chosen = best;
    if (Offer* offer = matcher->offer()) {
        if (sample != nullptr) offer->search->adapt_to(sample->begin, sample->end);
        if (offer->around) build_sides(matcher, *offer);
        matcher->strategy = offer->whole    ? SelectStrategy::LITERALS
                            : offer->around ? SelectStrategy::AROUND_LITERAL
                                            : SelectStrategy::LITERALS_THEN_DFA;
    } else {
        matcher->strategy = matcher->nfa_active ? SelectStrategy::NFA : SelectStrategy::DFA;
    }
    return changed;
}

// make_offers lists the literal sets the matcher may search, from the analysis: every set
// it found, and every run part that splits the program, decided around.
void make_offers(RegMatcher* matcher) {
    const ProgramAnalysis& analysis = matcher->analysis;
    const InnerLiteral inner = matcher->config.inner;
    if (inner != InnerLiteral::ALWAYS) {
        for (const LiteralSet& set : analysis.literal_sets) {
            Offer offer;
            offer.set = set;
            // Every literal of the set a string the pattern matches: an occurrence is a match.
            offer.whole = !analysis.exact_literals.empty() &&
                          std::all_of(set.literals.begin(), set.literals.end(), [&](const ClassLiteral& literal) {
                              return std::find(analysis.exact_literals.begin(), analysis.exact_literals.end(),
                                               literal) != analysis.exact_literals.end();
                          });
            offer.around = !offer.whole && inner == InnerLiteral::AUTO && set.literals.size() == 1 &&
                           find_split(analysis, set.literals[0], offer.split);
            matcher->offers.push_back(std::move(offer));
        }
    }
    if (inner == InnerLiteral::OFF) return;
    std::vector<Offer> around;
    for (const LiteralRun& run : analysis.literal_runs) {
        ClassLiteral whole;
        for (const LiteralRun::Node& node : run.nodes) {
            whole.insert(whole.end(), node.text.begin(), node.text.end());
            Offer offer;
            offer.set.literals = {node.text};
            offer.around = true;
            offer.split = LiteralSplit{node.node, node.after, node.text};
            around.push_back(std::move(offer));
        }
        if (run.nodes.size() > 1 && whole.size() <= MAX_LENGTH) {
            Offer offer;
            offer.set.literals = {whole};
            offer.around = true;
            offer.split = LiteralSplit{run.nodes.front().node, run.nodes.back().after, whole};
            around.push_back(std::move(offer));
        }
    }
    // Rarest first, so that ALWAYS takes the rarest split.
    std::stable_sort(around.begin(), around.end(), [](const Offer& a, const Offer& b) {
        return estimated_rate(a.set, background_shares()) < estimated_rate(b.set, background_shares());
    });
    for (Offer& offer : around) {
        bool held = false;
        for (const Offer& existing : matcher->offers)
            held = held || (existing.around && existing.set.literals == offer.set.literals);
        if (!held) matcher->offers.push_back(std::move(offer));
    }
    for (Offer& offer : matcher->offers) offer.search = std::make_unique<LiteralSearch>(offer.set.literals);
}

// review looks, at the start of a region, at whether the literal set searched still pays,
// and chooses again on a sample of the region when it does not, or when the DFA has run
// alone long enough to try the sets again.
void review(RegMatcher* matcher, const char* begin, const char* end) {
    if (matcher->offers.empty()) return;
    if (!matcher->rated_on_text) {
        matcher->rated_on_text = true;
        const TextSample sample = sample_of(begin, end);
        matcher->changes += choose(matcher, &sample);
        return;
    }
    if (matcher->config.inner == InnerLiteral::ALWAYS) return;  // tests: keep to the path asked for
    bool look = false;
    if (matcher->chosen >= 0) {
        if (matcher->review_searched < matcher->config.review_bytes) return;
        // The work the set caused against what the DFA alone would have done.
        const double searched = double(matcher->review_searched);
        look = search_cost(matcher->offer()->set.literals.size()) * searched + matcher->review_work >
               matcher->review_dfa_cost * searched;
        matcher->review_searched = 0;
        matcher->review_work = 0;
        // What was measured outweighs what a sample says: this set is not offered again
        // for a while.
        if (look) matcher->offer()->failed = true;
    } else {
        look = matcher->off_scanned >= matcher->retry_bytes;
        if (look) {
            for (Offer& offer : matcher->offers) offer.failed = false;
            // Each time the sets are tried again and none is taken, or the one taken fails
            // again, the next try waits twice as long, so that text no set pays on costs
            // only a few looks.
            matcher->retry_bytes = std::min(matcher->retry_bytes * 2, MAX_RETRY_BYTES);
        }
    }
    if (!look) return;
    ++matcher->reviews;
    matcher->off_scanned = 0;
    const TextSample sample = sample_of(begin, end);
    matcher->changes += choose(matcher, &sample);
}

// ---------------------------------------------------------------------------------------
// The strategies.

// nfa_takes_over makes the NFA the core engine after the DFA gave up, for a stretch that
// doubles each time; true when there is an NFA to take over.
bool nfa_takes_over(RegMatcher* matcher) {
    if (!matcher->nfa_usable) return false;
    matcher->nfa_active = true;
    ++matcher->nfa_switches;
    matcher->nfa_until = matcher->nfa.bytes_scanned() + matcher->nfa_stretch;
    matcher->nfa_stretch = std::min(matcher->nfa_stretch * 2, NFA_MAX_STRETCH);
    return true;
}

// nfa_stretch_over ends the NFA's stretch once it has run over it: the DFA gets the next
// chance (unless the NFA is all the matcher has).
void nfa_stretch_over(RegMatcher* matcher) {
    if (matcher->config.core != CoreEngine::NFA && matcher->nfa.bytes_scanned() >= matcher->nfa_until)
        matcher->nfa_active = false;
}

// core_region runs the core engine through the lines of [begin, end).
const char* core_region(RegMatcher* matcher, const char* begin, const char* end) {
    while (begin < end) {
        if (matcher->nfa_active) {
            const LazyDfa::Outcome outcome = matcher->nfa.scan(begin, end, LazyDfa::Mode::BUFFER);
            nfa_stretch_over(matcher);
            return outcome.result == LazyDfa::Result::MATCH ? line_start(begin, outcome.at) : nullptr;
        }
        const LazyDfa::Outcome outcome = matcher->dfa.scan(begin, end, LazyDfa::Mode::BUFFER);
        if (outcome.result == LazyDfa::Result::NONE) return nullptr;
        const char* start = line_start(begin, outcome.at);
        if (outcome.result == LazyDfa::Result::MATCH) return start;
        // The DFA gave up on this line: the NFA takes it and the lines after it, or the
        // backtracker takes the line alone.
        if (nfa_takes_over(matcher)) {
            begin = start;
            continue;
        }
        if (backtrack_line(matcher, start, end, &begin)) return start;
    }
    return nullptr;
}

// core_line decides one line with the core engine from its start.
bool core_line(RegMatcher* matcher, const char* line, const char* end) {
    if (!matcher->nfa_active) {
        const LazyDfa::Outcome outcome = matcher->dfa.scan(line, end, LazyDfa::Mode::LINE);
        if (outcome.result != LazyDfa::Result::GAVE_UP) return outcome.result == LazyDfa::Result::MATCH;
        if (!nfa_takes_over(matcher)) return backtrack_text(matcher, line, end);
    }
    const bool matched = matcher->nfa.scan(line, end, LazyDfa::Mode::LINE).result == LazyDfa::Result::MATCH;
    nfa_stretch_over(matcher);
    return matched;
}

enum class Around { MATCH, NO_MATCH, UNDECIDED };

// decide_around decides the line whose text is [line, text_end) from the occurrences of
// the literal in it, the first of them at hit: MATCH when P matches backward from one and
// S forward from after it. UNDECIDED when a DFA gave up, or when the work outgrows the
// stretch of the line covered so far (P or S reading the same bytes again for occurrence
// after occurrence, or occurrences too close together to pay): the DFA from the line's
// start is then cheaper, and the work wasted stays within the line's length plus a little.
Around decide_around(RegMatcher* matcher, const Offer& offer, const char* line, const char* hit,
                     const char* text_end) {
    ++matcher->inner_lines;
    const size_t length = offer.split.text.size();
    size_t work = 0;
    const char* low = hit;  // the stretch of the line read or passed so far
    const char* high = hit;
    for (const char* at = hit; at != nullptr; at = offer.search->find(at + 1, text_end)) {
        ++matcher->inner_hits;
        const LazyDfa::Outcome before = matcher->prefix.scan_anchored(at, line);
        if (before.result == LazyDfa::Result::GAVE_UP) return Around::UNDECIDED;
        work += size_t(at - before.at) + INNER_HIT_COST;
        low = std::min(low, before.at);
        const char* after_literal = at + length;
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

// decide_candidate decides a line in which the set searched occurs, hit being the first
// occurrence in its text [line, text_end); end is where the line ends (its line feed, or
// the end of a line given alone). work receives what it cost, in bytes of DFA.
bool decide_candidate(RegMatcher* matcher, Offer& offer, const char* line, const char* hit, const char* text_end,
                      const char* end, double* work) {
    ++matcher->candidates;
    if (offer.whole) {  // the literal that occurs is a match
        *work += LINE_COST;
        return true;
    }
    if (offer.around && size_t(text_end - line) >= matcher->inner_min_line) {
        const uint64_t hits_before = matcher->inner_hits;
        const Around decided = decide_around(matcher, offer, line, hit, text_end);
        *work += AROUND_COST * double(matcher->inner_hits - hits_before);
        if (decided != Around::UNDECIDED) return decided == Around::MATCH;
        ++matcher->inner_fallbacks;
    }
    *work += double(end - line) * LINE_BYTE_COST + LINE_COST;
    return core_line(matcher, line, end);
}

// prefiltered_region searches [begin, end) for the offer's set and decides each line it hits.
const char* prefiltered_region(RegMatcher* matcher, Offer& offer, const char* begin, const char* end) {
    const char* from = begin;
    double work = 0;
    const char* found = nullptr;
    while (from < end) {
        const char* hit = offer.search->find(from, end);
        if (hit == nullptr) {
            from = end;
            break;
        }
        // The line of the hit, and where its text ends: at a NUL before the hit the line's
        // text is over, and the hit lies past it.
        const char* bound = text_ends().find_last(from, hit);
        const char* line = bound != nullptr ? bound + 1 : from;
        const bool in_text = bound == nullptr || *bound == '\n';
        const char* text_end = in_text ? scan_find_line_end(hit, end) : hit;
        if (text_end == nullptr) text_end = end;
        const char* line_feed = text_end < end && *text_end == '\n'
                                    ? text_end
                                    : static_cast<const char*>(std::memchr(text_end, '\n', size_t(end - text_end)));
        const char* line_end = line_feed != nullptr ? line_feed : end;
        // A NUL before the hit ends the line's text before it, and no literal occurs in the
        // text (the hit is the first since the line's start): the line cannot match.
        if (in_text && decide_candidate(matcher, offer, line, hit, text_end, line_end, &work)) {
            found = line;
            from = line_end;
            break;
        }
        from = line_feed != nullptr ? line_feed + 1 : end;
    }
    matcher->review_searched += size_t(from - begin);
    matcher->review_work += work;
    return found;
}

// select_in is the cascade: it runs the matcher's strategy over the lines of [begin, end),
// and returns the start of the first that matches, or null. In LINE mode the span is one
// line, '\n' an ordinary byte in it, and the result is begin or null.
const char* select_in(RegMatcher* matcher, const char* begin, const char* end, LazyDfa::Mode mode) {
    const bool one_line = mode == LazyDfa::Mode::LINE;
    if (!one_line) review(matcher, begin, end);
    switch (matcher->strategy) {
    case SelectStrategy::BACKTRACK:
        if (one_line) return backtrack_text(matcher, begin, end) ? begin : nullptr;
        for (const char* line = begin; line < end;) {
            const char* next;
            if (backtrack_line(matcher, line, end, &next)) return line;
            line = next;
        }
        return nullptr;
    case SelectStrategy::EVERY_LINE:
        return begin;
    case SelectStrategy::DFA:
    case SelectStrategy::NFA:
        if (one_line) return core_line(matcher, begin, end) ? begin : nullptr;
        if (matcher->offers.empty()) return core_region(matcher, begin, end);
        {
            // The prefilter is off: count what the DFA runs over, up to the line it stops at.
            const char* found = core_region(matcher, begin, end);
            const size_t scanned = size_t((found != nullptr ? found : end) - begin);
            matcher->off_scanned += scanned;
            matcher->off_bytes += scanned;
            return found;
        }
    case SelectStrategy::LITERALS:
    case SelectStrategy::LITERALS_THEN_DFA:
    case SelectStrategy::AROUND_LITERAL:
        break;
    }
    Offer& offer = *matcher->offer();
    if (!one_line) return prefiltered_region(matcher, offer, begin, end);
    const void* nul = std::memchr(begin, '\0', size_t(end - begin));
    const char* text_end = nul != nullptr ? static_cast<const char*>(nul) : end;
    const char* hit = offer.search->find(begin, text_end);
    if (hit == nullptr) return nullptr;
    double work = 0;
    return decide_candidate(matcher, offer, begin, hit, text_end, end, &work) ? begin : nullptr;
}

}  // namespace

const char* strategy_name(SelectStrategy strategy) {
    switch (strategy) {
    case SelectStrategy::BACKTRACK:
        return "backtrack";
    case SelectStrategy::EVERY_LINE:
        return "every line";
    case SelectStrategy::DFA:
        return "dfa";
    case SelectStrategy::NFA:
        return "nfa";
    case SelectStrategy::LITERALS:
        return "literals";
    case SelectStrategy::LITERALS_THEN_DFA:
        return "literals then dfa";
    case SelectStrategy::AROUND_LITERAL:
        return "around a literal";
    }
    return "?";
}

RegMatcher* regmatcher_configured(const Regexp* prog, const RegMatcherConfig& config) {
    if (prog == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return nullptr;
    }
    if (prog->program[0] != REGEXP_MAGIC) {
        regreport(MSG_CORRUPTED_PROGRAM);
        return nullptr;
    }
    try {
        auto matcher = std::make_unique<RegMatcher>();
        matcher->config = config;
        matcher->retry_bytes = config.retry_bytes;
        matcher->analysis = analyse_program(prog->program);
        const ProgramExtent& extent = matcher->analysis.extent;
        size_t size = extent.size;
        if (prog->must_text != nullptr) {
            const size_t must_end = size_t(prog->must_text - reinterpret_cast<const char*>(prog->program)) +
                                    size_t(prog->must_length) + 1;
            size = std::max(size, must_end);
        }
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

        // The choice of strategy, cheapest first.
        if (!extent.sound || !hints_hold(prog, extent.size)) {
            matcher->strategy = SelectStrategy::BACKTRACK;
            return matcher.release();
        }
        matcher->dfa.build(copy->program, extent.size, config.cache_bytes);
        if (matcher->dfa.matches_every_line()) {
            matcher->strategy = SelectStrategy::EVERY_LINE;
            return matcher.release();
        }
        // The bit-parallel NFA, where the DFA's cache would thrash: from the start when the
        // program's shape says so (or the config asks for it), else once the DFA gives up.
        if (config.core != CoreEngine::DFA) matcher->nfa_usable = matcher->nfa.build(copy->program, extent.size);
        if (matcher->nfa_usable && (config.core == CoreEngine::NFA || matcher->analysis.dfa_hostile)) {
            matcher->nfa_active = true;
            matcher->nfa_until = config.core == CoreEngine::NFA ? UINT64_MAX : NFA_HOSTILE_STRETCH;
            matcher->nfa_stretch = 2 * NFA_HOSTILE_STRETCH;
        }
        matcher->strategy = matcher->nfa_active ? SelectStrategy::NFA : SelectStrategy::DFA;
        matcher->inner_min_line = config.inner == InnerLiteral::ALWAYS ? 0 : INNER_MIN_LINE_BYTES;
        if (config.prefilter) make_offers(matcher.get());
        if (!matcher->offers.empty()) choose(matcher.get(), nullptr);
        return matcher.release();
    } catch (const std::bad_alloc&) {
        regreport(MSG_OUT_OF_SPACE);
        return nullptr;
    }
}

RegMatcher* regmatcher(const Regexp* prog) { return regmatcher_configured(prog, RegMatcherConfig{}); }

void regmatcher_free(RegMatcher* matcher) { delete matcher; }

int regsearch_with(RegMatcher* matcher, Regexp* prog, const char* line) {
    if (matcher == nullptr || prog == nullptr || line == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return 0;
    }
    if (matcher->strategy == SelectStrategy::BACKTRACK) return regsearch(prog, line);
    if (!matcher->reverse_built) {
        try {
            matcher->reverse.build_reverse(matcher->backtracker->program, matcher->analysis.extent.size,
                                           matcher->config.cache_bytes);
        } catch (const std::bad_alloc&) {
            return regsearch(prog, line);
        }
        matcher->reverse_built = true;
    }
    const LazyDfa::Outcome outcome = matcher->reverse.scan_reverse(line, line + std::strlen(line));
    if (outcome.result == LazyDfa::Result::GAVE_UP) ++matcher->reverse_gave_up;
    // No match, or a scan given up: the search as it always is, slots and all (a line
    // without a match may keep the slots of an earlier one).
    if (outcome.result != LazyDfa::Result::MATCH) return regsearch(prog, line);
    const char* start = outcome.at;
    ++matcher->reverse_starts;
    if (regsearch_from(prog, line, start) == 1) return 1;
    return regsearch(prog, line);
}

const char* regselect(RegMatcher* matcher, const char* begin, const char* end) {
    if (matcher == nullptr || begin == nullptr || end == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return nullptr;
    }
    if (begin >= end) return nullptr;
    return select_in(matcher, begin, end, LazyDfa::Mode::BUFFER);
}

int regselect_line(RegMatcher* matcher, const char* line, size_t length) {
    if (matcher == nullptr || line == nullptr) {
        regreport(MSG_NULL_PARAMETER);
        return 0;
    }
    return select_in(matcher, line, line + length, LazyDfa::Mode::LINE) != nullptr;
}

RegMatcherStats regmatcher_stats(const RegMatcher* matcher) {
    RegMatcherStats stats;
    stats.strategy = matcher->strategy;
    stats.uses_dfa = matcher->strategy != SelectStrategy::BACKTRACK;
    const Offer* offer = matcher->chosen >= 0 ? &matcher->offers[size_t(matcher->chosen)] : nullptr;
    if (offer != nullptr)
        for (const ClassLiteral& literal : offer->set.literals) stats.literals.push_back(describe_literal(literal));
    stats.literal_sets = matcher->analysis.literal_sets.size();
    stats.dfa = matcher->dfa.stats();
    stats.candidates = matcher->candidates;
    stats.backtracked_lines = matcher->backtracked_lines;
    stats.prefilter_reviews = matcher->reviews;
    stats.prefilter_changes = matcher->changes;
    stats.prefilter_off_bytes = matcher->off_bytes;
    stats.nfa_active = matcher->nfa_active;
    stats.nfa_switches = matcher->nfa_switches;
    stats.nfa_bytes = matcher->nfa.bytes_scanned();
    stats.reverse_starts = matcher->reverse_starts;
    stats.reverse_gave_up = matcher->reverse_gave_up;
    if (offer != nullptr && offer->around) stats.inner_literal = describe_literal(offer->split.text);
    {
        stats.inner_lines = matcher->inner_lines;
        stats.inner_hits = matcher->inner_hits;
        stats.inner_fallbacks = matcher->inner_fallbacks;
        stats.prefix_dfa = matcher->prefix.stats();
        stats.suffix_dfa = matcher->suffix.stats();
    }
    return stats;
}
