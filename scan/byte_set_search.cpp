// byte_set_search.cpp: ByteSetSearch, the first or last byte of a set, for the DFA's
// accelerated states (regexp/dfa.cpp: a state that loops on all but a few bytes is left by
// a jump to the next of those few) and for the selection matcher's look for the ends of the
// line around a literal (regexp/regselect.cpp).
//
// The nibble tables give each distinct pattern of low nibbles (the set's bytes that share
// a high nibble) one of eight bucket bits; high nibbles with the same pattern share a
// bucket, so a set of up to eight such patterns is exact and a larger one is covered by
// folding the rest into the last bucket. Candidates are always checked against the exact
// table, so the tables only decide how often a check is made.
#include <cstring>

#include "scan/kernels.h"

ByteSetSearch::ByteSetSearch(const bool member[256]) {
    std::memset(&tables_, 0, sizeof tables_);
    uint16_t pattern_of_high[16] = {};
    for (int b = 0; b < 256; ++b) {
        tables_.member[b] = member[b];
        if (!member[b]) continue;
        ++tables_.count;
        tables_.only = static_cast<unsigned char>(b);
        pattern_of_high[b >> 4] = uint16_t(pattern_of_high[b >> 4] | (1u << (b & 15)));
    }
    uint16_t bucket_pattern[8] = {};
    int buckets = 0;
    for (int high = 0; high < 16; ++high) {
        const uint16_t pattern = pattern_of_high[high];
        if (pattern == 0) continue;
        int bucket = 0;
        while (bucket < buckets && bucket_pattern[bucket] != pattern) ++bucket;
        if (bucket == buckets) {
            if (buckets < 8) {
                bucket_pattern[buckets++] = pattern;
            } else {
                bucket = 7;  // folded into the last bucket: a superset
                bucket_pattern[7] = uint16_t(bucket_pattern[7] | pattern);
            }
        }
        tables_.high[high] = uint8_t(tables_.high[high] | (1u << bucket));
    }
    for (int bucket = 0; bucket < buckets; ++bucket)
        for (int low = 0; low < 16; ++low)
            if (bucket_pattern[bucket] & (1u << low)) tables_.low[low] = uint8_t(tables_.low[low] | (1u << bucket));
}

const char* ByteSetSearch::find(const char* begin, const char* end) const {
    return active_kernels().find_in_set(tables_, begin, end);
}

const char* ByteSetSearch::find_last(const char* begin, const char* end) const {
    return active_kernels().find_last_in_set(tables_, begin, end);
}
