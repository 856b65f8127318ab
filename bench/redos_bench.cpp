// redos_bench.cpp: time per search of the ReDoS family (patterns that make a plain
// backtracker explode) on lines of 1,000, 10,000 and 100,000 bytes.
//
// Each benchmark is one (pattern, line) pair, named redos/<pattern>/<line>/<length>; the
// line is the family's hard case, usually one that makes every start position fail. A
// fixed-pattern search should cost about the same per byte at every length: a time per
// search that grows 10x per row is linear, one that grows 100x is quadratic, and bytes per
// second show it at a glance. tests/redos_test.cpp checks the results; this only times.
//
// Run: build/bench/redos_bench [--benchmark_filter='redos/\(a\+\)'] [--benchmark_min_time=1]
//   (each benchmark runs for at least 0.1 s unless --benchmark_min_time says otherwise).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "regexp/regexp.h"

namespace {

// fill repeats unit up to exactly length bytes and appends tail (tail counts in length).
std::string fill(const std::string& unit, size_t length, const std::string& tail = "") {
    std::string text;
    size_t body = length > tail.size() ? length - tail.size() : 0;
    text.reserve(length);
    while (text.size() < body) text += unit;
    text.resize(body);
    return text + tail;
}

struct BenchRow {
    const char* pattern;
    const char* line_name;
    std::function<std::string(size_t length)> line;
};

const std::vector<BenchRow> ROWS = {
    {"(a|aa)*b", "a..acb", [](size_t n) { return fill("a", n, "cb"); }},
    {"(a|a)*b", "a..acb", [](size_t n) { return fill("a", n, "cb"); }},
    {"(aa|a)*b", "a..acb", [](size_t n) { return fill("a", n, "cb"); }},
    {"(a+)+b", "a..acb", [](size_t n) { return fill("a", n, "cb"); }},
    {"(a*a)*b", "a..acb", [](size_t n) { return fill("a", n, "cb"); }},
    {"(a?a)+b", "a..acb", [](size_t n) { return fill("a", n, "cb"); }},
    {"(((a|aa)+)+)+b", "a..acb", [](size_t n) { return fill("a", n, "cb"); }},
    {"(.+)+x", "a..a", [](size_t n) { return fill("a", n); }},
    {"(x+x+)+y", "x..x", [](size_t n) { return fill("x", n); }},
    {"((a|b)*c)*d", "abab..d", [](size_t n) { return fill("ab", n, "d"); }},
    {"(a|b|ab)*c", "abab..xc", [](size_t n) { return fill("ab", n, "xc"); }},
    {"(abc|ab|a)*d", "abab..xd", [](size_t n) { return fill("ab", n, "xd"); }},
    {"(foo|foobar|foob)*x", "foobar..yx", [](size_t n) { return fill("foobar", n, "yx"); }},
    {"(a|b)+$", "abab..c", [](size_t n) { return fill("ab", n, "c"); }},
    {"(ab)*c", "abab..dc", [](size_t n) { return fill("ab", n, "dc"); }},
    {".*.*.*x", "xa..a", [](size_t n) { return "x" + fill("a", n - 1); }},
};

void report_error(const char* message) { std::fprintf(stderr, "engine error: %s\n", message); }

// search_row times regsearch of one row's pattern over its line of state.range(0) bytes.
void search_row(benchmark::State& state, const BenchRow& row) {
    RegexpPtr prog(regcompile(row.pattern));
    if (prog == nullptr) {
        state.SkipWithError("the pattern does not compile");
        return;
    }
    const std::string line = row.line(static_cast<size_t>(state.range(0)));
    int result = 0;
    for (auto _ : state) {
        result = regsearch(prog.get(), line.c_str());
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(line.size()));
    state.SetLabel(result == 1 ? "match" : "no match");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments = with_default_min_time(argc, argv);
    benchmark::Initialize(&argc, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(argc, arguments.data())) return 2;
    regsethook(report_error);
    for (const BenchRow& row : ROWS) {
        const std::string name = std::string("redos/") + row.pattern + "/" + row.line_name;
        benchmark::RegisterBenchmark(name.c_str(), search_row, row)
            ->RangeMultiplier(10)
            ->Range(1000, 100000)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
