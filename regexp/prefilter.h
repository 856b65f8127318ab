// prefilter.h: the literals that every match must contain (internal).
//
// required_literals reads a sound program (see dfa.h: inspect_program) and returns a few
// literals such that every match of the pattern contains at least one of them: `_t ` for
// `[a-z]+_t `, `=` for `([a-z]+)=([0-9]+)`, one literal per alternative for `foo|bar`.
// regselect searches a buffer for them first and runs the DFA only on the lines where one
// occurs. An empty result means that no set is worth searching for. Covered by the
// prefilter cases of tests/matcher_diff_test.cpp, which also prove that no line a
// prefilter skips could have matched.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> required_literals(const unsigned char* program);

// estimated_byte_share is a rough share of ordinary text that byte takes, from its rank in
// the byte-rarity table: the blank about 15 %, falling off with the rank.
double estimated_byte_share(unsigned char byte);

// estimated_hit_rate is the share of text positions at which a search for literals is
// expected to stop, from the byte-rarity table; required_literals keeps a set only when
// this is below MAX_PREFILTER_HIT_RATE.
double estimated_hit_rate(const std::vector<std::string>& literals);
constexpr double MAX_PREFILTER_HIT_RATE = 0.01;
