// prefilter.cpp: required literals, read off the program (see prefilter.h).
//
// The walk follows the program as the matcher would, one fragment at a time, and describes
// each fragment by two facts:
//   - exact: the finite set of strings the fragment can match, while it is small (a
//     literal, a small set of bytes, alternatives and sequences of those);
//   - required: a set of literals of which every match of the fragment contains one.
// A sequence joins the exact sets of its parts (every pairing) and keeps the best required
// set of any part or of the joined exact set; alternatives unite their sets, and have a
// required set only when every alternative has one; a repetition that may be skipped
// (`*`, `?`, the way out of a loop) has none, and `+` keeps that of its operand. Anchors,
// groups and empty nodes match the empty string. "Best" is the set a search stops at least
// often, by estimated_hit_rate.
#include "regexp/prefilter.h"

#include <algorithm>

#include "regexp/program.h"
#include "scan/scan.h"

namespace {

constexpr size_t MAX_EXACT = 16;         // strings in an exact set
constexpr size_t MAX_EXACT_LENGTH = 32;  // bytes of each
constexpr size_t MAX_LITERALS = 8;       // literals searched at once
constexpr int MAX_SET_BYTES = 8;         // a byte set larger than this is not enumerated

struct Fragment {
    bool exact_known = true;
    std::vector<std::string> exact = {""};  // the empty string: matches only ""
    bool has_required = false;
    std::vector<std::string> required;
};

Fragment unknown() {
    Fragment f;
    f.exact_known = false;
    f.exact.clear();
    return f;
}

bool usable(const std::vector<std::string>& literals) {
    if (literals.empty() || literals.size() > MAX_LITERALS) return false;
    // A literal with a line feed could only be found inside a line that regselect_line is
    // given whole; the buffer search never finds one, so such a set is not used.
    return std::none_of(literals.begin(), literals.end(),
                        [](const std::string& s) { return s.empty() || s.find('\n') != std::string::npos; });
}

// consider makes candidate f's required set when it is usable and better than the one held.
void consider(Fragment& f, const std::vector<std::string>& candidate) {
    if (!usable(candidate)) return;
    if (f.has_required && estimated_hit_rate(candidate) >= estimated_hit_rate(f.required)) return;
    f.required = candidate;
    f.has_required = true;
}

void dedupe(std::vector<std::string>& strings) {
    std::sort(strings.begin(), strings.end());
    strings.erase(std::unique(strings.begin(), strings.end()), strings.end());
}

Fragment from_exact(std::vector<std::string> strings) {
    Fragment f;
    dedupe(strings);
    f.exact = strings;
    consider(f, strings);
    return f;
}

Fragment concat(const Fragment& a, const Fragment& b) {
    Fragment f = unknown();
    if (a.has_required) consider(f, a.required);
    if (b.has_required) consider(f, b.required);
    if (a.exact_known && b.exact_known && a.exact.size() * b.exact.size() <= MAX_EXACT) {
        std::vector<std::string> joined;
        bool fits = true;
        for (const std::string& x : a.exact)
            for (const std::string& y : b.exact) {
                fits = fits && x.size() + y.size() <= MAX_EXACT_LENGTH;
                joined.push_back(x + y);
            }
        if (fits) {
            dedupe(joined);
            f.exact_known = true;
            f.exact = joined;
            consider(f, joined);
        }
    }
    return f;
}

Fragment unite(const std::vector<Fragment>& alternatives) {
    Fragment f = unknown();
    bool all_exact = true;
    bool all_required = true;
    std::vector<std::string> exact;
    std::vector<std::string> required;
    for (const Fragment& a : alternatives) {
        all_exact = all_exact && a.exact_known;
        all_required = all_required && a.has_required;
        if (a.exact_known) exact.insert(exact.end(), a.exact.begin(), a.exact.end());
        if (a.has_required) required.insert(required.end(), a.required.begin(), a.required.end());
    }
    if (all_required) {
        dedupe(required);
        consider(f, required);
    }
    if (all_exact) {
        dedupe(exact);
        if (exact.size() <= MAX_EXACT) {
            f.exact_known = true;
            f.exact = exact;
            consider(f, exact);
        }
    }
    return f;
}

// single_byte describes a single-byte node: its bytes when they are few.
Fragment single_byte(const unsigned char* node) {
    const ByteSet set = accepted_bytes(node);
    std::vector<std::string> bytes;
    for (int c = 1; c < 256; ++c) {
        if (!set.has(uint8_t(c))) continue;
        if (int(bytes.size()) == MAX_SET_BYTES) return unknown();
        bytes.emplace_back(1, char(c));
    }
    return from_exact(bytes);
}

// walk describes the chain from node up to stop (or OP_END, or a loop back).
Fragment walk(const unsigned char* node, const unsigned char* stop) {
    Fragment f;
    while (node != nullptr && node != stop) {
        const unsigned char op = node_opcode(node);
        const unsigned char* next = next_node(node);
        switch (op) {
        case OP_END:
            return f;
        case OP_LOOP:  // back to the start of a repetition: what follows is not known here
            return concat(f, unknown());
        case OP_ANY:
        case OP_ONE_OF:
        case OP_NONE_OF:
            f = concat(f, single_byte(node));
            break;
        case OP_LITERAL:
            f = concat(f, from_exact({reinterpret_cast<const char*>(node_operand(node))}));
            break;
        case OP_SIMPLE_STAR:
            f = concat(f, unknown());
            break;
        case OP_SIMPLE_PLUS: {
            Fragment once = single_byte(node_operand(node));
            Fragment repeated = unknown();
            if (once.has_required) consider(repeated, once.required);
            f = concat(f, repeated);
            break;
        }
        case OP_ALT:
            if (next != nullptr && node_opcode(next) == OP_ALT) {
                const unsigned char* after = next;
                while (after != nullptr && node_opcode(after) == OP_ALT) after = next_node(after);
                std::vector<Fragment> alternatives;
                for (const unsigned char* alt = node; alt != after; alt = next_node(alt))
                    alternatives.push_back(walk(node_operand(alt), after));
                f = concat(f, unite(alternatives));
                next = after;
            } else {
                next = node_operand(node);  // a single alternative is a plain passage
            }
            break;
        default:  // anchors, OP_EMPTY, group nodes: the empty string
            break;
        }
        node = next;
    }
    return f;
}

// literal_rate is the share of positions where a search for literal stops: its rarest
// byte, filtered further by a second byte when it has one.
double literal_rate(const std::string& literal) {
    std::vector<double> shares;
    for (char c : literal) shares.push_back(estimated_byte_share(static_cast<unsigned char>(c)));
    std::sort(shares.begin(), shares.end());
    if (shares.size() == 1) return shares[0];
    return shares[0] * std::min(1.0, shares[1] * 4);
}

}  // namespace

double estimated_byte_share(unsigned char byte) { return 0.15 / (256.0 - byte_rarity(byte)); }

double estimated_hit_rate(const std::vector<std::string>& literals) {
    double rate = 0;
    for (const std::string& literal : literals) rate += literal_rate(literal);
    return rate;
}

std::vector<std::string> required_literals(const unsigned char* program) {
    const Fragment whole = walk(program + 1, nullptr);
    if (!whole.has_required || estimated_hit_rate(whole.required) >= MAX_PREFILTER_HIT_RATE) return {};
    return whole.required;
}
