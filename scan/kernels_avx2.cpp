// kernels_avx2.cpp: the kernels 32 bytes at a time, for x86-64 processors with AVX2.
//
// Compiled with the target attribute per function rather than a flag for the file, so the
// binary still starts on any x86-64; avx2_kernels hands the table out only when the
// processor has AVX2, BMI1 and POPCNT. Built only for x86 targets (see CMakeLists.txt).
// Every kernel finishes its last partial block with the plain code, so the vector loops
// never read outside [begin, end).
#include <immintrin.h>

#include <algorithm>
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

// ProbeVectors is a probe spread over 32 lanes.
struct ProbeVectors {
    __m256i byte1, byte2, fold1, fold2;
    uint32_t offset1, offset2;
};

QUARNEL_AVX2 inline ProbeVectors spread(const LiteralSearch::Probe& probe) {
    return ProbeVectors{_mm256_set1_epi8(char(probe.byte1)), _mm256_set1_epi8(char(probe.byte2)),
                        _mm256_set1_epi8(char(probe.fold1)), _mm256_set1_epi8(char(probe.fold2)), probe.offset1,
                        probe.offset2};
}

// probe_mask returns the positions of the 32 starting at s where probe holds; FOLD says
// whether any probe folds case (the OR is left out when none does).
template <bool FOLD>
QUARNEL_AVX2 inline __m256i probe_mask(const ProbeVectors& probe, const char* s) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + probe.offset1));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + probe.offset2));
    if (FOLD) {
        a = _mm256_or_si256(a, probe.fold1);
        b = _mm256_or_si256(b, probe.fold2);
    }
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, probe.byte1), _mm256_cmpeq_epi8(b, probe.byte2));
}

// any_probe_mask returns the positions of the 32 starting at p where any of the probes
// holds; the probes are spelled out one by one, so each stays in its registers.
template <bool FOLD, size_t... K>
QUARNEL_AVX2 inline __m256i any_probe_mask(const ProbeVectors* probes, const char* p, std::index_sequence<K...>) {
    return (probe_mask<FOLD>(probes[K], p) | ...);
}

// find_blocks searches the blocks from s while a block's probed bytes lie before end, with
// COUNT probes kept in registers; it returns the first block with candidates, or none with
// *s at the first block not searched.
template <size_t COUNT, bool FOLD>
QUARNEL_AVX2 Candidates find_blocks(const LiteralSearch::Probe* probes, const char** s, const char* last) {
    ProbeVectors spread_probes[COUNT];
    for (size_t k = 0; k < COUNT; ++k) spread_probes[k] = spread(probes[k]);
    constexpr auto ALL = std::make_index_sequence<COUNT>();
    const char* p = *s;
    for (; p + 32 <= last; p += 64) {  // two blocks a round
        __m256i low = any_probe_mask<FOLD>(spread_probes, p, ALL);
        __m256i high = any_probe_mask<FOLD>(spread_probes, p + 32, ALL);
        __m256i both = _mm256_or_si256(low, high);
        if (!_mm256_testz_si256(both, both)) {
            uint32_t low_hits = uint32_t(_mm256_movemask_epi8(low));
            return low_hits != 0 ? Candidates{p, low_hits} : Candidates{p + 32, uint32_t(_mm256_movemask_epi8(high))};
        }
    }
    for (; p <= last; p += 32) {
        uint32_t hits = uint32_t(_mm256_movemask_epi8(any_probe_mask<FOLD>(spread_probes, p, ALL)));
        if (hits != 0) return Candidates{p, hits};
    }
    *s = p;
    return Candidates{nullptr, 0};
}

// find_blocks_any is find_blocks for any number of probes, spread afresh for each block.
QUARNEL_AVX2 Candidates find_blocks_any(const LiteralSearch::Probe* probes, size_t count, const char** s,
                                         const char* last) {
    const char* p = *s;
    for (; p <= last; p += 32) {
        __m256i any = _mm256_setzero_si256();
        for (size_t k = 0; k < count; ++k) any = _mm256_or_si256(any, probe_mask<true>(spread(probes[k]), p));
        uint32_t hits = uint32_t(_mm256_movemask_epi8(any));
        if (hits != 0) return Candidates{p, hits};
    }
    *s = p;
    return Candidates{nullptr, 0};
}

template <bool FOLD>
QUARNEL_AVX2 Candidates find_blocks_folded(const LiteralSearch::Probe* probes, size_t count, const char** s,
                                            const char* last) {
    switch (count) {
    case 1:
        return find_blocks<1, FOLD>(probes, s, last);
    case 2:
        return find_blocks<2, FOLD>(probes, s, last);
    case 3:
        return find_blocks<3, FOLD>(probes, s, last);
    case 4:
        return find_blocks<4, FOLD>(probes, s, last);
    default:
        return find_blocks_any(probes, count, s, last);
    }
}

QUARNEL_AVX2 Candidates avx2_find_candidates(const LiteralSearch::Probe* probes, size_t count, uint32_t max_offset,
                                             const char* begin, const char* end) {
    const char* s = begin;
    if (size_t(end - begin) >= 64 + size_t(max_offset)) {
        // Blocks whose 32 + max_offset bytes lie inside the buffer.
        const char* last = end - 32 - max_offset;
        bool fold = false;
        for (size_t k = 0; k < count; ++k) fold = fold || probes[k].fold1 != 0 || probes[k].fold2 != 0;
        Candidates found = fold ? find_blocks_folded<true>(probes, count, &s, last)
                                : find_blocks_folded<false>(probes, count, &s, last);
        if (found.mask != 0) return found;
    }
    return find_candidate_tail(probes, count, s, end);
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

const ScanKernels AVX2_KERNELS = {avx2_count_byte,      avx2_stretch,        avx2_map_case,        avx2_find_candidates,
                                  avx2_find_in_set, avx2_find_line_end, avx2_find_last_byte, avx2_find_last_in_set};

}  // namespace

const ScanKernels* avx2_kernels() {
    __builtin_cpu_init();
    bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    return usable ? &AVX2_KERNELS : nullptr;
}
