// literal_plan.cpp: how LiteralSearch finds its candidates, and the choice between the ways.
//
// Two kinds of plan (kernels.h). PROBES tests each literal at one to four of its positions,
// literal after literal: the cheapest search for one to three literals, at a cost that grows
// with each. BUCKETS looks up a window of one to four positions of every literal at once by
// the nibbles of its bytes, at a cost that does not grow with the number of literals; each
// literal's window lies where the literal is rarest.
//
// The choice is made twice. At construction, by shape (how many literals) and a model of
// ordinary text built from byte_rarity. Then adapt_to measures a sample of the text at
// hand: byte and byte-pair counts choose the positions and windows, every plan worth
// considering is run over the sample (or, for probes, its tests are counted there), and the
// plan with the least estimated work per byte wins (Costs: nanoseconds per byte of each
// kernel's loop, per stop and per literal compared, fitted on text in the cache). No choice
// changes what find finds.
#include <algorithm>
#include <bit>
#include <memory>
#include <numeric>

#include "scan/literal_plan.h"

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

// Costs is the work model of one kernel family, in nanoseconds, fitted to the kernels on
// text in the cache (docs/scan.md). A per-byte cost is paid for every byte searched, a
// stop for every candidate the kernel hands back, a check for every literal compared.
struct Costs {
    double probe_base;       // per byte: the probe loop
    double probe_test;       // per byte: each test of each probe
    double probe_literal;    // per byte: each probe
    double first_byte;       // per byte: one literal found by memchr on its first tested byte
    double first_byte_stop;  // per byte that memchr stops at
    double bucket_base;      // per byte: the bucket loop
    double bucket_position;  // per byte: each window position
    double fat;              // what 16 buckets cost per byte, as a multiple of 8
    double probe_stop, bucket_stop, check;
};

constexpr Costs AVX2_COSTS = {0.0005, 0.0055, 0, 0, 0, 0, 0.0134, 2.05, 9, 23, 5};
constexpr Costs PLAIN_COSTS = {0.75, 0, 0.38, 0.006, 5, 0.05, 0.092, 1.0, 10, 23, 5};

const Costs& costs() { return scan_kernel_level() == KernelLevel::AVX2 ? AVX2_COSTS : PLAIN_COSTS; }

// SAMPLE_PRIOR: a rate of stops measured on a sample is weighed with the rate the frequency
// model predicts as if the model had counted this many bytes more: a sample of a few KiB
// sees few of the stops a rare window makes.
constexpr double SAMPLE_PRIOR = 8192;

double weighed_rate(double measured, size_t sample, double predicted) {
    return (measured + SAMPLE_PRIOR * predicted) / (double(sample) + SAMPLE_PRIOR);
}

// PROBE_LITERALS: adapt_to weighs probes for sets of up to this many literals (each adds a
// pass of tests to every block, and the vector kernel keeps at most four in registers);
// SHAPE_PROBE_LITERALS, SLIM_LITERALS: the most literals that probes and 8 buckets get by
// shape, before any sample.
constexpr size_t PROBE_LITERALS = 4;
constexpr size_t SHAPE_PROBE_LITERALS = 3;
constexpr size_t SLIM_LITERALS = 16;

// DEFAULT_PROBE_TESTS, DEFAULT_WINDOW: the widths chosen before any sample.
constexpr uint32_t DEFAULT_PROBE_TESTS = 2;
constexpr uint32_t DEFAULT_WINDOW = 3;

// PROBE_CHOICES: adapt_to weighs the subsets of this many of a literal's rarest positions.
constexpr size_t PROBE_CHOICES = 6;

// SAMPLE_LIMIT: the most bytes of a sample that are counted (byte-pair counts fit 16 bits).
constexpr size_t SAMPLE_LIMIT = 65535;

// FrequencyModel tells how often a byte, or a pair of bytes side by side, occurs: from a
// sample's counts where there is one, smoothed towards ordinary text (byte_rarity).
class FrequencyModel {
public:
    FrequencyModel() {
        for (int b = 0; b < 256; ++b) byte_[b] = ordinary_share(static_cast<unsigned char>(b));
    }

    FrequencyModel(const char* begin, const char* end) : sampled_(true) {
        const size_t n = std::min(size_t(end - begin), SAMPLE_LIMIT);
        const unsigned char* text = reinterpret_cast<const unsigned char*>(begin);
        uint32_t counts[256] = {};
        for (size_t i = 0; i < n; ++i) ++counts[text[i]];
        // A table of every pair for a large sample, the sorted pairs of a small one.
        if (n >= SMALL_SAMPLE) {
            table_.assign(size_t(1) << 16, 0);
            for (size_t i = 0; i + 1 < n; ++i) ++table_[pair_code(text[i], text[i + 1])];
        } else {
            for (size_t i = 0; i + 1 < n; ++i) sorted_.push_back(pair_code(text[i], text[i + 1]));
            std::sort(sorted_.begin(), sorted_.end());
        }
        scale_ = 1.0 / (double(n) + PRIOR);
        for (int b = 0; b < 256; ++b) byte_[b] = (counts[b] + PRIOR * ordinary_share(static_cast<unsigned char>(b))) * scale_;
    }

    double byte(unsigned char b) const { return byte_[b]; }

    double pair(unsigned char a, unsigned char b) const {
        if (!sampled_) return byte_[a] * byte_[b];
        const uint16_t code = pair_code(a, b);
        const size_t count = !table_.empty() ? table_[code]
                                             : size_t(std::upper_bound(sorted_.begin(), sorted_.end(), code) -
                                                      std::lower_bound(sorted_.begin(), sorted_.end(), code));
        return (double(count) + PRIOR * byte_[a] * byte_[b]) * scale_;
    }

    double of_class(const ByteClass& set) const {
        double share = 0;
        set.for_each([&](unsigned char b) { share += byte_[b]; });
        return std::min(share, 1.0);
    }

    // of_window estimates how often the classes at [first, first + width) of literal occur
    // side by side (a class past the literal's end holds any byte): pairs chained by the
    // bytes they share.
    double of_window(const ClassLiteral& literal, size_t first, size_t width) const {
        const size_t last = std::min(first + width, literal.size());
        double share = of_class(literal[first]);
        for (size_t i = first + 1; i < last; ++i) {
            const double inner = of_class(literal[i - 1]);
            if (inner > 0) share *= of_pair(literal[i - 1], literal[i]) / inner;
        }
        return share;
    }

private:
    // PRIOR: how many bytes of ordinary text the model counts beside the sample.
    static constexpr double PRIOR = 16;

    // SMALL_SAMPLE: from this many bytes on, pairs are counted in a table.
    static constexpr size_t SMALL_SAMPLE = 4096;

    static double ordinary_share(unsigned char b) { return 0.15 / (256.0 - RARITY[b]); }
    static uint16_t pair_code(unsigned char a, unsigned char b) { return uint16_t(a << 8 | b); }

    double of_pair(const ByteClass& a, const ByteClass& b) const {
        if (!sampled_ || a.count() * b.count() > 256) return of_class(a) * of_class(b);
        double share = 0;
        a.for_each([&](unsigned char x) { b.for_each([&](unsigned char y) { share += pair(x, y); }); });
        return std::min(share, 1.0);
    }

    double byte_[256];
    bool sampled_ = false;
    std::vector<uint16_t> table_;   // pair counts by pair_code
    std::vector<uint16_t> sorted_;  // or the pair codes, sorted
    double scale_ = 0;
};

ByteClass any_byte() {
    ByteClass set;
    set.add_range(0, 255);
    return set;
}

// ---------------------------------------------------------------------------------------
// Probes.

// test_cost weighs a test by set: the vector kernel tests such probes in a generic loop,
// several times slower than the probes by OR it keeps in registers.
double test_cost(const ByteClass& set) { return or_test(set).exact ? 1 : 6; }

ProbeTest make_test(const ClassLiteral& literal, uint32_t position) {
    ProbeTest test{};
    test.offset = position;
    const OrTest by_or = or_test(literal[position]);
    test.value = by_or.value;
    test.fold = by_or.fold;
    test.by_set = !by_or.exact;
    if (test.by_set) {
        test.set = literal[position];
        nibble_tables(test.set, test.low, test.high);
    }
    return test;
}

// Positions is the choice of probe positions, one list per searched literal.
using Positions = std::vector<std::vector<uint32_t>>;

void build_probes(LiteralPlan& plan, const Positions& positions) {
    ProbePlan probes;
    for (const std::vector<uint32_t>& own : positions) probes.tests = std::max(probes.tests, uint32_t(own.size()));
    for (size_t k = 0; k < positions.size(); ++k) {
        Probe probe{};
        for (uint32_t t = 0; t < probes.tests; ++t) {
            const uint32_t position = positions[k][t < positions[k].size() ? t : 0];
            probe.tests[t] = make_test(plan.classes[k], position);
            probes.reach = std::max(probes.reach, position);
            probes.fold = probes.fold || probe.tests[t].fold != 0;
            probes.by_set = probes.by_set || probe.tests[t].by_set;
        }
        probes.probes.push_back(probe);
    }
    plan.probes = std::move(probes);
}

// rarest_positions returns up to count positions of literal (within MAX_REACH), the rarest
// by model first, a test by set counted as more common.
std::vector<uint32_t> rarest_positions(const ClassLiteral& literal, const FrequencyModel& model, size_t count) {
    std::vector<uint32_t> positions(std::min(literal.size(), size_t(MAX_REACH) + 1));
    std::iota(positions.begin(), positions.end(), 0u);
    std::vector<double> weight(positions.size());
    for (uint32_t p : positions) weight[p] = model.of_class(literal[p]) * test_cost(literal[p]);
    std::stable_sort(positions.begin(), positions.end(), [&](uint32_t a, uint32_t b) { return weight[a] < weight[b]; });
    if (positions.size() > count) positions.resize(count);
    return positions;
}

// stop_share is how often the model expects the tests at positions of literal all to pass.
double stop_share(const ClassLiteral& literal, const std::vector<uint32_t>& positions, const FrequencyModel& model) {
    double share = 1;
    for (uint32_t p : positions) share *= model.of_class(literal[p]);
    return share;
}

// ones counts the bits of word (without the instruction, which a build for any x86-64
// processor may not use).
size_t ones(uint64_t word) {
    word -= (word >> 1) & 0x5555555555555555ULL;
    word = (word & 0x3333333333333333ULL) + ((word >> 2) & 0x3333333333333333ULL);
    word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return size_t((word * 0x0101010101010101ULL) >> 56);
}

// Bitmap marks the sample positions at which a test passes.
using Bitmap = std::vector<uint64_t>;

// ProbeChoice is the best choice of probe positions found, and its work per byte.
struct ProbeChoice {
    Positions positions;
    double cost = 1e300;
};

// single_byte tells whether the test of position p is one byte, that memchr can find.
bool single_byte(const ClassLiteral& literal, uint32_t p) {
    const OrTest test = or_test(literal[p]);
    return test.exact && test.fold == 0;
}

// choose_probes weighs, for each number of tests allowed (only width when it is given), the
// subsets of each literal's rarest positions by the stops they make in the sample, weighed
// with the stops the model predicts. A single literal in the plain family is found by
// memchr on a test of one byte where it has one: its rarest such test goes first.
ProbeChoice choose_probes(const LiteralPlan& plan, const FrequencyModel& model, const char* begin, const char* end,
                          uint32_t width) {
    const Costs& c = costs();
    const size_t n = size_t(end - begin);
    const size_t literals = plan.searched.size();
    const bool by_memchr = c.first_byte > 0 && literals == 1;
    // best[k][t]: literal k's best positions with t + 1 tests, and the work they cost.
    std::vector<std::vector<std::pair<std::vector<uint32_t>, double>>> best(literals);
    for (size_t k = 0; k < literals; ++k) {
        const ClassLiteral& literal = plan.classes[k];
        std::vector<uint32_t> choices = rarest_positions(literal, model, PROBE_CHOICES);
        auto single = [&](uint32_t p) { return single_byte(literal, p); };
        if (by_memchr && std::none_of(choices.begin(), choices.end(), single)) {
            for (uint32_t p : rarest_positions(literal, model, MAX_REACH + 1)) {
                if (!single(p)) continue;
                choices.back() = p;
                break;
            }
        }
        // Bits for the starts at which the whole literal lies inside the sample.
        const size_t starts = n >= literal.size() ? n - literal.size() + 1 : 0;
        const size_t words = (starts + 63) / 64;
        std::vector<Bitmap> passes(choices.size(), Bitmap(words, 0));
        for (size_t i = 0; i < choices.size(); ++i) {
            bool member[256] = {};
            literal[choices[i]].for_each([&](unsigned char b) { member[b] = true; });
            const unsigned char* text = reinterpret_cast<const unsigned char*>(begin) + choices[i];
            for (size_t w = 0; w < words; ++w) {
                uint64_t word = 0;
                const size_t stop = std::min<size_t>(64, starts - w * 64);
                for (size_t j = 0; j < stop; ++j) word |= uint64_t{member[text[w * 64 + j]]} << j;
                passes[i][w] = word;
            }
        }
        best[k].assign(MAX_PROBE_TESTS, {{}, 1e300});
        const uint32_t subsets = 1u << choices.size();
        for (uint32_t subset = 1; subset < subsets; ++subset) {
            const int tests = std::popcount(subset);
            if (tests > int(MAX_PROBE_TESTS)) continue;
            size_t stops = 0;
            for (size_t w = 0; w < words; ++w) {
                uint64_t word = ~uint64_t{0};
                for (size_t i = 0; i < choices.size(); ++i)
                    if (subset >> i & 1) word &= passes[i][w];
                stops += ones(word);
            }
            std::vector<uint32_t> own;
            for (size_t i = 0; i < choices.size(); ++i)
                if (subset >> i & 1) own.push_back(choices[i]);
            // The rarest test first (the plain kernel looks for it alone).
            std::sort(own.begin(), own.end(), [&](uint32_t x, uint32_t y) {
                if (by_memchr && single(x) != single(y)) return single(x);
                return model.of_class(literal[x]) < model.of_class(literal[y]);
            });
            double cost = weighed_rate(double(stops), n, stop_share(literal, own, model)) * (c.probe_stop + c.check * double(literals));
            if (by_memchr)
                cost += single(own[0]) ? c.first_byte + c.first_byte_stop * model.of_class(literal[own[0]])
                                       : c.probe_base + c.probe_literal;
            auto& slot = best[k][size_t(tests) - 1];
            if (cost < slot.second) slot = {own, cost};
        }
        // A literal with fewer positions than tests keeps its widest choice.
        for (size_t t = 1; t < MAX_PROBE_TESTS; ++t)
            if (best[k][t].first.empty()) best[k][t] = best[k][t - 1];
    }
    ProbeChoice choice;
    for (uint32_t tests = 1; tests <= MAX_PROBE_TESTS; ++tests) {
        if (width != 0 && tests != width) continue;
        // Each probe is padded to tests tests by repeating its first.
        double cost = by_memchr ? 0 : c.probe_base + c.probe_literal * double(literals);
        Positions positions;
        for (size_t k = 0; k < literals; ++k) {
            const auto& [own, work] = best[k][tests - 1];
            cost += work;
            double weight = 0;
            for (uint32_t p : own) weight += test_cost(plan.classes[k][p]);
            weight += double(tests - own.size()) * test_cost(plan.classes[k][own[0]]);
            cost += c.probe_test * weight;
            positions.push_back(own);
        }
        if (cost < choice.cost) choice = ProbeChoice{positions, cost};
    }
    return choice;
}

// probes_by_model chooses width tests of each literal from the model alone.
Positions probes_by_model(const LiteralPlan& plan, const FrequencyModel& model, uint32_t width) {
    Positions positions;
    for (const ClassLiteral& literal : plan.classes) positions.push_back(rarest_positions(literal, model, width));
    return positions;
}

// ---------------------------------------------------------------------------------------
// Buckets.

// choose_windows gives each literal the window of width positions that the model finds
// rarest (a literal shorter than the window has its window at its start).
void choose_windows(LiteralPlan& plan, const FrequencyModel& model, uint32_t width) {
    plan.max_offset = 0;
    for (size_t k = 0; k < plan.searched.size(); ++k) {
        const ClassLiteral& literal = plan.classes[k];
        uint32_t best = 0;
        if (literal.size() > width) {
            const size_t last = std::min(literal.size() - width, size_t(MAX_REACH));
            double fewest = model.of_window(literal, 0, width);
            for (size_t first = 1; first <= last; ++first) {
                const double share = model.of_window(literal, first, width);
                if (share < fewest * 0.999) {
                    fewest = share;
                    best = uint32_t(first);
                }
            }
        }
        plan.searched[k].offset = best;
        plan.max_offset = std::max(plan.max_offset, best);
    }
}

// build_buckets fills the bucket tables for the windows chosen. Literals are put in order
// of their windows (short literals first, then by the windows' bytes), so that literals that
// share bytes share groups and buckets; the order is cut into up to 64 groups and the groups
// into 8 or 16 buckets.
void build_buckets(LiteralPlan& plan, uint32_t width, bool fat) {
    BucketPlan& buckets = plan.buckets;
    buckets = BucketPlan{};
    buckets.width = width;
    buckets.fat = fat;
    const size_t n = plan.searched.size();
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    auto window_byte = [&](uint32_t k, uint32_t i) -> int {
        const ClassLiteral& literal = plan.classes[k];
        const size_t at = plan.searched[k].offset + i;
        return at < literal.size() ? literal[at].first() : -1;
    };
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        for (uint32_t i = 0; i < width; ++i) {
            const int x = window_byte(a, i), y = window_byte(b, i);
            if (x != y) return x < y;
        }
        return false;
    });
    const size_t groups = std::min(n, size_t(MAX_GROUPS));
    const size_t bucket_count = fat ? 16 : 8;
    plan.members = order;
    const ByteClass any = any_byte();
    for (size_t g = 0; g <= groups; ++g) plan.group_start[g] = uint32_t((g * n + groups - 1) / groups);
    for (size_t g = groups + 1; g <= MAX_GROUPS; ++g) plan.group_start[g] = uint32_t(n);
    for (size_t rank = 0; rank < n; ++rank) {
        const size_t group = rank * groups / n;
        const size_t bucket = group * bucket_count / groups;
        const uint32_t k = order[rank];
        const ClassLiteral& literal = plan.classes[k];
        // The bucket's bit, and the lanes it is set in.
        const uint8_t bit = uint8_t(1u << (bucket & 7));
        const size_t lane_first = fat ? (bucket < 8 ? 0 : 16) : 0;
        const size_t lane_last = fat ? lane_first : 16;
        for (uint32_t i = 0; i < width; ++i) {
            const size_t at = plan.searched[k].offset + i;
            const ByteClass& set = at < literal.size() ? literal[at] : any;
            set.for_each([&](unsigned char b) {
                buckets.groups[i][b] |= uint64_t{1} << group;
                for (size_t lane = lane_first; lane <= lane_last; lane += 16) {
                    buckets.low[i][lane + (b & 15)] |= bit;
                    buckets.high[i][lane + (b >> 4)] |= bit;
                }
            });
        }
    }
}

// BucketWork is what a bucket plan did over a sample.
struct BucketWork {
    size_t stops = 0;   // candidates handed back by the kernel
    size_t checks = 0;  // literals of the groups that held there
};

BucketWork bucket_work(const LiteralPlan& plan, const char* begin, const char* end) {
    const ScanKernels& kernels = active_kernels();
    BucketWork work;
    for (const char* from = begin; from < end;) {
        const Candidates found = kernels.find_bucket_candidates(plan.buckets, from, end);
        if (found.mask == 0) break;
        for (uint32_t mask = found.mask; mask != 0; mask &= mask - 1) {
            ++work.stops;
            for (uint64_t groups = group_bits(plan.buckets, found.base + std::countr_zero(mask), end); groups != 0;
                 groups &= groups - 1) {
                const int g = std::countr_zero(groups);
                work.checks += plan.group_start[g + 1] - plan.group_start[g];
            }
        }
        from = found.base + (32 - std::countl_zero(found.mask));
    }
    return work;
}

// predicted_stops is how often the model expects a bucket's window tables to pass (the
// nibbles' false combinations included), and predicted_checks how often a literal's window.
double predicted_stops(const BucketPlan& buckets, const FrequencyModel& model) {
    double share = 0;
    for (uint32_t bucket = 0; bucket < (buckets.fat ? 16u : 8u); ++bucket) {
        const size_t lane = bucket < 8 ? 0 : 16;
        const uint8_t bit = uint8_t(1u << (bucket & 7));
        double passes = 1;
        for (uint32_t i = 0; i < buckets.width; ++i) {
            double position = 0;
            for (int b = 0; b < 256; ++b)
                if (buckets.low[i][lane + (b & 15)] & buckets.high[i][lane + (b >> 4)] & bit)
                    position += model.byte(static_cast<unsigned char>(b));
            passes *= position;
        }
        share += passes;
    }
    return std::min(share, 1.0);
}

double predicted_checks(const LiteralPlan& plan, const FrequencyModel& model) {
    double share = 0;
    for (size_t k = 0; k < plan.searched.size(); ++k)
        share += model.of_window(plan.classes[k], plan.searched[k].offset, plan.buckets.width);
    return share;
}

double bucket_cost(const LiteralPlan& plan, const FrequencyModel& model, const char* begin, const char* end) {
    const Costs& c = costs();
    const BucketWork work = bucket_work(plan, begin, end);
    const size_t n = size_t(end - begin);
    const double stops = weighed_rate(double(work.stops), n, predicted_stops(plan.buckets, model));
    const double checks = weighed_rate(double(work.checks), n, predicted_checks(plan, model));
    return (c.bucket_base + c.bucket_position * plan.buckets.width) * (plan.buckets.fat ? c.fat : 1) + stops * c.bucket_stop +
           checks * c.check;
}

size_t longest(const LiteralPlan& plan) {
    size_t length = 0;
    for (const SearchedLiteral& literal : plan.searched) length = std::max(length, size_t(literal.length));
    return length;
}

// shape_kernel is the kernel chosen by the number of literals alone.
LiteralKernel shape_kernel(size_t literals) {
    if (literals == 0) return LiteralKernel::NONE;
    if (literals <= SHAPE_PROBE_LITERALS) return LiteralKernel::PROBES;
    return literals <= SLIM_LITERALS ? LiteralKernel::BUCKETS_8 : LiteralKernel::BUCKETS_16;
}

// build_by_model builds kernel's plan from the model, width positions wide (0: the default).
void build_by_model(LiteralPlan& plan, LiteralKernel kernel, uint32_t width, const FrequencyModel& model) {
    plan.kernel = kernel;
    if (kernel == LiteralKernel::PROBES) {
        build_probes(plan, probes_by_model(plan, model, width != 0 ? width : DEFAULT_PROBE_TESTS));
    } else if (kernel != LiteralKernel::NONE) {
        const uint32_t window = width != 0 ? width : uint32_t(std::min<size_t>(DEFAULT_WINDOW, longest(plan)));
        choose_windows(plan, model, window);
        build_buckets(plan, window, kernel == LiteralKernel::BUCKETS_16);
    }
}

}  // namespace

uint8_t byte_rarity(unsigned char byte) { return RARITY[byte]; }

const char* literal_kernel_name(LiteralKernel kernel) {
    switch (kernel) {
    case LiteralKernel::NONE:
        return "none";
    case LiteralKernel::PROBES:
        return "probes";
    case LiteralKernel::BUCKETS_8:
        return "buckets8";
    case LiteralKernel::BUCKETS_16:
        return "buckets16";
    }
    return "?";
}

void plan_literals(LiteralPlan& plan, const std::vector<ClassLiteral>& literals) {
    for (size_t index = 0; index < literals.size(); ++index) {
        const ClassLiteral& literal = literals[index];
        // A line feed never lies inside a line, and the empty literal is the caller's business.
        bool searched = !literal.empty();
        for (const ByteClass& set : literal) searched = searched && !set.empty() && !set.contains('\n');
        if (!searched) continue;
        SearchedLiteral entry{uint32_t(index), uint32_t(literal.size()), 0, uint32_t(plan.values.size()),
                              uint32_t(plan.inexact.size()), 0};
        for (size_t i = 0; i < literal.size(); ++i) {
            const OrTest test = or_test(literal[i]);
            plan.values.push_back(test.value);
            plan.folds.push_back(test.fold);
            if (!test.exact) plan.inexact.push_back(InexactPosition{uint32_t(i), literal[i]});
        }
        entry.sets_end = uint32_t(plan.inexact.size());
        plan.searched.push_back(entry);
        plan.classes.push_back(literal);
    }
    build_by_model(plan, shape_kernel(plan.searched.size()), 0, FrequencyModel());
}

void force_plan(LiteralPlan& plan, LiteralKernel kernel, uint32_t width) {
    width = std::min(width, kernel == LiteralKernel::PROBES ? MAX_PROBE_TESTS : MAX_WINDOW);
    plan.forced = kernel != LiteralKernel::NONE;
    plan.forced_width = width;
    if (plan.searched.empty()) return;
    build_by_model(plan, plan.forced ? kernel : shape_kernel(plan.searched.size()), width, FrequencyModel());
}

void adapt_plan(LiteralPlan& plan, const char* begin, const char* end) {
    if (plan.searched.empty()) return;
    end = begin + std::min(size_t(end - begin), SAMPLE_LIMIT);
    const FrequencyModel model(begin, end);
    const size_t n = plan.searched.size();
    const bool any_kernel = !plan.forced;
    const uint32_t width = plan.forced_width;

    double best_cost = 1e300;
    std::unique_ptr<LiteralPlan> best;  // the best bucket plan, unless probes cost less
    ProbeChoice probes;
    if ((any_kernel && n <= PROBE_LITERALS) || plan.kernel == LiteralKernel::PROBES) {
        probes = choose_probes(plan, model, begin, end, width);
        best_cost = probes.cost;
    }
    for (LiteralKernel kernel : {LiteralKernel::BUCKETS_8, LiteralKernel::BUCKETS_16}) {
        if (any_kernel ? (kernel == LiteralKernel::BUCKETS_16 && n <= 8) : plan.kernel != kernel) continue;
        for (uint32_t window = 1; window <= MAX_WINDOW; ++window) {
            if (width != 0 ? window != width : window > std::max<size_t>(1, longest(plan))) continue;
            auto trial = std::make_unique<LiteralPlan>(plan);
            trial->kernel = kernel;
            choose_windows(*trial, model, window);
            build_buckets(*trial, window, kernel == LiteralKernel::BUCKETS_16);
            const double cost = bucket_cost(*trial, model, begin, end);
            if (cost < best_cost) {
                best_cost = cost;
                best = std::move(trial);
            }
        }
    }
    if (best != nullptr) {
        plan = std::move(*best);
    } else {
        plan.kernel = LiteralKernel::PROBES;
        build_probes(plan, probes.positions);
    }
}
