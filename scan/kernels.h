// kernels.h: the table of kernel functions behind scan.h (internal to scan/).
//
// kernels_plain.cpp and kernels_avx2.cpp each fill one ScanKernels; dispatch.cpp picks the
// table once per process and scan.h's functions call through it.
#pragma once

#include <algorithm>
#include <vector>

#include "scan/scan.h"

// Candidates is what a candidate search found: bit i of mask set means that a candidate
// lies at base + i. Positions before base hold none, and so do the unset positions up to the
// last set bit. A mask of 0 means that no position holds one.
struct Candidates {
    const char* base;
    uint32_t mask;
};

// The plans of LiteralSearch's kernels, built by literal_plan.cpp.

// MAX_PROBE_TESTS: the most positions a probe tests; MAX_WINDOW: the most positions of a
// bucket window; MAX_REACH: the furthest a probe or a window looks into its literal (the
// vector kernels copy the last bytes of a buffer into a padded block of that reach).
constexpr uint32_t MAX_PROBE_TESTS = 4;
constexpr uint32_t MAX_WINDOW = 4;
constexpr uint32_t MAX_REACH = 63;

// OrTest tests a byte class with one OR and one compare: b may be in the class when
// (b | fold) == value; exact tells that no other byte passes (a single byte, a letter in
// both cases).
struct OrTest {
    uint8_t value, fold;
    bool exact;
};

// or_test is the narrowest OrTest that every byte of the class passes.
OrTest or_test(const ByteClass& set);

// nibble_tables fills low and high so that low[b & 15] & high[b >> 4] is nonzero for every
// byte b of the set, and for few others (none while the set's high nibbles have at most
// eight patterns of low nibbles): eight bucket bits, one per pattern.
void nibble_tables(const ByteClass& set, uint8_t low[16], uint8_t high[16]);

// ProbeTest is one position of a probe: the byte at offset passes when (b | fold) == value,
// or, by_set, when it is in set (the vector kernel tests set's nibble tables, a superset).
struct ProbeTest {
    uint32_t offset;
    uint8_t value, fold;
    bool by_set;
    uint8_t low[16], high[16];
    ByteClass set;
};

// Probe is the test of one literal: a position s is a candidate when every test passes at
// s. A probe with fewer own tests than its plan repeats its first one.
struct Probe {
    ProbeTest tests[MAX_PROBE_TESTS];
};

// ProbePlan is the PROBES kernel's plan: one probe per searched literal.
struct ProbePlan {
    std::vector<Probe> probes;
    uint32_t tests = 0;   // tests per probe, 1 to MAX_PROBE_TESTS
    uint32_t reach = 0;   // the largest offset, at most MAX_REACH
    bool fold = false;    // some test folds bits
    bool by_set = false;  // some test is by set
};

// BucketPlan is the plan of the BUCKETS kernels. Every searched literal has a window of
// width positions (window positions past a short literal's end hold any byte) and belongs
// to one of 8 or 16 buckets. For the vector kernel, low[i] and high[i] give, by the low and
// high nibble of the byte at window position i, the buckets whose window may hold it: both
// 16-byte lanes alike for 8 buckets, buckets 0-7 in the first and 8-15 in the second for 16
// (fat). groups[i] gives the same by the whole byte for up to 64 groups of literals, each
// inside one bucket: the plain kernel's table and the check of every candidate.
struct BucketPlan {
    uint32_t width = 0;
    bool fat = false;
    alignas(32) uint8_t low[MAX_WINDOW][32] = {};
    alignas(32) uint8_t high[MAX_WINDOW][32] = {};
    uint64_t groups[MAX_WINDOW][256] = {};
};

// group_bits returns the groups whose window may begin at q: the window positions past end
// are not looked at.
inline uint64_t group_bits(const BucketPlan& plan, const char* q, const char* end) {
    uint64_t bits = plan.groups[0][static_cast<unsigned char>(q[0])];
    const uint32_t width = std::min(plan.width, uint32_t(end - q));
    for (uint32_t i = 1; i < width; ++i) bits &= plan.groups[i][static_cast<unsigned char>(q[i])];
    return bits;
}

// probe_holds tells whether probe's first tests tests pass at s, whose tested bytes the
// caller knows to exist.
inline bool probe_holds(const Probe& probe, uint32_t tests, const char* s) {
    for (uint32_t k = 0; k < tests; ++k) {
        const ProbeTest& test = probe.tests[k];
        const unsigned char b = static_cast<unsigned char>(s[test.offset]);
        if (test.by_set ? !test.set.contains(b) : (b | test.fold) != test.value) return false;
    }
    return true;
}

// probe_holds_cut tells whether a probe of plan holds at s with every tested byte before end.
inline bool probe_holds_cut(const ProbePlan& plan, const char* s, const char* end) {
    const size_t room = size_t(end - s);
    for (const Probe& probe : plan.probes) {
        bool fits = true;
        for (uint32_t k = 0; k < plan.tests; ++k) fits = fits && probe.tests[k].offset < room;
        if (fits && probe_holds(probe, plan.tests, s)) return true;
    }
    return false;
}

struct ScanKernels {
    size_t (*count_byte)(const char* begin, const char* end, char byte);
    StretchStats (*stretch)(const char* begin, const char* end);
    void (*map_case)(const char* from, char* to, size_t size, CaseMapping mapping);
    // find_probe_candidates returns the first positions s of [begin, end) at which one of
    // the plan's probes holds, considering only the positions whose tested bytes lie before
    // end (the vector form may name others too).
    Candidates (*find_probe_candidates)(const ProbePlan& plan, const char* begin, const char* end);
    // find_bucket_candidates returns the first positions q of [begin, end) at which a
    // bucket's window may begin: every q at which a literal's window lies (the part of it
    // before end), and others.
    Candidates (*find_bucket_candidates)(const BucketPlan& plan, const char* begin, const char* end);
    // find_in_set returns the first position of [begin, end) whose byte is in the set.
    const char* (*find_in_set)(const ByteSetSearch::Tables& set, const char* begin, const char* end);
    // find_line_end returns the first position of [begin, end) that holds a line feed or a
    // NUL, or null.
    const char* (*find_line_end)(const char* begin, const char* end);
    // find_last_byte returns the last position of [begin, end) that holds byte, or null.
    const char* (*find_last_byte)(const char* begin, const char* end, char byte);
    // find_last_in_set returns the last position of [begin, end) whose byte is in the set.
    const char* (*find_last_in_set)(const ByteSetSearch::Tables& set, const char* begin, const char* end);
};

extern const ScanKernels PLAIN_KERNELS;

// avx2_kernels returns the AVX2 table, or null when this build has none.
const ScanKernels* avx2_kernels();

// The active table; chosen by the first call to scan_kernel_level.
const ScanKernels& active_kernels();

// find_in_set_tail is the byte-at-a-time set search both tables use for what is left.
const char* find_in_set_tail(const ByteSetSearch::Tables& set, const char* begin, const char* end);

// find_last_in_set_tail is the byte-at-a-time backward set search both tables use for what
// is left.
const char* find_last_in_set_tail(const ByteSetSearch::Tables& set, const char* begin, const char* end);
