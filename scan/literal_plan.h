// literal_plan.h: how a LiteralSearch searches (internal to scan/).
//
// A LiteralPlan holds the searched literals as the check of a candidate compares them, and
// the plan of the kernel in use: the probes (kernels.h ProbePlan) or the buckets
// (BucketPlan). literal_plan.cpp builds and chooses them; literal_search.cpp runs them.
#pragma once

#include <cstdint>
#include <vector>

#include "scan/kernels.h"

// SearchedLiteral is a literal that can occur.
struct SearchedLiteral {
    uint32_t index;       // in the caller's list
    uint32_t length;
    uint32_t offset;      // where its bucket window begins
    uint32_t bytes;       // where its values and folds begin in LiteralPlan's arrays
    uint32_t sets_begin;  // its inexact positions: LiteralPlan::inexact[sets_begin, sets_end)
    uint32_t sets_end;
};

// InexactPosition is a position of a literal whose OR test passes bytes outside its class.
struct InexactPosition {
    uint32_t position;
    ByteClass set;
};

// MAX_GROUPS: the groups of a bucket plan, one bit each in BucketPlan::groups.
constexpr uint32_t MAX_GROUPS = 64;

struct LiteralPlan {
    std::vector<ClassLiteral> classes;  // the searched literals' classes, as searched
    std::vector<SearchedLiteral> searched;
    std::vector<uint8_t> values, folds;  // a byte b at position i passes when (b | fold) == value
    std::vector<InexactPosition> inexact;
    LiteralKernel kernel = LiteralKernel::NONE;
    bool forced = false;  // use_kernel chose kernel and width; adapt_to keeps them
    uint32_t forced_width = 0;
    ProbePlan probes;
    BucketPlan buckets;
    std::vector<uint32_t> members;              // searched literals, group by group
    uint32_t group_start[MAX_GROUPS + 1] = {};  // group g: members[group_start[g], group_start[g + 1])
    uint32_t max_offset = 0;                    // the largest window offset
};

// plan_literals builds the plan of literals, its kernel chosen by their number and shape.
void plan_literals(LiteralPlan& plan, const std::vector<ClassLiteral>& literals);

// adapt_plan chooses the kernel and its positions again, by measuring a sample.
void adapt_plan(LiteralPlan& plan, const char* begin, const char* end);

// force_plan makes the plan run kernel with width positions (0: its own choice).
void force_plan(LiteralPlan& plan, LiteralKernel kernel, uint32_t width);

// occurs tells whether literal occurs at s; s + literal.length lies inside the buffer.
inline bool occurs(const LiteralPlan& plan, const SearchedLiteral& literal, const char* s) {
    const uint8_t* values = plan.values.data() + literal.bytes;
    const uint8_t* folds = plan.folds.data() + literal.bytes;
    const unsigned char* text = reinterpret_cast<const unsigned char*>(s);
    for (uint32_t i = 0; i < literal.length; ++i)
        if ((text[i] | folds[i]) != values[i]) return false;
    for (uint32_t k = literal.sets_begin; k < literal.sets_end; ++k)
        if (!plan.inexact[k].set.contains(text[plan.inexact[k].position])) return false;
    return true;
}
