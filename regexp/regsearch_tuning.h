// regsearch_tuning.h: the matcher's memory budget for its failure memo (internal).
//
// A search may use DEFAULT_MEMO_BUDGET_BYTES plus DEFAULT_MEMO_BUDGET_PER_POSITION bytes per
// position of the line for exact failure records: 32 MiB, or 8 bytes per byte of a long
// line, enough for 64 choice points failing everywhere on it. Searches give the same
// results with any budget; a smaller one only moves failures to the lossy table sooner,
// which can cost time. Tests shrink it to drive every line through that path.
#pragma once

#include <cstddef>

constexpr size_t DEFAULT_MEMO_BUDGET_BYTES = size_t(32) << 20;
constexpr size_t DEFAULT_MEMO_BUDGET_PER_POSITION = 8;

struct MemoBudget {
    size_t bytes;         // fixed part
    size_t per_position;  // added for every position of the line (line length + 1)
};

// regsearch_set_memo_budget sets the budget for later searches and returns the old one.
MemoBudget regsearch_set_memo_budget(MemoBudget budget);
