// literals.h: the literals that every match must contain, read off the program (internal).
//
// A class literal is a short string whose every position is a small set of bytes: `_t ` for
// `[a-z]+_t `, `[Ee][Rr][Rr][Oo][Rr]` as it is written, `TATA[AT]A[AT]`; a plain literal is a
// class literal of single bytes. A literal set is a few of them such that every match of the
// pattern contains at least one: `=` for `([a-z]+)=([0-9]+)`, the twenty words of a
// twenty-word alternation, {TATA} or {GC} for `TATA.{20}GC` written out. A program usually has
// several such sets, one for each required factor; required_literal_sets returns them all
// (within limits that keep the analysis linear in the program), and the selection matcher
// picks the one that costs least on the text at hand (selection.cpp, with byte
// frequencies measured on a sample of that text). Covered by the literal cases of
// tests/analysis_test.cpp and by the soundness property of tests/matcher_diff_test.cpp: on
// every line where the backtracker finds a match, every set returned here has an occurrence.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "regexp/program.h"
#include "scan/scan.h"

// A class literal is scan's ClassLiteral: one ByteClass for each position.

// byte_class_of is the set of bytes as a class-literal position.
ByteClass byte_class_of(const ByteSet& set);

// LiteralSet is a set of class literals of which every match contains one.
struct LiteralSet {
    std::vector<ClassLiteral> literals;
};

// Limits of the analysis. A byte set larger than MAX_CLASS_BYTES is no position of a class
// literal; a fragment's exact strings are at most MAX_EXACT strings of at most MAX_LENGTH
// positions; a set searched at once holds at most MAX_SET_LITERALS literals; a fragment keeps
// at most MAX_CANDIDATES sets.
constexpr int MAX_CLASS_BYTES = 16;
constexpr size_t MAX_EXACT = 128;
constexpr size_t MAX_LENGTH = 32;
constexpr size_t MAX_SET_LITERALS = 128;
constexpr size_t MAX_CANDIDATES = 6;

// required_literal_sets reads a sound program and returns its candidate literal sets, the
// ones the background byte table rates best first. Literals never hold a line feed (no line's
// text does) and are never empty. An empty result: no set is required.
// When exact is given it receives the strings the whole program matches, when they are
// known and few, and is left empty otherwise. They are exact only for a program without
// anchors, which the walk takes as empty (the caller knows whether it has any).
std::vector<LiteralSet> required_literal_sets(const unsigned char* program,
                                              std::vector<ClassLiteral>* exact = nullptr);

// ByteShares is the share of text bytes that each byte value takes.
struct ByteShares {
    double share[256];
};

// background_shares is the share of each byte in ordinary text, from byte_rarity's table.
const ByteShares& background_shares();

// sample_shares measures the bytes of [begin, end), blended with the background so that a
// byte absent from a small sample is still rare rather than impossible.
ByteShares sample_shares(const char* begin, const char* end);

// estimated_rate is the share of text positions at which a search for the set is expected to
// stop, by the given byte shares: for each literal its rarest positions together.
double estimated_rate(const LiteralSet& set, const ByteShares& shares);

// literal_matches_at tells whether literal occurs at at, all of it before end.
bool literal_matches_at(const ClassLiteral& literal, const char* at, const char* end);

// class_literal_of returns the plain literal text as a class literal.
ClassLiteral class_literal_of(const std::string& text);

// describe_literal writes a class literal as a pattern would: plain bytes, `[..]` for a set.
std::string describe_literal(const ClassLiteral& literal);
