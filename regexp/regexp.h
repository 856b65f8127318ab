// regexp.h: the public face of Quarnel's regular-expression engine.
//
// A pattern is compiled once by regcompile into a Regexp: one malloc'd block holding the
// record and its byte-coded program, released by the caller with free() (or held in a
// RegexpPtr, which does that; RegMatcherPtr likewise owns a RegMatcher). regsearch runs
// the program over one NUL-terminated line and leaves the whole match and up to nine
// groups in the record's slots; regsub / regsub_bounded expand a template from them.
// For selection alone, regmatcher prepares a compiled pattern once (a lazy DFA and a
// literal prefilter, see docs/regexp.md) and regselect / regselect_line then answer
// "which line matches" without slots, far faster, with the backtracker's answers.
// Every failure is reported once through the hook installed with regsethook.
//
// The engine keeps the operation in progress in module-level state: one operation at a
// time in the whole process, and a hook must not start another engine operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Slot 0 is the whole match, slots 1 to 9 the groups.
constexpr int REGEXP_GROUPS = 10;

struct Regexp {
    const char* match_start[REGEXP_GROUPS];  // where slot n begins in the last searched text; null: not set
    const char* match_end[REGEXP_GROUPS];    // just after slot n's text; null: not set
    char first_char;                         // every match begins with this byte; NUL: no hint
    char anchored;                           // nonzero: a match can only begin at the start of the text
    const char* must_text;                   // a literal inside program that every match contains, or null
    int32_t must_length;                     // strlen(must_text), 0 when must_text is null
    unsigned char* program;                  // the program bytes, in the same block right after the record
};

// RegErrorHook receives every engine failure as a fixed message without a line end.
using RegErrorHook = void (*)(const char* message);

// regcompile compiles pattern into a new Regexp, or reports one message and returns null.
Regexp* regcompile(const char* pattern);

// RegexpFree releases a compiled pattern, one malloc'd block; RegexpPtr owns one.
struct RegexpFree {
    void operator()(Regexp* prog) const { std::free(prog); }
};
using RegexpPtr = std::unique_ptr<Regexp, RegexpFree>;

// regsearch returns 1 when prog matches somewhere in line, leaving the slots set; 0 otherwise.
int regsearch(Regexp* prog, const char* line);

// regsub expands tmpl from the slots of the last successful search into dest, which the
// caller must make large enough (see regsub_bounded for a form that checks).
void regsub(const Regexp* prog, const char* tmpl, char* dest);

// regsub_bounded returns the bytes the whole expansion needs, terminating NUL included.
// When that is at most dest_size the expansion is written to dest exactly as regsub
// writes it; otherwise nothing is written. 0 means an error was reported (dest then
// holds no valid text).
size_t regsub_bounded(const Regexp* prog, const char* tmpl, char* dest, size_t dest_size);

// RegMatcher is a compiled pattern prepared for selection: the lazy DFA with its state
// cache, the literal prefilter, and a private copy of the Regexp for the rare line that the
// DFA hands to the backtracker. It is allocated apart from the Regexp, whose block it never
// touches.
struct RegMatcher;

// regmatcher builds the selection matcher of prog. It copies what it needs: prog may be
// changed, searched or freed afterwards without affecting it. It returns null after
// reporting "NULL parameter" (prog is null), "corrupted program" (no magic byte) or "out of
// space". A program damaged in any way the backtracker would report is still accepted: its
// lines then all go to the backtracker, which reports what it meets.
RegMatcher* regmatcher(const Regexp* prog);

// regsearch_with is regsearch(prog, line) for prog, the record matcher was built from: the
// same result and the same slots. The leftmost start of a match is found by a DFA reading
// the line backward from its end, and the backtracker makes its one try there, instead of a
// try at every position before it (docs/regexp.md). prog must hold the program the matcher
// was built from. Failures: "NULL parameter" (matcher, prog or line is null), with result 0;
// those of regsearch.
int regsearch_with(RegMatcher* matcher, Regexp* prog, const char* line);

// regmatcher_free releases matcher; null is allowed.
void regmatcher_free(RegMatcher* matcher);

// RegMatcherFree releases a selection matcher; RegMatcherPtr owns one.
struct RegMatcherFree {
    void operator()(RegMatcher* matcher) const { regmatcher_free(matcher); }
};
using RegMatcherPtr = std::unique_ptr<RegMatcher, RegMatcherFree>;

// regselect returns the start of the first line in [begin, end) that contains a match, or
// null when no line does. The region holds whole lines, each ended by '\n' (a last line
// without one is still taken as a line). A line's text ends at its '\n' or at its first
// NUL; the bytes after a NUL belong to no match. A line matches exactly when regsearch
// returns 1 for its text. The region is only read, never written, and nothing outside it
// is read; no slots are computed. Lines the DFA cannot finish within its cache are copied,
// one at a time, to be searched by the backtracker. Failures: "NULL parameter" (matcher,
// begin or end is null) and "out of space" (no memory for such a copy) are reported and
// the result is null; the backtracker may report its own messages for a damaged program.
const char* regselect(RegMatcher* matcher, const char* begin, const char* end);

// regselect_line returns 1 when the line of length bytes at line contains a match and 0
// otherwise: exactly what regsearch returns for that text cut at its first NUL ('\n' is an
// ordinary byte here, as it is to regsearch). Failures as for regselect, with result 0.
int regselect_line(RegMatcher* matcher, const char* line, size_t length);

// regsethook installs hook for every later engine operation; null makes failures silent.
void regsethook(RegErrorHook hook);
