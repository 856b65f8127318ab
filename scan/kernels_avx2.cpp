// kernels_avx2.cpp: the kernels 32 bytes at a time, for x86-64 processors with AVX2.
//
// Compiled with the target attribute per function rather than a flag for the file, so the
// binary still starts on any x86-64; avx2_kernels hands the table out only when the
// processor has AVX2, BMI1 and POPCNT. Built only for x86 targets (see CMakeLists.txt).
// Every kernel finishes its last partial block with the plain code, so the vector loops
// never read outside [begin, end).
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "scan/kernels.h"

#define QUARNEL_AVX2 __attribute__((target("avx2,bmi,popcnt")))

namespace {

// The counts of one byte are gathered in byte lanes, two blocks to a lane per round, so
// they are summed into wider lanes before 254 blocks can overflow them.
constexpr size_t BLOCKS_PER_SUM = 254;

QUARNEL_AVX2 size_t sum_lanes(__m256i counts) {
    __m256i sums = _mm256_sad_epu8(counts, _mm256_setzero_si256());
    return size_t(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) + _mm256_extract_epi64(sums, 2) +
                  _mm256_extract_epi64(sums, 3));
}

// equal_lanes is -1 in each lane of the block at where the byte is wanted.
QUARNEL_AVX2 inline __m256i equal_lanes(const char* at, __m256i wanted) {
    return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), wanted);
}

QUARNEL_AVX2 size_t avx2_count_byte(const char* begin, const char* end, char byte) {
    const __m256i wanted = _mm256_set1_epi8(byte);
    size_t total = 0;
    const char* p = begin;
    while (size_t(end - p) >= 128) {  // four blocks a round, into two sets of lanes
        size_t rounds = std::min(size_t(end - p) / 128, BLOCKS_PER_SUM / 2);
        __m256i even = _mm256_setzero_si256(), odd = _mm256_setzero_si256();
        for (size_t i = 0; i < rounds; ++i, p += 128) {
            even = _mm256_sub_epi8(even, _mm256_add_epi8(equal_lanes(p, wanted), equal_lanes(p + 64, wanted)));
            odd = _mm256_sub_epi8(odd, _mm256_add_epi8(equal_lanes(p + 32, wanted), equal_lanes(p + 96, wanted)));
        }
        total += sum_lanes(even) + sum_lanes(odd);
    }
    for (; size_t(end - p) >= 32; p += 32)
        total += size_t(__builtin_popcount(uint32_t(_mm256_movemask_epi8(equal_lanes(p, wanted)))));
    for (; p < end; ++p) total += *p == byte;
    return total;
}

QUARNEL_AVX2 StretchStats avx2_stretch(const char* begin, const char* end) {
    const __m256i line_feed = _mm256_set1_epi8('\n');
    const __m256i zero = _mm256_setzero_si256();
    size_t line_feeds = 0;
    const char* p = begin;
    for (; size_t(end - p) >= 32; p += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        uint32_t nuls = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, zero)));
        if (nuls != 0) {
            // A NUL: the rest only needs counting.
            return StretchStats{line_feeds + avx2_count_byte(p, end, '\n'), p + __builtin_ctz(nuls)};
        }
        line_feeds += size_t(__builtin_popcount(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, line_feed)))));
    }
    StretchStats tail = PLAIN_KERNELS.stretch(p, end);
    return StretchStats{line_feeds + tail.line_feeds, tail.first_nul};
}

QUARNEL_AVX2 void avx2_map_case(const char* from, char* to, size_t size, CaseMapping mapping) {
    // A byte is a letter to change when byte - first, as unsigned, is below 26; that bit of
    // case is then flipped.
    const __m256i first = _mm256_set1_epi8(mapping == CaseMapping::TO_UPPER ? 'a' : 'A');
    const __m256i last_offset = _mm256_set1_epi8(25);
    const __m256i case_bit = _mm256_set1_epi8(0x20);
    size_t i = 0;
    for (; size - i >= 32; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i));
        __m256i offset = _mm256_sub_epi8(v, first);
        __m256i letter = _mm256_cmpeq_epi8(_mm256_min_epu8(offset, last_offset), offset);
        v = _mm256_xor_si256(v, _mm256_and_si256(letter, case_bit));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), v);
    }
    PLAIN_KERNELS.map_case(from + i, to + i, size - i, mapping);
}

// TestVectors is a probe test by OR spread over 32 lanes.
struct TestVectors {
    __m256i value, fold;
    uint32_t offset;
};

QUARNEL_AVX2 inline TestVectors spread(const ProbeTest& test) {
    return TestVectors{_mm256_set1_epi8(char(test.value)), _mm256_set1_epi8(char(test.fold)), test.offset};
}

// test_mask returns the positions of the 32 starting at s where test passes; FOLD says
// whether any test folds bits (the OR is left out when none does).
template <bool FOLD>
QUARNEL_AVX2 inline __m256i test_mask(const TestVectors& test, const char* s) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + test.offset));
    if (FOLD) v = _mm256_or_si256(v, test.fold);
    return _mm256_cmpeq_epi8(v, test.value);
}

template <bool FOLD, size_t... T>
QUARNEL_AVX2 inline __m256i probe_mask(const TestVectors* tests, const char* s, std::index_sequence<T...>) {
    return (test_mask<FOLD>(tests[T], s) & ...);
}

// any_probe_mask returns the positions of the 32 starting at s where any of COUNT probes
// of TESTS tests holds; every test is spelled out, so each stays in its registers.
template <size_t TESTS, bool FOLD, size_t... K>
QUARNEL_AVX2 inline __m256i any_probe_mask(const TestVectors (*tests)[TESTS], const char* s, std::index_sequence<K...>) {
    return (probe_mask<FOLD>(tests[K], s, std::make_index_sequence<TESTS>()) | ...);
}

// A Blocks type is one kernel's test of 32 positions at once, for find_blocks: bits(s) is
// nonzero in the lane of each position of [s, s + 32) that may be a candidate (a block
// reads [s, s + 32 + reach) at most), hits turns that into a bit mask, holds_cut tests one
// position alone whose block would read past end, and PAD is the furthest reach can be.
// PAIRS tells find_blocks to test two blocks a round: fewer branches for the light probe
// loops; the bucket loops go one block a round, so that the branch that leaves the loop at
// a candidate waits for a shorter chain of work (a candidate costs less).

// ProbeBlocks tests COUNT probes of TESTS tests by OR, all in registers.
template <size_t COUNT, size_t TESTS, bool FOLD>
struct ProbeBlocks {
    static constexpr size_t PAD = MAX_REACH;
    static constexpr bool PAIRS = true;
    const ProbePlan& plan;
    TestVectors tests[COUNT][TESTS];

    QUARNEL_AVX2 explicit ProbeBlocks(const ProbePlan& probe_plan) : plan(probe_plan) {
        for (size_t k = 0; k < COUNT; ++k)
            for (size_t t = 0; t < TESTS; ++t) tests[k][t] = spread(plan.probes[k].tests[t]);
    }

    QUARNEL_AVX2 __m256i bits(const char* s) const {
        return any_probe_mask<TESTS, FOLD>(tests, s, std::make_index_sequence<COUNT>());
    }
    QUARNEL_AVX2 static uint32_t hits(__m256i bits) { return uint32_t(_mm256_movemask_epi8(bits)); }
    bool holds_cut(const char* s, const char* end) const { return probe_holds_cut(plan, s, end); }
};

// AnyProbeBlocks tests any probes, tests by set among them, spread afresh for every block.
struct AnyProbeBlocks {
    static constexpr size_t PAD = MAX_REACH;
    static constexpr bool PAIRS = true;
    const ProbePlan& plan;

    QUARNEL_AVX2 __m256i bits(const char* s) const {
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        const __m256i zero = _mm256_setzero_si256();
        __m256i any = zero;
        for (const Probe& probe : plan.probes) {
            __m256i all = _mm256_cmpeq_epi8(zero, zero);
            for (uint32_t t = 0; t < plan.tests; ++t) {
                const ProbeTest& test = probe.tests[t];
                if (test.by_set) {
                    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + test.offset));
                    const __m256i low = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(test.low)));
                    const __m256i high = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(test.high)));
                    const __m256i found = _mm256_and_si256(_mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble)),
                                                           _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
                    all = _mm256_andnot_si256(_mm256_cmpeq_epi8(found, zero), all);
                } else {
                    all = _mm256_and_si256(all, test_mask<true>(spread(test), s));
                }
            }
            any = _mm256_or_si256(any, all);
        }
        return any;
    }
    QUARNEL_AVX2 static uint32_t hits(__m256i bits) { return uint32_t(_mm256_movemask_epi8(bits)); }
    bool holds_cut(const char* s, const char* end) const { return probe_holds_cut(plan, s, end); }
};

// find_blocks searches [begin, end) with blocks of 32 positions that each read reach bytes
// further: two blocks a round (one, unless PAIRS) while they lie inside, then the last
// block that does, overlapping positions already searched, then one by one the last reach
// positions, whose block would read past end. A buffer too short for one block is searched
// in a zeroed copy; the candidates it gives before end stand.
template <typename Blocks>
QUARNEL_AVX2 Candidates find_blocks(const Blocks& blocks, size_t reach, const char* begin, const char* end) {
    const size_t size = size_t(end - begin);
    if (size < 32 + reach) {
        if (size == 0) return Candidates{nullptr, 0};
        // Blocks start at 0, 32, ... before size, at most 31 + PAD, and read 32 + PAD bytes.
        alignas(32) char padded[(31 + Blocks::PAD) / 32 * 32 + 32 + Blocks::PAD] = {};
        std::memcpy(padded, begin, size);
        for (size_t at = 0; at < size; at += 32) {
            uint32_t hits = Blocks::hits(blocks.bits(padded + at));
            if (size - at < 32) hits &= (uint32_t(1) << (size - at)) - 1;
            if (hits != 0) return Candidates{begin + at, hits};
        }
        return Candidates{nullptr, 0};
    }
    const char* last = end - 32 - reach;  // the last block that lies inside
    const char* p = begin;
    for (; Blocks::PAIRS && p + 32 <= last; p += 64) {
        const __m256i low = blocks.bits(p);
        const __m256i high = blocks.bits(p + 32);
        const __m256i both = _mm256_or_si256(low, high);
        if (!_mm256_testz_si256(both, both)) {
            const uint32_t low_hits = Blocks::hits(low);
            return low_hits != 0 ? Candidates{p, low_hits} : Candidates{p + 32, Blocks::hits(high)};
        }
    }
    for (; p <= last; p += 32) {
        const uint32_t hits = Blocks::hits(blocks.bits(p));
        if (hits != 0) return Candidates{p, hits};
    }
    if (p < last + 32) {  // the last block, without the positions before p
        const uint32_t hits = Blocks::hits(blocks.bits(last)) & (~uint32_t(0) << (p - last));
        if (hits != 0) return Candidates{last, hits};
    }
    for (const char* s = last + 32; s < end; ++s)
        if (blocks.holds_cut(s, end)) return Candidates{s, 1};
    return Candidates{nullptr, 0};
}

template <size_t COUNT, bool FOLD>
QUARNEL_AVX2 Candidates find_probes_of(const ProbePlan& plan, const char* begin, const char* end) {
    switch (plan.tests) {
    case 1:
        return find_blocks(ProbeBlocks<COUNT, 1, FOLD>(plan), plan.reach, begin, end);
    case 2:
        return find_blocks(ProbeBlocks<COUNT, 2, FOLD>(plan), plan.reach, begin, end);
    case 3:
        return find_blocks(ProbeBlocks<COUNT, 3, FOLD>(plan), plan.reach, begin, end);
    default:
        return find_blocks(ProbeBlocks<COUNT, 4, FOLD>(plan), plan.reach, begin, end);
    }
}

template <bool FOLD>
QUARNEL_AVX2 Candidates find_probes_folded(const ProbePlan& plan, const char* begin, const char* end) {
    switch (plan.probes.size()) {
    case 1:
        return find_probes_of<1, FOLD>(plan, begin, end);
    case 2:
        return find_probes_of<2, FOLD>(plan, begin, end);
    case 3:
        return find_probes_of<3, FOLD>(plan, begin, end);
    case 4:
        return find_probes_of<4, FOLD>(plan, begin, end);
    default:
        return find_blocks(AnyProbeBlocks{plan}, plan.reach, begin, end);
    }
}

QUARNEL_AVX2 Candidates avx2_find_probe_candidates(const ProbePlan& plan, const char* begin, const char* end) {
    if (plan.by_set) return find_blocks(AnyProbeBlocks{plan}, plan.reach, begin, end);
    return plan.fold ? find_probes_folded<true>(plan, begin, end) : find_probes_folded<false>(plan, begin, end);
}

// SlimBuckets looks up the windows of 32 positions at once in the nibble tables of 8
// buckets: a byte's bucket bits are those of its low nibble AND those of its high nibble,
// and a window's those of its WIDTH bytes ANDed.
template <uint32_t WIDTH>
struct SlimBuckets {
    static constexpr size_t PAD = MAX_WINDOW - 1;
    static constexpr bool PAIRS = false;
    const BucketPlan& plan;
    __m256i low[WIDTH], high[WIDTH], nibble;

    QUARNEL_AVX2 explicit SlimBuckets(const BucketPlan& bucket_plan) : plan(bucket_plan), nibble(_mm256_set1_epi8(0x0F)) {
        for (uint32_t i = 0; i < WIDTH; ++i) {
            low[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plan.low[i]));
            high[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plan.high[i]));
        }
    }

    QUARNEL_AVX2 __m256i bits_at(uint32_t i, const char* s) const {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        return _mm256_and_si256(_mm256_shuffle_epi8(low[i], _mm256_and_si256(v, nibble)),
                                _mm256_shuffle_epi8(high[i], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
    }

    // bits holds the bucket bits of the windows at [s, s + 32).
    QUARNEL_AVX2 __m256i bits(const char* s) const {
        __m256i bits = bits_at(0, s);
        for (uint32_t i = 1; i < WIDTH; ++i) bits = _mm256_and_si256(bits, bits_at(i, s));
        return bits;
    }
    QUARNEL_AVX2 static uint32_t hits(__m256i bits) {
        return ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bits, _mm256_setzero_si256())));
    }
    bool holds_cut(const char* s, const char* end) const { return group_bits(plan, s, end) != 0; }
};

// FatBuckets is SlimBuckets for 16 buckets: 16 positions a step, their bytes in both
// lanes, looked up in buckets 0-7 in the first lane and 8-15 in the second; two steps make
// a block, their lanes rearranged by position.
template <uint32_t WIDTH>
struct FatBuckets {
    static constexpr size_t PAD = MAX_WINDOW - 1;
    static constexpr bool PAIRS = false;
    const BucketPlan& plan;
    __m256i low[WIDTH], high[WIDTH], nibble;

    QUARNEL_AVX2 explicit FatBuckets(const BucketPlan& bucket_plan) : plan(bucket_plan), nibble(_mm256_set1_epi8(0x0F)) {
        for (uint32_t i = 0; i < WIDTH; ++i) {
            low[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plan.low[i]));
            high[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plan.high[i]));
        }
    }

    QUARNEL_AVX2 __m256i step(const char* s) const {
        __m256i bits = _mm256_setzero_si256();
        for (uint32_t i = 0; i < WIDTH; ++i) {
            const __m256i v = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
            const __m256i here = _mm256_and_si256(_mm256_shuffle_epi8(low[i], _mm256_and_si256(v, nibble)),
                                                  _mm256_shuffle_epi8(high[i], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
            bits = i == 0 ? here : _mm256_and_si256(bits, here);
        }
        return bits;
    }

    // bits holds, for each position of [s, s + 32), buckets 0-7 ORed with buckets 8-15.
    QUARNEL_AVX2 __m256i bits(const char* s) const {
        const __m256i first = step(s);
        const __m256i second = step(s + 16);
        return _mm256_or_si256(_mm256_permute2x128_si256(first, second, 0x20), _mm256_permute2x128_si256(first, second, 0x31));
    }
    QUARNEL_AVX2 static uint32_t hits(__m256i bits) {
        return ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bits, _mm256_setzero_si256())));
    }
    bool holds_cut(const char* s, const char* end) const { return group_bits(plan, s, end) != 0; }
};

QUARNEL_AVX2 Candidates avx2_find_bucket_candidates(const BucketPlan& plan, const char* begin, const char* end) {
    const size_t reach = plan.width - 1;
    if (plan.fat) {
        switch (plan.width) {
        case 1:
            return find_blocks(FatBuckets<1>(plan), reach, begin, end);
        case 2:
            return find_blocks(FatBuckets<2>(plan), reach, begin, end);
        case 3:
            return find_blocks(FatBuckets<3>(plan), reach, begin, end);
        default:
            return find_blocks(FatBuckets<4>(plan), reach, begin, end);
        }
    }
    switch (plan.width) {
    case 1:
        return find_blocks(SlimBuckets<1>(plan), reach, begin, end);
    case 2:
        return find_blocks(SlimBuckets<2>(plan), reach, begin, end);
    case 3:
        return find_blocks(SlimBuckets<3>(plan), reach, begin, end);
    default:
        return find_blocks(SlimBuckets<4>(plan), reach, begin, end);
    }
}

// SetClassifier holds ByteSetSearch's nibble tables spread over 32 lanes.
struct SetClassifier {
    __m256i low_table, high_table, nibble;
};

QUARNEL_AVX2 inline SetClassifier classifier_of(const ByteSetSearch::Tables& set) {
    return SetClassifier{_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.low))),
                         _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.high))),
                         _mm256_set1_epi8(0x0F)};
}

// set_candidates returns a bit for each of the 32 bytes at p that may be in the set: every
// member, and perhaps a few others that the exact table must turn away.
QUARNEL_AVX2 inline uint32_t set_candidates(const SetClassifier& c, const char* p) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i low = _mm256_shuffle_epi8(c.low_table, _mm256_and_si256(v, c.nibble));
    __m256i high = _mm256_shuffle_epi8(c.high_table, _mm256_and_si256(_mm256_srli_epi16(v, 4), c.nibble));
    return ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(low, high), _mm256_setzero_si256())));
}

// avx2_find_in_set classifies 32 bytes at a time by their nibbles (see ByteSetSearch) and
// checks each candidate against the exact table.
QUARNEL_AVX2 const char* avx2_find_in_set(const ByteSetSearch::Tables& set, const char* begin, const char* end) {
    if (set.count == 0) return nullptr;
    const SetClassifier classifier = classifier_of(set);
    const char* p = begin;
    for (; size_t(end - p) >= 32; p += 32) {
        for (uint32_t candidates = set_candidates(classifier, p); candidates != 0; candidates &= candidates - 1) {
            const char* at = p + __builtin_ctz(candidates);
            if (set.member[static_cast<unsigned char>(*at)]) return at;
        }
    }
    return find_in_set_tail(set, p, end);
}

// avx2_find_last_in_set is avx2_find_in_set from the end backward.
QUARNEL_AVX2 const char* avx2_find_last_in_set(const ByteSetSearch::Tables& set, const char* begin,
                                               const char* end) {
    if (set.count == 0) return nullptr;
    const SetClassifier classifier = classifier_of(set);
    const char* p = end;
    for (; size_t(p - begin) >= 32; p -= 32) {
        for (uint32_t candidates = set_candidates(classifier, p - 32); candidates != 0;) {
            const int bit = 31 - __builtin_clz(candidates);
            const char* at = p - 32 + bit;
            if (set.member[static_cast<unsigned char>(*at)]) return at;
            candidates &= ~(uint32_t(1) << bit);
        }
    }
    return find_last_in_set_tail(set, begin, p);
}

QUARNEL_AVX2 const char* avx2_find_line_end(const char* begin, const char* end) {
    const __m256i line_feed = _mm256_set1_epi8('\n');
    const __m256i nul = _mm256_setzero_si256();
    const char* p = begin;
    for (; size_t(end - p) >= 32; p += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        uint32_t stops = uint32_t(_mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, line_feed), _mm256_cmpeq_epi8(v, nul))));
        if (stops != 0) return p + __builtin_ctz(stops);
    }
    return PLAIN_KERNELS.find_line_end(p, end);
}

// avx2_find_last_byte looks at the 32 bytes before the end, then the 32 before those, and
// so on; the bytes left at the start go to the plain code.
QUARNEL_AVX2 const char* avx2_find_last_byte(const char* begin, const char* end, char byte) {
    const __m256i wanted = _mm256_set1_epi8(byte);
    const char* p = end;
    for (; size_t(p - begin) >= 32; p -= 32) {
        uint32_t hits = uint32_t(_mm256_movemask_epi8(equal_lanes(p - 32, wanted)));
        if (hits != 0) return p - 1 - __builtin_clz(hits);
    }
    return PLAIN_KERNELS.find_last_byte(begin, p, byte);
}

const ScanKernels AVX2_KERNELS = {avx2_count_byte,      avx2_stretch,        avx2_map_case,        avx2_find_probe_candidates,
                                  avx2_find_bucket_candidates, avx2_find_in_set, avx2_find_line_end, avx2_find_last_byte, avx2_find_last_in_set};

}  // namespace

const ScanKernels* avx2_kernels() {
    __builtin_cpu_init();
    bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    return usable ? &AVX2_KERNELS : nullptr;
}
