// backtracker.h: the backtracker's internal entries (internal): the memory budget of its
// failure memo, and a search that starts where the leftmost match is known to begin.
//
// regsearch (regexp.h) tries every position of a line from the left. When a faster matcher
// has already found where the leftmost match begins (LazyDfa::scan_reverse, dfa.h), the
// tries before it would all fail; regsearch_from makes only the one that succeeds.
// tests/matcher_diff_test.cpp compares its slots with regsearch's.
//
// A search may use DEFAULT_MEMO_BUDGET_BYTES plus DEFAULT_MEMO_BUDGET_PER_POSITION bytes per
// position of the line for exact failure records: 32 MiB, or 8 bytes per byte of a long
// line, enough for 64 choice points failing everywhere on it. Searches give the same
// results with any budget; a smaller one only moves failures to the lossy table sooner,
// which can cost time. Tests shrink it to drive every line through that path.
#pragma once

#include <cstddef>

#include "regexp/regexp.h"

constexpr size_t DEFAULT_MEMO_BUDGET_BYTES = size_t(32) << 20;
constexpr size_t DEFAULT_MEMO_BUDGET_PER_POSITION = 8;

struct MemoBudget {
    size_t bytes;         // fixed part
    size_t per_position;  // added for every position of the line (line length + 1)
};

// regsearch_set_memo_budget sets the budget for later searches and returns the old one.
MemoBudget regsearch_set_memo_budget(MemoBudget budget);

// regsearch_from makes one try of prog at start, a position of the NUL-terminated line (its
// NUL included), with `^` holding only at line. It returns 1 and leaves the slots set when a
// match begins at start, 0 (all slots none) when none does. When start is the leftmost
// position of the line where a match begins, result and slots are exactly regsearch's: the
// leftmost-first match from there is the one regsearch finds. Failures as for regsearch:
// "NULL parameter" (prog, line or start is null) and "corrupted program", with result 0 and
// the slots untouched; the node-walk messages of a damaged program.
int regsearch_from(Regexp* prog, const char* line, const char* start);
