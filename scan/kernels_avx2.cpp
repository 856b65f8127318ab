// kernels_avx2.cpp: the kernels 32 bytes at a time, for x86-64 processors with AVX2.
//
// Compiled with the target attribute per function rather than a flag for the file, so the
// binary still starts on any x86-64; avx2_kernels hands the table out only when the
// processor has AVX2, BMI1 and POPCNT. Built only for x86 targets (see CMakeLists.txt).
// Every kernel finishes its last partial block with the plain code, so the vector loops
// never read outside [begin, end).
#include <immintrin.h>

#include <algorithm>

#include "scan/kernels.h"

#define QUARNEL_AVX2 __attribute__((target("avx2,bmi,popcnt")))

namespace {

// The counts of one byte are gathered in byte lanes, so they are summed into wider lanes
// before 255 blocks can overflow them.
constexpr size_t BLOCKS_PER_SUM = 255;

QUARNEL_AVX2 size_t sum_lanes(__m256i counts) {
    __m256i sums = _mm256_sad_epu8(counts, _mm256_setzero_si256());
    return size_t(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) + _mm256_extract_epi64(sums, 2) +
                  _mm256_extract_epi64(sums, 3));
}

QUARNEL_AVX2 size_t avx2_count_byte(const char* begin, const char* end, char byte) {
    const __m256i wanted = _mm256_set1_epi8(byte);
    size_t total = 0;
    const char* p = begin;
    while (size_t(end - p) >= 32) {
        size_t blocks = std::min(size_t(end - p) / 32, BLOCKS_PER_SUM);
        __m256i counts = _mm256_setzero_si256();
        for (size_t i = 0; i < blocks; ++i, p += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            counts = _mm256_sub_epi8(counts, _mm256_cmpeq_epi8(v, wanted));  // a match is -1
        }
        total += sum_lanes(counts);
    }
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

// probe_mask returns the positions of the 32 starting at s where probe holds.
QUARNEL_AVX2 inline __m256i probe_mask(const LiteralSearch::Probe& probe, const char* s) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + probe.offset1));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + probe.offset2));
    a = _mm256_or_si256(a, _mm256_set1_epi8(char(probe.fold1)));
    b = _mm256_or_si256(b, _mm256_set1_epi8(char(probe.fold2)));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, _mm256_set1_epi8(char(probe.byte1))),
                            _mm256_cmpeq_epi8(b, _mm256_set1_epi8(char(probe.byte2))));
}

QUARNEL_AVX2 const char* avx2_find_candidate(const LiteralSearch::Probe* probes, size_t count, uint32_t max_offset,
                                             const char* begin, const char* end) {
    const char* s = begin;
    if (size_t(end - begin) >= 64 + size_t(max_offset)) {
        // Blocks whose 32 + max_offset bytes lie inside the buffer.
        const char* last = end - 32 - max_offset;
        if (count == 1) {
            const LiteralSearch::Probe probe = probes[0];
            for (; s + 32 <= last; s += 64) {  // two blocks a round
                uint32_t low = uint32_t(_mm256_movemask_epi8(probe_mask(probe, s)));
                uint32_t high = uint32_t(_mm256_movemask_epi8(probe_mask(probe, s + 32)));
                uint64_t hits = (uint64_t(high) << 32) | low;
                if (hits != 0) return s + __builtin_ctzll(hits);
            }
        }
        for (; s <= last; s += 32) {
            __m256i any = probe_mask(probes[0], s);
            for (size_t k = 1; k < count; ++k) any = _mm256_or_si256(any, probe_mask(probes[k], s));
            uint32_t hits = uint32_t(_mm256_movemask_epi8(any));
            if (hits != 0) return s + __builtin_ctz(hits);
        }
    }
    return find_candidate_tail(probes, count, s, end);
}

// avx2_find_in_set classifies 32 bytes at a time by their nibbles (see ByteSetSearch) and
// checks each candidate against the exact table.
QUARNEL_AVX2 const char* avx2_find_in_set(const ByteSetSearch::Tables& set, const char* begin, const char* end) {
    if (set.count == 0) return nullptr;
    const __m256i low_table =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.low)));
    const __m256i high_table =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.high)));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i zero = _mm256_setzero_si256();
    const char* p = begin;
    for (; size_t(end - p) >= 32; p += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i low = _mm256_shuffle_epi8(low_table, _mm256_and_si256(v, nibble));
        __m256i high = _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
        uint32_t candidates = ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(low, high), zero)));
        for (; candidates != 0; candidates &= candidates - 1) {
            const char* at = p + __builtin_ctz(candidates);
            if (set.member[static_cast<unsigned char>(*at)]) return at;
        }
    }
    return find_in_set_tail(set, p, end);
}

const ScanKernels AVX2_KERNELS = {avx2_count_byte, avx2_stretch, avx2_map_case, avx2_find_candidate,
                                  avx2_find_in_set};

}  // namespace

const ScanKernels* avx2_kernels() {
    __builtin_cpu_init();
    bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    return usable ? &AVX2_KERNELS : nullptr;
}
