// literals.cpp: required literal sets, read off the program (see literals.h).
//
// The walk follows the program as the matcher would, one fragment at a time, and describes
// each fragment by four facts, each a small set of class strings (`[Ee][Rr]` is one class
// string, not four strings):
//   - exact: the strings the fragment can match, while they are few (a literal, a small set
//     of bytes, alternatives and sequences of those);
//   - head and tail: strings one of which every match begins with, ends with ({""} when
//     nothing is known);
//   - candidates: sets of which every match of the fragment contains one, the few that rate
//     best by the background byte table.
// A sequence joins the exact sets of its parts (every pairing), and at every join offers the
// tail of the left part followed by the head of the right one: a match of `x*TATA[AT]`
// contains TATA[AT] although x* has no exact set. It keeps the candidates of every part, so
// each required factor of a match is offered. Alternatives unite their sets, and have a
// candidate only when every alternative has one (the union of each one's best); a repetition
// that may be skipped (`*`, `?`, the way out of a loop) requires nothing, and `x+` requires
// x and begins and ends with it. Anchors, groups and empty nodes match the empty string.
// Every step is bounded by the limits of literals.h, so the walk is linear in the program.
#include "regexp/literals.h"

#include <algorithm>

#include "scan/scan.h"

namespace {

struct Fragment {
    bool exact_known = true;
    std::vector<ClassLiteral> exact = {ClassLiteral{}};  // the empty string: matches only ""
    std::vector<ClassLiteral> head = {ClassLiteral{}};
    std::vector<ClassLiteral> tail = {ClassLiteral{}};
    std::vector<LiteralSet> candidates;                  // best first by the background table
    std::vector<double> rates;                           // the background rate of each candidate
};


Fragment unknown() {
    Fragment f;
    f.exact_known = false;
    f.exact.clear();
    return f;
}

// set_less orders classes by their members, the one with the smallest member first.
bool set_less(const ByteClass& a, const ByteClass& b) {
    for (int c = 0; c < 256; ++c) {
        const bool in_a = a.contains(uint8_t(c));
        if (in_a != b.contains(uint8_t(c))) return in_a;
    }
    return false;
}

bool literal_less(const ClassLiteral& a, const ClassLiteral& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), set_less);
}

void dedupe(std::vector<ClassLiteral>& literals) {
    std::sort(literals.begin(), literals.end(), literal_less);
    literals.erase(std::unique(literals.begin(), literals.end()), literals.end());
}

// usable tells whether a set can be searched: a few literals, none empty. A literal that can
// hold a line feed could only be found inside a line that regselect_line is given whole; the
// buffer search never finds one, so such a set is not used.
bool usable(const std::vector<ClassLiteral>& literals) {
    if (literals.empty() || literals.size() > MAX_SET_LITERALS) return false;
    for (const ClassLiteral& literal : literals) {
        if (literal.empty()) return false;
        for (const ByteClass& position : literal)
            if (position.contains(uint8_t('\n'))) return false;
    }
    return true;
}

double background_rate(const LiteralSet& set) { return estimated_rate(set, background_shares()); }

// offer adds the set to f's candidates when it is usable and among the best.
void offer(Fragment& f, const std::vector<ClassLiteral>& literals) {
    if (!usable(literals)) return;
    LiteralSet set{literals};
    dedupe(set.literals);
    for (const LiteralSet& held : f.candidates)
        if (held.literals == set.literals) return;
    const double rate = background_rate(set);
    const size_t at = size_t(std::find_if(f.rates.begin(), f.rates.end(), [&](double held) { return held > rate; }) -
                             f.rates.begin());
    if (at >= MAX_CANDIDATES) return;
    f.candidates.insert(f.candidates.begin() + ptrdiff_t(at), std::move(set));
    f.rates.insert(f.rates.begin() + ptrdiff_t(at), rate);
    if (f.candidates.size() > MAX_CANDIDATES) {
        f.candidates.pop_back();
        f.rates.pop_back();
    }
}

void offer_all(Fragment& f, const Fragment& from) {
    for (const LiteralSet& set : from.candidates) offer(f, set.literals);
}

// Side tells which end of a joined string is kept when it is too long: a head keeps its
// first positions, a tail its last, and an exact string cannot be cut.
enum class Side { EXACT, HEAD, TAIL };

// join pairs every string of a with every string of b, or returns false when that makes too
// many strings (or, for EXACT, too long a one).
bool join(const std::vector<ClassLiteral>& a, const std::vector<ClassLiteral>& b, Side side,
          std::vector<ClassLiteral>& out) {
    if (a.size() * b.size() > MAX_EXACT) return false;
    out.clear();
    out.reserve(a.size() * b.size());
    for (const ClassLiteral& x : a) {
        for (const ClassLiteral& y : b) {
            if (x.size() + y.size() > MAX_LENGTH && side == Side::EXACT) return false;
            ClassLiteral both;
            both.reserve(std::min(x.size() + y.size(), MAX_LENGTH));
            both.insert(both.end(), x.begin(), x.end());
            both.insert(both.end(), y.begin(), y.end());
            if (both.size() > MAX_LENGTH) {
                if (side == Side::HEAD)
                    both.resize(MAX_LENGTH);
                else
                    both.erase(both.begin(), both.end() - MAX_LENGTH);
            }
            out.push_back(std::move(both));
        }
    }
    dedupe(out);
    return true;
}

Fragment from_exact(std::vector<ClassLiteral> literals) {
    Fragment f;
    dedupe(literals);
    f.exact = f.head = f.tail = literals;
    offer(f, literals);
    return f;
}

Fragment concat(const Fragment& a, const Fragment& b) {
    Fragment f = unknown();
    offer_all(f, a);
    offer_all(f, b);
    std::vector<ClassLiteral> joined;
    if (join(a.tail, b.head, Side::TAIL, joined)) offer(f, joined);
    if (a.exact_known && b.exact_known && join(a.exact, b.exact, Side::EXACT, joined)) {
        f.exact_known = true;
        f.exact = joined;
    }
    // Every match begins with a head of a, and, when a is exact, with a string of a followed
    // by a head of b; it ends likewise.
    f.head = a.head;
    if (a.exact_known && join(a.exact, b.head, Side::HEAD, joined)) f.head = joined;
    else if (a.exact_known) f.head = a.exact;
    f.tail = b.tail;
    if (b.exact_known && join(a.tail, b.exact, Side::TAIL, joined)) f.tail = joined;
    else if (b.exact_known) f.tail = b.exact;
    if (f.exact_known) f.head = f.tail = f.exact;
    return f;
}

// unite_strings unites the string sets of the alternatives into out; false when they are
// too many.
bool unite_strings(const std::vector<Fragment>& alternatives, std::vector<ClassLiteral> Fragment::*which,
                   std::vector<ClassLiteral>& out) {
    out.clear();
    for (const Fragment& a : alternatives) {
        out.insert(out.end(), (a.*which).begin(), (a.*which).end());
        if (out.size() > MAX_EXACT) return false;
    }
    dedupe(out);
    return true;
}

Fragment unite(const std::vector<Fragment>& alternatives) {
    Fragment f = unknown();
    bool all_exact = true;
    bool all_required = true;
    std::vector<ClassLiteral> required;
    for (const Fragment& a : alternatives) {
        all_exact = all_exact && a.exact_known;
        all_required = all_required && !a.candidates.empty();
        if (all_required) required.insert(required.end(), a.candidates[0].literals.begin(), a.candidates[0].literals.end());
        if (required.size() > MAX_SET_LITERALS) all_required = false;
    }
    if (all_required) offer(f, required);
    std::vector<ClassLiteral> united;
    if (all_exact && unite_strings(alternatives, &Fragment::exact, united)) {
        f.exact_known = true;
        f.exact = f.head = f.tail = united;
        offer(f, united);
        return f;
    }
    // Heads and tails are required too, when no alternative can be empty.
    if (unite_strings(alternatives, &Fragment::head, united)) {
        f.head = united;
        offer(f, united);
    }
    if (unite_strings(alternatives, &Fragment::tail, united)) {
        f.tail = united;
        offer(f, united);
    }
    return f;
}

// single_byte describes a single-byte node: its bytes, as one position, when they are few.
Fragment single_byte(const unsigned char* node) {
    const ByteClass set = byte_class_of(accepted_bytes(node));
    const int count = set.count();
    if (count == 0 || count > MAX_CLASS_BYTES) return unknown();
    return from_exact({ClassLiteral{set}});
}

// walk describes the chain from node up to stop (or OP_END, or a loop back).
Fragment walk(const unsigned char* node, const unsigned char* stop) {
    Fragment f;
    while (node != nullptr && node != stop) {
        const NodeStep step = node_step(node);
        const unsigned char* next = step.next;
        switch (step.kind) {
        case NodeKind::END:
            return f;
        case NodeKind::BYTE:
            f = concat(f, single_byte(node));
            break;
        case NodeKind::LITERAL:
            f = concat(f, from_exact({class_literal_of(reinterpret_cast<const char*>(node_operand(node)))}));
            break;
        case NodeKind::STAR:
            f = concat(f, unknown());
            break;
        case NodeKind::PLUS: {
            // Every match of x+ holds x, and begins and ends with it.
            const Fragment once = single_byte(step.inner);
            Fragment repeated = unknown();
            repeated.candidates = once.candidates;
            repeated.rates = once.rates;
            if (once.exact_known) repeated.head = repeated.tail = once.exact;
            f = concat(f, repeated);
            break;
        }
        case NodeKind::CHOICE: {
            // The chain of alternatives: each runs on to the node after the chain, where they join.
            std::vector<const unsigned char*> firsts;
            const unsigned char* alt = node;
            for (NodeStep link = step; link.kind == NodeKind::CHOICE; link = node_step(alt)) {
                firsts.push_back(link.inner);
                alt = link.next;
            }
            firsts.push_back(node_step(alt).next);
            const unsigned char* after = next_node(alt);
            std::vector<Fragment> alternatives;
            for (const unsigned char* first : firsts) alternatives.push_back(walk(first, after));
            f = concat(f, unite(alternatives));
            next = after;
            break;
        }
        case NodeKind::PASSAGE:
            if (node_opcode(node) == OP_LOOP) return concat(f, unknown());  // what follows is not known here
            break;
        case NodeKind::LINE_START:
        case NodeKind::LINE_END:
        case NodeKind::INVALID:
            break;
        }
        node = next;
    }
    return f;
}

double position_share(const ByteClass& set, const ByteShares& shares) {
    double share = 0;
    set.for_each([&](unsigned char b) { share += shares.share[b]; });
    return std::min(share, 1.0);
}

// literal_rate is the share of positions where a search for literal stops, weighted by
// what a stop costs: the search tests a few of its rarest positions at once (three, here),
// and a stop that the rest of the literal turns away costs a fraction of one where the
// whole literal occurs, which sends a line to the DFA.
double literal_rate(const ClassLiteral& literal, const ByteShares& shares) {
    constexpr double TURNED_AWAY_COST = 0.2;
    std::vector<double> p;
    p.reserve(literal.size());
    for (const ByteClass& position : literal) p.push_back(position_share(position, shares));
    std::sort(p.begin(), p.end());
    double probed = 1;
    double whole = 1;
    for (size_t i = 0; i < p.size(); ++i) {
        if (i < 3) probed *= p[i];
        whole *= p[i];
    }
    return TURNED_AWAY_COST * probed + whole;
}

}  // namespace

std::vector<LiteralSet> required_literal_sets(const unsigned char* program, std::vector<ClassLiteral>* exact) {
    Fragment whole = walk(program + 1, nullptr);
    if (exact != nullptr) {
        exact->clear();
        if (whole.exact_known) *exact = whole.exact;
    }
    return std::move(whole.candidates);
}

const ByteShares& background_shares() {
    static const ByteShares shares = [] {
        ByteShares s;
        for (int b = 0; b < 256; ++b) s.share[b] = 0.15 / (256.0 - byte_rarity(uint8_t(b)));
        return s;
    }();
    return shares;
}

ByteShares sample_shares(const char* begin, const char* end) {
    // A sample of n bytes counts as n, the background as SAMPLE_PRIOR bytes more.
    constexpr double SAMPLE_PRIOR = 512;
    size_t counts[256] = {};
    for (const char* p = begin; p < end; ++p) ++counts[static_cast<unsigned char>(*p)];
    const double n = double(end - begin);
    const ByteShares& background = background_shares();
    ByteShares shares;
    for (int b = 0; b < 256; ++b) shares.share[b] = (double(counts[b]) + SAMPLE_PRIOR * background.share[b]) / (n + SAMPLE_PRIOR);
    return shares;
}

double estimated_rate(const LiteralSet& set, const ByteShares& shares) {
    double rate = 0;
    for (const ClassLiteral& literal : set.literals) rate += literal_rate(literal, shares);
    return rate;
}

bool literal_matches_at(const ClassLiteral& literal, const char* at, const char* end) {
    if (size_t(end - at) < literal.size()) return false;
    for (size_t i = 0; i < literal.size(); ++i)
        if (!literal[i].contains(static_cast<unsigned char>(at[i]))) return false;
    return true;
}

ClassLiteral class_literal_of(const std::string& text) { return class_literal(text, false); }

ByteClass byte_class_of(const ByteSet& set) {
    ByteClass out;
    for (int b = 0; b < 256; ++b)
        if (set.has(uint8_t(b))) out.add(uint8_t(b));
    return out;
}

std::string describe_literal(const ClassLiteral& literal) {
    std::string out;
    for (const ByteClass& position : literal) {
        if (position.count() == 1) {
            out += char(position.first());
            continue;
        }
        // Runs of three or more bytes as ranges.
        out += '[';
        for (int b = 1; b < 256; ++b) {
            if (!position.contains(uint8_t(b))) continue;
            int last = b;
            while (last < 255 && position.contains(uint8_t(last + 1))) ++last;
            out += char(b);
            if (last - b >= 2) {
                out += '-';
                out += char(last);
                b = last;
            }
        }
        out += ']';
    }
    return out;
}
