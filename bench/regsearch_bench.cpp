// regsearch_bench.cpp: how long regsearch takes per line, from easy patterns to catastrophic ones.
//
// Usage: regsearch_bench [max_length]   (default 100000; lines of 1,000, 10,000, ... bytes
// up to max_length are timed, so 10000000 adds the 1 MB and 10 MB rows).
//
// Each row is one pattern on one deterministic line: the time of the first search (which
// also pays for growing the matcher's choice stack and failure memo to the line's size),
// then the steady time per search and the line bytes per second. The lines are built so that the search cannot stop early on a
// prefilter: the catastrophic patterns get mostly `a` bytes with just enough else to
// pass the must-contain filter and still force every try to fail for a long while. A
// plain backtracker needs exponential (or at least quadratic) time on them; the matcher
// must stay about linear in the line length. Nothing is asserted here: the figures are
// for people; matcher_diff_test proves the results.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "regexp/regexp.h"

namespace {

// Filler text without "foo" or "ing" (but with "fo" and "in" to keep the filters busy).
std::string words(size_t length, const char* tail) {
    static const char FILLER[] =
        "alpha bravo charlie delta echo foxtrot golf hotel india kilo lima mike november "
        "oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee zulu ";
    std::string line;
    const size_t tail_length = std::strlen(tail);
    while (line.size() + tail_length < length) line += FILLER;
    line.resize(length - tail_length);
    return line + tail;
}

// repeated fills length bytes with unit over and over, then ends with tail.
std::string repeated(size_t length, const char* unit, const char* tail) {
    const size_t tail_length = std::strlen(tail);
    std::string line;
    line.reserve(length);
    while (line.size() + tail_length < length) line += unit;
    line.resize(length - tail_length);
    return line + tail;
}

struct BenchCase {
    const char* difficulty;
    const char* pattern;
    const char* line_shape;  // how the line looks, for the table
    std::string (*make_line)(size_t length);
};

const BenchCase CASES[] = {
    {"easy", "foo", "words, foo at end", [](size_t n) { return words(n, "foo"); }},
    {"easy", ".*foo", "words, foo at end", [](size_t n) { return words(n, "foo"); }},
    {"medium", "[a-z]+ing", "words, testing at end", [](size_t n) { return words(n, "testing"); }},
    {"medium", "(ab|cd)*e", "(abcd)*abc, e at end", [](size_t n) { return repeated(n, "abcd", "e"); }},
    {"hard", "(a|aa)*b", "a*, cb at end", [](size_t n) { return repeated(n, "a", "cb"); }},
    {"hard", "(a|a)*b", "a*, cb at end", [](size_t n) { return repeated(n, "a", "cb"); }},
    {"hard", "(a+)+b", "a*, cb at end", [](size_t n) { return repeated(n, "a", "cb"); }},
    {"hard", "(.+)+x", "all a", [](size_t n) { return repeated(n, "a", ""); }},
    {"hard", "((a|b)*c)*d", "a*, xd at end", [](size_t n) { return repeated(n, "a", "xd"); }},
    {"hard", "(a|b)+$", "a*, c at end", [](size_t n) { return repeated(n, "a", "c"); }},
    {"hard", "(a|b)+$", "all a", [](size_t n) { return repeated(n, "a", ""); }},
    {"hard", "(ab)*c", "(ab)*, xc at end", [](size_t n) { return repeated(n, "ab", "xc"); }},
    {"hard", ".*x", "a*, x at end", [](size_t n) { return repeated(n, "a", "x"); }},
};

void print_message(const char* message) { std::fprintf(stderr, "regsearch_bench: engine: %s\n", message); }

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Searches are repeated until this much time has passed, to steady the short ones.
constexpr double TARGET_MS_PER_ROW = 40.0;

}  // namespace

int main(int argc, char** argv) {
    size_t max_length = 100000;
    if (argc > 2 || (argc == 2 && (max_length = std::strtoul(argv[1], nullptr, 10)) < 1000)) {
        std::fprintf(stderr, "usage: regsearch_bench [max_length >= 1000]\n");
        return 2;
    }
    regsethook(print_message);

    std::printf("%-7s %-12s %-22s %10s %16s %10s %12s %10s\n", "group", "pattern", "line", "length", "match",
                "first ms", "ms/search", "MB/s");
    for (const BenchCase& bench : CASES) {
        Regexp* prog = regcompile(bench.pattern);
        if (prog == nullptr) {
            std::printf("%-7s %-12s does not compile\n", bench.difficulty, bench.pattern);
            continue;
        }
        for (size_t length = 1000; length <= max_length; length *= 10) {
            const std::string line = bench.make_line(length);
            const auto first_start = std::chrono::steady_clock::now();
            int result = regsearch(prog, line.c_str());
            const double first = milliseconds_since(first_start);
            int searches = 0;
            const auto start = std::chrono::steady_clock::now();
            double elapsed = 0;
            do {
                result = regsearch(prog, line.c_str());
                ++searches;
                elapsed = milliseconds_since(start);
            } while (elapsed < TARGET_MS_PER_ROW);
            const double per_search = elapsed / searches;
            char match[32] = "none";
            if (result == 1) {
                std::snprintf(match, sizeof match, "%ld-%ld", static_cast<long>(prog->match_start[0] - line.c_str()),
                              static_cast<long>(prog->match_end[0] - line.c_str()));
            }
            std::printf("%-7s %-12s %-22s %10zu %16s %10.3f %12.4f %10.1f\n", bench.difficulty, bench.pattern,
                        bench.line_shape, length, match, first, per_search, length / per_search / 1000.0);
            std::fflush(stdout);
        }
        std::free(prog);
    }
    return 0;
}
