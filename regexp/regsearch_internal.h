// regsearch_internal.h: the backtracker's entries for the engine's own callers (internal).
//
// regsearch (regexp.h) tries every position of a line from the left. When a faster matcher
// has already found where the leftmost match begins (LazyDfa::scan_reverse, dfa.h), the
// tries before it would all fail; regsearch_from makes only the one that succeeds.
// tests/matcher_diff_test.cpp compares its slots with regsearch's.
#pragma once

#include "regexp/regexp.h"

// regsearch_from makes one try of prog at start, a position of the NUL-terminated line (its
// NUL included), with `^` holding only at line. It returns 1 and leaves the slots set when a
// match begins at start, 0 (all slots none) when none does. When start is the leftmost
// position of the line where a match begins, result and slots are exactly regsearch's: the
// leftmost-first match from there is the one regsearch finds. Failures as for regsearch:
// "NULL parameter" (prog, line or start is null) and "corrupted program", with result 0 and
// the slots untouched; the node-walk messages of a damaged program.
int regsearch_from(Regexp* prog, const char* line, const char* start);
