// literal_search.cpp: LiteralSearch, any of a set of literals found in one pass over a
// buffer.
//
// A kernel hands back candidate positions (literal_plan.cpp chooses which kernel and how it
// is set up) and every candidate is compared with the literals that can begin there. With
// probes a candidate is where a literal may begin; with buckets it is where a literal's
// window may lie, which is that literal's offset after its start: a literal found there
// may be overtaken by one that begins earlier with its window further in, so the search
// goes on for the largest offset past the first literal found.
#include <bit>

#include "scan/literal_plan.h"

namespace {

const char* find_by_probes(const LiteralPlan& plan, const char* begin, const char* end, size_t* which) {
    const ScanKernels& kernels = active_kernels();
    for (const char* from = begin; from < end;) {
        const Candidates found = kernels.find_probe_candidates(plan.probes, from, end);
        if (found.mask == 0) return nullptr;
        for (uint32_t mask = found.mask; mask != 0; mask &= mask - 1) {
            const char* candidate = found.base + std::countr_zero(mask);
            for (const SearchedLiteral& literal : plan.searched) {
                if (size_t(end - candidate) >= literal.length && occurs(plan, literal, candidate)) {
                    if (which != nullptr) *which = literal.index;
                    return candidate;
                }
            }
        }
        from = found.base + (32 - std::countl_zero(found.mask));  // past the last candidate
    }
    return nullptr;
}

const char* find_by_buckets(const LiteralPlan& plan, const char* begin, const char* end, size_t* which) {
    const ScanKernels& kernels = active_kernels();
    const char* best = nullptr;
    uint32_t best_index = 0;
    const char* limit = end;  // windows from here on belong to literals that begin after best
    for (const char* from = begin; from < limit;) {
        const Candidates found = kernels.find_bucket_candidates(plan.buckets, from, end);
        if (found.mask == 0) break;
        for (uint32_t mask = found.mask; mask != 0; mask &= mask - 1) {
            const char* window = found.base + std::countr_zero(mask);
            if (window >= limit) break;
            for (uint64_t groups = group_bits(plan.buckets, window, end); groups != 0; groups &= groups - 1) {
                const int group = std::countr_zero(groups);
                for (uint32_t m = plan.group_start[group]; m < plan.group_start[group + 1]; ++m) {
                    const SearchedLiteral& literal = plan.searched[plan.members[m]];
                    if (size_t(window - begin) < literal.offset) continue;
                    const char* start = window - literal.offset;
                    if (size_t(end - start) < literal.length) continue;
                    if (best != nullptr && (start > best || (start == best && literal.index >= best_index))) continue;
                    if (!occurs(plan, literal, start)) continue;
                    best = start;
                    best_index = literal.index;
                    limit = size_t(end - best) > plan.max_offset ? best + plan.max_offset + 1 : end;
                }
            }
        }
        from = found.base + (32 - std::countl_zero(found.mask));
    }
    if (best != nullptr && which != nullptr) *which = best_index;
    return best;
}

}  // namespace

LiteralSearch::LiteralSearch(const std::vector<std::string_view>& literals, bool fold_case) {
    std::vector<ClassLiteral> classes;
    for (std::string_view literal : literals) classes.push_back(class_literal(literal, fold_case));
    plan_ = std::make_unique<LiteralPlan>();
    plan_literals(*plan_, classes);
}

LiteralSearch::LiteralSearch(const std::vector<ClassLiteral>& literals) : plan_(std::make_unique<LiteralPlan>()) {
    plan_literals(*plan_, literals);
}

LiteralSearch::LiteralSearch(LiteralSearch&&) noexcept = default;
LiteralSearch& LiteralSearch::operator=(LiteralSearch&&) noexcept = default;
LiteralSearch::~LiteralSearch() = default;

void LiteralSearch::adapt_to(const char* begin, const char* end) { adapt_plan(*plan_, begin, end); }

LiteralKernel LiteralSearch::kernel() const { return plan_->kernel; }

void LiteralSearch::use_kernel(LiteralKernel kernel, uint32_t width) { force_plan(*plan_, kernel, width); }

const char* LiteralSearch::find(const char* begin, const char* end, size_t* which) const {
    switch (plan_->kernel) {
    case LiteralKernel::NONE:
        return nullptr;
    case LiteralKernel::PROBES:
        return find_by_probes(*plan_, begin, end, which);
    case LiteralKernel::BUCKETS_8:
    case LiteralKernel::BUCKETS_16:
        return find_by_buckets(*plan_, begin, end, which);
    }
    return nullptr;
}
