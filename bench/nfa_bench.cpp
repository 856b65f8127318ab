// nfa_bench.cpp: the bit-parallel NFA over a buffer of lines by number of positions, and the
// leftmost start of a match (reverse DFA, then one try of the backtracker) on long lines.
//
// nfa/<family>/<positions>: BitNfa::scan in BUFFER mode over 1 MiB of 80-byte lines of random
// `a`/`b` (deterministic), every line of it, as the selection matcher would call it. Two
// families of programs:
//   shift  a[ab]...[ab]b$ written out: every position leads to the next alone, so the state
//          moves by a shift (no table); the lazy DFA thrashes on it (2^k state sets);
//   table  [ab]?...[ab]?c: every position leads to all the later ones, so each 8-bit chunk of
//          the state needs a table lookup a byte: the NFA's worst case for its width.
// The label gives the positions, state words and table chunks, and the lines selected.
// dfa/<family>/<positions> runs regselect (lazy DFA, backtracker for the lines it gives up)
// on the same buffer, for comparison.
//
// start/<pattern>/<length>: one line of `a` bytes then "cb" (the match at its end); reverse
// is LazyDfa::scan_reverse alone, reverse+from adds regsearch_from at the start found, and
// regsearch is today's every-position search, for comparison.
//
// Run: build/bench/nfa_bench [--benchmark_filter=nfa/]; each benchmark runs for at least
// 0.1 s unless --benchmark_min_time says otherwise. Nothing is asserted here:
// tests/matcher_diff_test.cpp proves the results.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "regexp/analysis.h"
#include "regexp/bitnfa.h"
#include "regexp/dfa.h"
#include "regexp/regexp.h"
#include "regexp/backtracker.h"

namespace {

// random_ab_lines returns size bytes of 80-byte lines of `a` and `b` (each ended by '\n').
std::string random_ab_lines(size_t size) {
    std::string text;
    uint64_t state = 15;
    while (text.size() + 81 <= size) {
        for (int i = 0; i < 80; ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            text += (state >> 63) ? 'a' : 'b';
        }
        text += '\n';
    }
    return text;
}

// shift_pattern and table_pattern have the given number of positions (the `$` counted).
std::string shift_pattern(int positions) {
    std::string pattern = "a";
    for (int i = 0; i < positions - 3; ++i) pattern += "[ab]";
    return pattern + "b$";
}

std::string table_pattern(int positions) {
    std::string pattern;
    for (int i = 0; i < positions - 1; ++i) pattern += "[ab]?";
    return pattern + "c";
}

// over_lines calls select(from, end) -> the start of the next line to search, or null, over
// every line of text, and returns the lines selected.
template <typename Select>
size_t over_lines(const std::string& text, Select select) {
    size_t selected = 0;
    const char* end = text.data() + text.size();
    for (const char* from = text.data(); from < end;) {
        const char* next = select(from, end);
        if (next == nullptr) break;
        ++selected;
        from = next;
    }
    return selected;
}

const char* after_line_feed(const char* at, const char* end) {
    const char* line_feed = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)));
    return line_feed != nullptr ? line_feed + 1 : end;
}

void nfa_buffer(benchmark::State& state, std::string pattern) {
    RegexpPtr prog(regcompile(pattern.c_str()));
    BitNfa nfa;
    if (prog == nullptr || !nfa.build(prog->program, inspect_program(prog->program).size)) {
        state.SkipWithError("the pattern does not compile, or has too many positions");
        return;
    }
    const std::string text = random_ab_lines(size_t(1) << 20);
    size_t selected = 0;
    for (auto _ : state) {
        selected = over_lines(text, [&](const char* from, const char* end) -> const char* {
            const LazyDfa::Outcome outcome = nfa.scan(from, end, LazyDfa::Mode::BUFFER);
            return outcome.result == LazyDfa::Result::MATCH ? after_line_feed(outcome.at, end) : nullptr;
        });
        benchmark::DoNotOptimize(selected);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.SetLabel(std::to_string(nfa.positions()) + " positions, " + std::to_string(nfa.state_words()) + " words, " +
                   std::to_string(nfa.table_chunks()) + " table chunks; " + std::to_string(selected) +
                   " lines selected");
}

void dfa_buffer(benchmark::State& state, std::string pattern) {
    RegexpPtr prog(regcompile(pattern.c_str()));
    RegMatcherPtr matcher(prog != nullptr ? regmatcher(prog.get()) : nullptr);
    if (matcher == nullptr) {
        state.SkipWithError("the pattern does not compile");
        return;
    }
    const std::string text = random_ab_lines(size_t(1) << 20);
    size_t selected = 0;
    for (auto _ : state) {
        selected = over_lines(text, [&](const char* from, const char* end) -> const char* {
            const char* line = regselect(matcher.get(), from, end);
            return line != nullptr ? after_line_feed(line, end) : nullptr;
        });
        benchmark::DoNotOptimize(selected);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.SetLabel(std::to_string(selected) + " lines selected");
}

enum class StartWay { REVERSE, REVERSE_AND_FROM, REGSEARCH };

void leftmost_start(benchmark::State& state, const char* pattern, StartWay way) {
    RegexpPtr prog(regcompile(pattern));
    if (prog == nullptr) {
        state.SkipWithError("the pattern does not compile");
        return;
    }
    LazyDfa reverse;
    reverse.build_reverse(prog->program, inspect_program(prog->program).size, size_t(2) << 20);
    const std::string line = std::string(size_t(state.range(0)) - 2, 'a') + "cb";
    long start = -1;
    for (auto _ : state) {
        if (way == StartWay::REGSEARCH) {
            start = regsearch(prog.get(), line.c_str()) == 1 ? long(prog->match_start[0] - line.c_str()) : -1;
        } else {
            const LazyDfa::Outcome outcome = reverse.scan_reverse(line.data(), line.data() + line.size());
            start = outcome.result == LazyDfa::Result::MATCH ? long(outcome.at - line.data()) : -1;
            if (way == StartWay::REVERSE_AND_FROM && start >= 0)
                benchmark::DoNotOptimize(regsearch_from(prog.get(), line.c_str(), outcome.at));
        }
        benchmark::DoNotOptimize(start);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size()));
    state.SetLabel("match starts at " + std::to_string(start) + "; reverse DFA " +
                   std::to_string(reverse.stats().states_built) + " states");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments = with_default_min_time(argc, argv);
    benchmark::Initialize(&argc, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(argc, arguments.data())) return 2;

    for (int positions : {8, 16, 32, 64, 128, 256}) {
        const std::string count = std::to_string(positions);
        benchmark::RegisterBenchmark(("nfa/shift/" + count).c_str(), nfa_buffer, shift_pattern(positions))
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("nfa/table/" + count).c_str(), nfa_buffer, table_pattern(positions))
            ->Unit(benchmark::kMicrosecond);
    }
    for (int positions : {8, 16, 22, 32}) {
        const std::string count = std::to_string(positions);
        benchmark::RegisterBenchmark(("dfa/shift/" + count).c_str(), dfa_buffer, shift_pattern(positions))
            ->Unit(benchmark::kMicrosecond);
    }
    for (auto [name, way] : {std::pair{"reverse", StartWay::REVERSE}, std::pair{"reverse+from", StartWay::REVERSE_AND_FROM},
                             std::pair{"regsearch", StartWay::REGSEARCH}}) {
        benchmark::RegisterBenchmark((std::string("start/(a|a)*b/") + name).c_str(), leftmost_start, "(a|a)*b", way)
            ->Arg(5002)
            ->Arg(100002)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
