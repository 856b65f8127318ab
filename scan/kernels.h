// kernels.h: the table of kernel functions behind scan.h (internal to scan/).
//
// kernels_plain.cpp and kernels_avx2.cpp each fill one ScanKernels; dispatch.cpp picks the
// table once per process and scan.h's functions call through it.
#pragma once

#include "scan/scan.h"

// Candidates is what find_candidates found: bit i of mask set means that a probe holds at
// base + i. Positions before base hold none, and so do the unset positions up to the last
// set bit. A mask of 0 means that no position holds one.
struct Candidates {
    const char* base;
    uint32_t mask;
};

struct ScanKernels {
    size_t (*count_byte)(const char* begin, const char* end, char byte);
    StretchStats (*stretch)(const char* begin, const char* end);
    void (*map_case)(const char* from, char* to, size_t size, CaseMapping mapping);
    // find_candidates returns the first positions of [begin, end) at which one of the count
    // probes holds, considering for each probe only the positions whose two probed bytes lie
    // before end. max_offset is the largest offset of the probes.
    Candidates (*find_candidates)(const LiteralSearch::Probe* probes, size_t count, uint32_t max_offset,
                                  const char* begin, const char* end);
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

// probe_holds tells whether probe holds at s, whose probed bytes the caller knows to exist.
inline bool probe_holds(const LiteralSearch::Probe& probe, const char* s) {
    return (static_cast<uint8_t>(s[probe.offset1]) | probe.fold1) == probe.byte1 &&
           (static_cast<uint8_t>(s[probe.offset2]) | probe.fold2) == probe.byte2;
}

// find_in_set_tail is the byte-at-a-time set search both tables use for what is left.
const char* find_in_set_tail(const ByteSetSearch::Tables& set, const char* begin, const char* end);

// find_last_in_set_tail is the byte-at-a-time backward set search both tables use for what
// is left.
const char* find_last_in_set_tail(const ByteSetSearch::Tables& set, const char* begin, const char* end);

// find_candidate_tail is the byte-at-a-time search both tables use for what is left.
Candidates find_candidate_tail(const LiteralSearch::Probe* probes, size_t count, const char* begin, const char* end);
