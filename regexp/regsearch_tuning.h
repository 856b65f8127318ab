// regsearch_tuning.h: the matcher's memory budget for its failure memo (internal).
//
// Searches stay correct with any budget; a smaller one only moves choice points to the
// lossy table sooner. Tests shrink it to drive every line through that path.
#pragma once

#include <cstddef>

// DEFAULT_MEMO_BUDGET_BYTES is the memory one search may use for exact failure rows.
constexpr size_t DEFAULT_MEMO_BUDGET_BYTES = size_t(32) << 20;

// regsearch_set_memo_budget sets the budget for later searches and returns the old one.
size_t regsearch_set_memo_budget(size_t bytes);
