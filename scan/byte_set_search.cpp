// byte_set_search.cpp: ByteSetSearch, the first or last byte of a set, for the DFA's
// accelerated states (regexp/dfa.cpp: a state that loops on all but a few bytes is left by
// a jump to the next of those few) and for the selection matcher's look for the ends of the
// line around a literal (regexp/selection.cpp).
//
// The nibble tables (nibble_tables, byte_class.cpp) are exact for a set of up to eight
// patterns of low nibbles and a superset beyond. Candidates are always checked against the
// exact table, so the tables only decide how often a check is made.
#include <cstring>

#include "scan/kernels.h"

ByteSetSearch::ByteSetSearch(const bool member[256]) {
    std::memset(&tables_, 0, sizeof tables_);
    ByteClass set;
    for (int b = 0; b < 256; ++b) {
        tables_.member[b] = member[b];
        if (!member[b]) continue;
        ++tables_.count;
        tables_.only = static_cast<unsigned char>(b);
        set.add(static_cast<unsigned char>(b));
    }
    nibble_tables(set, tables_.low, tables_.high);
}

const char* ByteSetSearch::find(const char* begin, const char* end) const {
    return active_kernels().find_in_set(tables_, begin, end);
}

const char* ByteSetSearch::find_last(const char* begin, const char* end) const {
    return active_kernels().find_last_in_set(tables_, begin, end);
}
