// redos_bench.cpp: time per search of the ReDoS family (patterns that make a plain
// backtracker explode) on lines of 1,000, 10,000 and 100,000 bytes.
//
// Each row is one (pattern, line) pair; the line is the family's hard case, usually one
// that makes every start position fail. A fixed-pattern search should cost about the
// same per byte at every length: a time per search that grows 10x per row is linear, one
// that grows 100x is quadratic. tests/redos_test.cpp checks the results; this only times.
//
// Run: build/bench/redos_bench (add a minimum time per row in ms as the first argument).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

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

using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    double min_ms = argc > 1 ? std::atof(argv[1]) : 20.0;
    regsethook(report_error);

    std::printf("%-22s %-12s %8s %6s %8s %14s %10s\n", "pattern", "line", "bytes", "match", "searches", "us/search",
                "MB/s");
    for (const BenchRow& row : ROWS) {
        Regexp* prog = regcompile(row.pattern);
        if (prog == nullptr) return 1;
        for (size_t length : {size_t{1000}, size_t{10000}, size_t{100000}}) {
            const std::string line = row.line(length);
            int result = regsearch(prog, line.c_str());  // also warms up the memo's memory
            long searches = 0;
            Clock::time_point start = Clock::now();
            double elapsed_ms = 0;
            do {
                regsearch(prog, line.c_str());
                ++searches;
                elapsed_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            } while (elapsed_ms < min_ms || searches < 3);
            double us_per_search = elapsed_ms * 1000.0 / static_cast<double>(searches);
            double mb_per_s = static_cast<double>(line.size()) / us_per_search;  // bytes per us = MB/s
            std::printf("%-22s %-12s %8zu %6s %8ld %14.2f %10.1f\n", row.pattern, row.line_name, line.size(),
                        result == 1 ? "yes" : "no", searches, us_per_search, mb_per_s);
        }
        std::free(prog);
    }
    return 0;
}
