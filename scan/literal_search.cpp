// literal_search.cpp: LiteralSearch, a few literals found in one pass over a buffer.
//
// Each literal is reduced to a probe of two of its bytes, the two rarest in ordinary text,
// so that the vector kernel stops only where both stand at the right distance: for a word
// like "function" that is a few places per megabyte of text. Every candidate is then
// compared in full. A single-byte literal probes its one byte twice.
#include <algorithm>
#include <bit>
#include <cstring>

#include "scan/kernels.h"

namespace {

// RARITY is byte_rarity's table, from byte frequencies measured on C headers, manual pages
// and documentation: 0 is the rarest byte, 255 the most common.
constexpr uint8_t RARITY[256] = {
    0,   1,   2,   3,   4,   5,   6,   57,  7,   193, 246, 8,   74,  72,  9,   10,  11,  12,  13,  14,  15,  16,
    17,  18,  19,  20,  21,  22,  23,  24,  25,  26,  255, 147, 208, 198, 168, 149, 181, 185, 220, 215, 219, 161,
    221, 233, 234, 226, 210, 204, 207, 187, 186, 194, 177, 169, 176, 190, 195, 200, 179, 196, 178, 115, 167, 222,
    212, 217, 211, 231, 202, 203, 199, 230, 166, 191, 218, 206, 223, 224, 227, 163, 232, 235, 229, 201, 192, 182,
    197, 188, 162, 175, 240, 174, 125, 245, 154, 248, 225, 244, 241, 254, 242, 228, 237, 252, 180, 214, 243, 236,
    250, 249, 239, 183, 247, 251, 253, 238, 213, 209, 205, 216, 184, 173, 165, 172, 170, 27,  153, 160, 159, 155,
    131, 113, 101, 121, 126, 100, 89,  129, 133, 81,  83,  134, 105, 79,  88,  76,  112, 127, 141, 109, 122, 120,
    98,  97,  114, 119, 87,  102, 124, 117, 80,  91,  130, 86,  90,  116, 104, 136, 95,  99,  77,  85,  106, 93,
    157, 137, 145, 128, 143, 150, 123, 132, 152, 110, 144, 140, 148, 151, 158, 142, 28,  29,  108, 156, 135, 103,
    60,  30,  78,  59,  31,  63,  55,  56,  70,  67,  189, 171, 58,  32,  64,  68,  62,  69,  66,  65,  33,  34,
    35,  36,  37,  38,  73,  71,  92,  164, 94,  138, 118, 111, 96,  82,  84,  139, 146, 107, 39,  75,  61,  40,
    41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51,  52,  53,  54,
};

bool is_lower_letter(unsigned char c) { return c >= 'a' && c <= 'z'; }

unsigned char lower_ascii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c; }

// rarity_of is how common byte is as the search sees it: under fold_case a letter stands
// for both of its cases, as common as the more common one.
uint8_t rarity_of(unsigned char byte, bool fold_case) {
    if (fold_case && is_lower_letter(byte)) return std::max(RARITY[byte], RARITY[byte ^ 0x20]);
    return RARITY[byte];
}

// probe_at makes the probe of literal's bytes at first and second.
LiteralSearch::Probe probe_at(std::string_view literal, bool fold_case, size_t first, size_t second) {
    auto fold_of = [&](size_t at) -> uint8_t {
        return fold_case && is_lower_letter(static_cast<unsigned char>(literal[at])) ? 0x20 : 0;
    };
    return LiteralSearch::Probe{uint32_t(first), uint32_t(second), static_cast<uint8_t>(literal[first]),
                                static_cast<uint8_t>(literal[second]), fold_of(first), fold_of(second)};
}

// rarest_positions returns up to count positions of literal, the rarest bytes first, one
// position for each different byte.
std::vector<size_t> rarest_positions(std::string_view literal, bool fold_case, size_t count) {
    std::vector<size_t> positions;
    for (size_t i = 0; i < literal.size(); ++i)
        if (literal.find(literal[i]) == i) positions.push_back(i);
    std::stable_sort(positions.begin(), positions.end(), [&](size_t a, size_t b) {
        return rarity_of(static_cast<unsigned char>(literal[a]), fold_case) <
               rarity_of(static_cast<unsigned char>(literal[b]), fold_case);
    });
    if (positions.size() > count) positions.resize(count);
    return positions;
}

// make_probe takes the two rarest different bytes (the last byte twice when all are the
// same): a fair guess before any text has been seen.
LiteralSearch::Probe make_probe(std::string_view literal, bool fold_case) {
    std::vector<size_t> rarest = rarest_positions(literal, fold_case, 2);
    return probe_at(literal, fold_case, rarest[0], rarest.size() > 1 ? rarest[1] : literal.size() - 1);
}

// ADAPT_POSITIONS: adapt_to weighs the pairs among this many of a literal's rarest bytes.
constexpr size_t ADAPT_POSITIONS = 5;

// stops_in counts the positions of [begin, end) at which probe holds.
size_t stops_in(const LiteralSearch::Probe& probe, const char* begin, const char* end) {
    size_t reach = std::max(probe.offset1, probe.offset2);
    size_t stops = 0;
    for (const char* s = begin; size_t(end - s) > reach; ++s) stops += probe_holds(probe, s);
    return stops;
}

}  // namespace

uint8_t byte_rarity(unsigned char byte) { return RARITY[byte]; }

LiteralSearch::LiteralSearch(const std::vector<std::string_view>& literals, bool fold_case) : fold_case_(fold_case) {
    for (std::string_view literal : literals) {
        std::string text(literal);
        if (fold_case)
            for (char& c : text) c = static_cast<char>(lower_ascii(static_cast<unsigned char>(c)));
        literals_.push_back(text);
        // A line feed never lies inside a line, and the empty literal is the caller's business.
        if (text.empty() || text.find('\n') != std::string::npos) continue;
        searched_.push_back(literals_.size() - 1);
        probes_.push_back(make_probe(text, fold_case));
        max_offset_ = std::max({max_offset_, probes_.back().offset1, probes_.back().offset2});
    }
}

bool LiteralSearch::matches_at(size_t index, const char* at, const char* end) const {
    const std::string& literal = literals_[index];
    if (size_t(end - at) < literal.size()) return false;
    if (!fold_case_) return std::memcmp(at, literal.data(), literal.size()) == 0;
    for (size_t i = 0; i < literal.size(); ++i)
        if (lower_ascii(static_cast<unsigned char>(at[i])) != static_cast<unsigned char>(literal[i])) return false;
    return true;
}

void LiteralSearch::adapt_to(const char* begin, const char* end) {
    for (size_t k = 0; k < searched_.size(); ++k) {
        const std::string& literal = literals_[searched_[k]];
        std::vector<size_t> rarest = rarest_positions(literal, fold_case_, ADAPT_POSITIONS);
        size_t fewest = stops_in(probes_[k], begin, end);
        for (size_t i = 0; i < rarest.size(); ++i) {
            for (size_t j = i + 1; j < rarest.size(); ++j) {
                Probe probe = probe_at(literal, fold_case_, rarest[i], rarest[j]);
                size_t stops = stops_in(probe, begin, end);
                if (stops < fewest) {
                    fewest = stops;
                    probes_[k] = probe;
                }
            }
        }
        max_offset_ = std::max({max_offset_, probes_[k].offset1, probes_[k].offset2});
    }
}

const char* LiteralSearch::find(const char* begin, const char* end, size_t* which) const {
    if (probes_.empty()) return nullptr;
    const ScanKernels& kernels = active_kernels();
    for (const char* from = begin; from < end;) {
        Candidates found = kernels.find_candidates(probes_.data(), probes_.size(), max_offset_, from, end);
        if (found.mask == 0) return nullptr;
        for (uint32_t mask = found.mask; mask != 0; mask &= mask - 1) {
            const char* candidate = found.base + std::countr_zero(mask);
            for (size_t index : searched_) {
                if (matches_at(index, candidate, end)) {
                    if (which != nullptr) *which = index;
                    return candidate;
                }
            }
        }
        from = found.base + (32 - std::countl_zero(found.mask));  // past the last candidate
    }
    return nullptr;
}
