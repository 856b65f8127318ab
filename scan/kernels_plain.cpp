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

Candidates plain_find_candidates(const LiteralSearch::Probe* probes, size_t count, uint32_t, const char* begin,
                                 const char* end) {
    // One literal whose first probed byte needs no folding: let memchr find that byte.
    if (count == 1 && probes[0].fold1 == 0) {
        const LiteralSearch::Probe& probe = probes[0];
        size_t reach = std::max(probe.offset1, probe.offset2);
        if (size_t(end - begin) <= reach) return Candidates{nullptr, 0};
        const char* last = end - reach;  // candidates lie before last
        for (const char* p = begin + probe.offset1; p < last + probe.offset1;) {
            const char* hit = static_cast<const char*>(std::memchr(p, probe.byte1, size_t(last + probe.offset1 - p)));
            if (hit == nullptr) break;
            const char* s = hit - probe.offset1;
            if (probe_holds(probe, s)) return Candidates{s, 1};
            p = hit + 1;
        }
        return Candidates{nullptr, 0};
    }
    return find_candidate_tail(probes, count, begin, end);
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

Candidates find_candidate_tail(const LiteralSearch::Probe* probes, size_t count, const char* begin, const char* end) {
    for (const char* s = begin; s < end; ++s) {
        size_t room = size_t(end - s);
        for (size_t k = 0; k < count; ++k) {
            const LiteralSearch::Probe& probe = probes[k];
            if (probe.offset1 < room && probe.offset2 < room && probe_holds(probe, s)) return Candidates{s, 1};
        }
    }
    return Candidates{nullptr, 0};
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

const ScanKernels PLAIN_KERNELS = {plain_count_byte,      plain_stretch,        plain_map_case,        plain_find_candidates,
                                   plain_find_in_set, plain_find_line_end, plain_find_last_byte, plain_find_last_in_set};
