// kernels_plain.cpp: the portable kernels, the reference for the vector ones.
//
// They lean on the C library where it is already fast (memchr) and otherwise go a byte at
// a time, except the line-feed count, which goes a word at a time.
#include <algorithm>
#include <cstring>

#include "scan/kernels.h"

namespace {

size_t plain_count_byte(const char* begin, const char* end, char byte) {
    size_t count = 0;
    for (const char* p = begin; (p = static_cast<const char*>(std::memchr(p, byte, size_t(end - p)))) != nullptr; ++p)
        ++count;
    return count;
}

StretchStats plain_stretch(const char* begin, const char* end) {
    const char* nul = static_cast<const char*>(std::memchr(begin, '\0', size_t(end - begin)));
    return StretchStats{plain_count_byte(begin, end, '\n'), nul};
}

void plain_map_case(const char* from, char* to, size_t size, CaseMapping mapping) {
    const unsigned char first = mapping == CaseMapping::TO_UPPER ? 'a' : 'A';
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(from[i]);
        to[i] = static_cast<char>(static_cast<unsigned char>(c - first) < 26 ? c ^ 0x20 : c);
    }
}

Candidates plain_find_probe_candidates(const ProbePlan& plan, const char* begin, const char* end) {
    const uint32_t tests = plan.tests;
    // One literal whose first test is a byte: let memchr find that byte.
    if (plan.probes.size() == 1 && !plan.probes[0].tests[0].by_set && plan.probes[0].tests[0].fold == 0) {
        const Probe& probe = plan.probes[0];
        const uint32_t first = probe.tests[0].offset;
        if (size_t(end - begin) <= plan.reach) return Candidates{nullptr, 0};
        const char* last = end - plan.reach;  // candidates lie before last
        for (const char* p = begin + first; p < last + first;) {
            const char* hit = static_cast<const char*>(std::memchr(p, probe.tests[0].value, size_t(last + first - p)));
            if (hit == nullptr) break;
            const char* s = hit - first;
            if (probe_holds(probe, tests, s)) return Candidates{s, 1};
            p = hit + 1;
        }
        return Candidates{nullptr, 0};
    }
    const size_t reach = plan.reach;
    for (const char* s = begin; s < end; ++s) {
        if (size_t(end - s) <= reach) {  // the tests that lie before end only
            if (probe_holds_cut(plan, s, end)) return Candidates{s, 1};
            continue;
        }
        for (const Probe& probe : plan.probes)
            if (probe_holds(probe, tests, s)) return Candidates{s, 1};
    }
    return Candidates{nullptr, 0};
}

// find_windows looks WIDTH bytes at a time up in the group tables, four positions a round.
template <uint32_t WIDTH>
Candidates find_windows(const BucketPlan& plan, const char* begin, const char* end) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(begin);
    auto at = [&](const unsigned char* q) {
        uint64_t bits = plan.groups[0][q[0]];
        for (uint32_t i = 1; i < WIDTH; ++i) bits &= plan.groups[i][q[i]];
        return bits;
    };
    if (size_t(end - begin) >= WIDTH) {
        const unsigned char* last = reinterpret_cast<const unsigned char*>(end) - (WIDTH - 1);  // whole windows before last
        for (; last - p >= 4; p += 4) {
            if ((at(p) | at(p + 1) | at(p + 2) | at(p + 3)) == 0) continue;
            for (int j = 0;; ++j)
                if (at(p + j) != 0) return Candidates{reinterpret_cast<const char*>(p + j), 1};
        }
        for (; p < last; ++p)
            if (at(p) != 0) return Candidates{reinterpret_cast<const char*>(p), 1};
    }
    for (; p < reinterpret_cast<const unsigned char*>(end); ++p)  // windows cut by the end
        if (group_bits(plan, reinterpret_cast<const char*>(p), end) != 0) return Candidates{reinterpret_cast<const char*>(p), 1};
    return Candidates{nullptr, 0};
}

Candidates plain_find_bucket_candidates(const BucketPlan& plan, const char* begin, const char* end) {
    switch (plan.width) {
    case 1:
        return find_windows<1>(plan, begin, end);
    case 2:
        return find_windows<2>(plan, begin, end);
    case 3:
        return find_windows<3>(plan, begin, end);
    default:
        return find_windows<4>(plan, begin, end);
    }
}

const char* plain_find_in_set(const ByteSetSearch::Tables& set, const char* begin, const char* end) {
    if (set.count == 0) return nullptr;
    if (set.count == 1) return static_cast<const char*>(std::memchr(begin, set.only, size_t(end - begin)));
    return find_in_set_tail(set, begin, end);
}

const char* plain_find_last_in_set(const ByteSetSearch::Tables& set, const char* begin, const char* end) {
    if (set.count == 0) return nullptr;
    return find_last_in_set_tail(set, begin, end);
}

}  // namespace

const char* find_last_in_set_tail(const ByteSetSearch::Tables& set, const char* begin, const char* end) {
    for (const char* p = end; p > begin; --p)
        if (set.member[static_cast<unsigned char>(p[-1])]) return p - 1;
    return nullptr;
}

const char* find_in_set_tail(const ByteSetSearch::Tables& set, const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p)
        if (set.member[static_cast<unsigned char>(*p)]) return p;
    return nullptr;
}

const char* plain_find_line_end(const char* begin, const char* end) {
    const char* line_feed = static_cast<const char*>(std::memchr(begin, '\n', size_t(end - begin)));
    const char* text_end = line_feed != nullptr ? line_feed : end;
    const char* nul = static_cast<const char*>(std::memchr(begin, '\0', size_t(text_end - begin)));
    return nul != nullptr ? nul : line_feed;
}

const char* plain_find_last_byte(const char* begin, const char* end, char byte) {
    for (const char* p = end; p > begin;)
        if (*--p == byte) return p;
    return nullptr;
}

const ScanKernels PLAIN_KERNELS = {plain_count_byte,      plain_stretch,        plain_map_case,        plain_find_probe_candidates,
                                   plain_find_bucket_candidates, plain_find_in_set, plain_find_line_end, plain_find_last_byte, plain_find_last_in_set};
