// byte_class.cpp: ByteClass, class literals, and the two ways a kernel tests a class: one OR
// and one compare (or_test), or a lookup of each nibble (nibble_tables, also ByteSetSearch's).
#include <bit>

#include "scan/kernels.h"

ByteClass ByteClass::of(unsigned char byte) {
    ByteClass set;
    set.add(byte);
    return set;
}

ByteClass ByteClass::of_case_pair(unsigned char byte) {
    ByteClass set = of(byte);
    if ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z') set.add(static_cast<unsigned char>(byte ^ 0x20));
    return set;
}

void ByteClass::add_range(unsigned char first, unsigned char last) {
    for (int b = first; b <= last; ++b) add(static_cast<unsigned char>(b));
}

int ByteClass::count() const {
    return std::popcount(bits_[0]) + std::popcount(bits_[1]) + std::popcount(bits_[2]) + std::popcount(bits_[3]);
}

unsigned char ByteClass::first() const {
    int word = 0;
    while (word < 3 && bits_[word] == 0) ++word;
    return static_cast<unsigned char>(word * 64 + std::countr_zero(bits_[word]));
}

ClassLiteral class_literal(std::string_view text, bool fold_case) {
    ClassLiteral literal;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        literal.push_back(fold_case ? ByteClass::of_case_pair(byte) : ByteClass::of(byte));
    }
    return literal;
}

OrTest or_test(const ByteClass& set) {
    // The bits in which members differ are ORed away; the rest must equal theirs.
    unsigned all_ones = 0, all_zeros = 0;
    for (int b = 0; b < 256; ++b) {
        if (!set.contains(static_cast<unsigned char>(b))) continue;
        all_ones |= unsigned(b);
        all_zeros |= ~unsigned(b) & 0xFF;
    }
    const uint8_t fold = static_cast<uint8_t>(all_ones & all_zeros);
    return OrTest{static_cast<uint8_t>(all_ones), fold, set.count() == 1 << std::popcount(unsigned(fold))};
}

void nibble_tables(const ByteClass& set, uint8_t low[16], uint8_t high[16]) {
    // Each distinct pattern of low nibbles (the members that share a high nibble) gets a
    // bucket bit; high nibbles with the same pattern share it. Past eight patterns the rest
    // are folded into the last bucket: a superset.
    uint16_t pattern_of_high[16] = {};
    for (int b = 0; b < 256; ++b)
        if (set.contains(static_cast<unsigned char>(b)))
            pattern_of_high[b >> 4] = uint16_t(pattern_of_high[b >> 4] | (1u << (b & 15)));
    for (int i = 0; i < 16; ++i) low[i] = high[i] = 0;
    uint16_t bucket_pattern[8] = {};
    int buckets = 0;
    for (int h = 0; h < 16; ++h) {
        const uint16_t pattern = pattern_of_high[h];
        if (pattern == 0) continue;
        int bucket = 0;
        while (bucket < buckets && bucket_pattern[bucket] != pattern) ++bucket;
        if (bucket == buckets) {
            if (buckets < 8) {
                bucket_pattern[buckets++] = pattern;
            } else {
                bucket = 7;
                bucket_pattern[7] = uint16_t(bucket_pattern[7] | pattern);
            }
        }
        high[h] = uint8_t(high[h] | (1u << bucket));
    }
    for (int bucket = 0; bucket < buckets; ++bucket)
        for (int l = 0; l < 16; ++l)
            if (bucket_pattern[bucket] & (1u << l)) low[l] = uint8_t(low[l] | (1u << bucket));
}
