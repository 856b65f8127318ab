// regsearch_bench.cpp: time per regsearch over one line, from easy patterns to catastrophic
// ones, and the same lines decided by the selection matcher (regselect_line: the lazy DFA
// and the prefilter, no slots), and regselect over a buffer of many lines.
//
// Each benchmark is one pattern on one deterministic line of 1,000, 10,000 and 100,000
// bytes, named regsearch/<difficulty>/<pattern>/<length> (and regselect/... for the
// selection matcher on the same line); the label says how the line looks
// and where the match lies. The lines are built so that the search cannot stop early on a
// prefilter: the catastrophic patterns get mostly `a` bytes with just enough else to pass
// the must-contain filter and still force every try to fail for a long while. A plain
// backtracker needs exponential (or at least quadratic) time on them; the matcher must stay
// about linear in the line length, so bytes per second should hold as the line grows.
// Nothing is asserted here: matcher_diff_test proves the results.
//
// Run: build/bench/regsearch_bench [--max_length=N] [--benchmark_filter=regsearch/hard]
//   --max_length=10000000 adds the 1 MB and 10 MB lines (default 100000); each benchmark
//   runs for at least 0.1 s unless --benchmark_min_time says otherwise.
// The first search of a length also grows the matcher's choice stack and failure memo;
// the figures are the steady time per search after that.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
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
    const char* line_shape;  // how the line looks, for the label
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

// time_on_line times decide (the pattern's program, the line -> 1 or 0) on one case's line
// of state.range(0) bytes and labels the result with the line's shape and describe_match.
template <typename Decide, typename Describe>
void time_on_line(benchmark::State& state, const BenchCase& bench, Decide decide, Describe describe_match) {
    RegexpPtr prog(regcompile(bench.pattern));
    if (prog == nullptr) {
        state.SkipWithError("the pattern does not compile");
        return;
    }
    const size_t length = static_cast<size_t>(state.range(0));
    const std::string line = bench.make_line(length);
    int result = 0;
    for (auto _ : state) {
        result = decide(prog.get(), line);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
    state.SetLabel(std::string(bench.line_shape) + (result == 1 ? describe_match(prog.get(), line) : "; no match"));
}

// search_line times regsearch, the backtracker, which also finds where the match lies.
void search_line(benchmark::State& state, const BenchCase& bench) {
    time_on_line(
        state, bench, [](Regexp* prog, const std::string& line) { return regsearch(prog, line.c_str()); },
        [](const Regexp* prog, const std::string& line) {
            return "; match " + std::to_string(prog->match_start[0] - line.c_str()) + "-" +
                   std::to_string(prog->match_end[0] - line.c_str());
        });
}

// select_line times regselect_line, the selection matcher, on the same line as search_line.
void select_line(benchmark::State& state, const BenchCase& bench) {
    RegMatcherPtr matcher;
    time_on_line(
        state, bench,
        [&matcher](Regexp* prog, const std::string& line) {
            if (matcher == nullptr) matcher.reset(regmatcher(prog));
            return regselect_line(matcher.get(), line.data(), line.size());
        },
        [](const Regexp*, const std::string&) { return std::string("; match"); });
}

// BUFFER_PATTERNS are searched by regselect over a buffer of many short lines of text, as
// the line loop hands it a block: with a literal every match holds, with an inner literal
// and groups, and with none worth a prefilter.
const char* const BUFFER_PATTERNS[] = {"[a-z]+_t ", "([a-z]+)=([0-9]+)", "[0-9]+\\.[0-9]+"};

// text_lines returns about size bytes of lines of words, a few of them matching the buffer
// patterns.
std::string text_lines(size_t size) {
    std::string text;
    for (size_t line = 0; text.size() < size; ++line) {
        text += words(20 + line % 50, "");
        if (line % 97 == 0) text += " size_t x";
        if (line % 89 == 0) text += " retries=3";
        if (line % 83 == 0) text += " version 1.25";
        text += '\n';
    }
    return text;
}

// select_buffer times regselect over state.range(0) bytes of lines, every line of it.
void select_buffer(benchmark::State& state, const char* pattern) {
    RegexpPtr prog(regcompile(pattern));
    RegMatcherPtr matcher(prog != nullptr ? regmatcher(prog.get()) : nullptr);
    if (matcher == nullptr) {
        state.SkipWithError("the pattern does not compile");
        return;
    }
    const std::string text = text_lines(static_cast<size_t>(state.range(0)));
    const char* end = text.data() + text.size();
    size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const char* from = text.data(); from < end;) {
            const char* line = regselect(matcher.get(), from, end);
            if (line == nullptr) break;
            ++matched;
            from = static_cast<const char*>(std::memchr(line, '\n', size_t(end - line))) + 1;
        }
        benchmark::DoNotOptimize(matched);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.SetLabel(std::to_string(matched) + " lines selected");
}

// pattern_count tells how many cases search for pattern; such cases are told apart by their line.
int pattern_count(std::string_view pattern) {
    int count = 0;
    for (const BenchCase& bench : CASES) count += pattern == bench.pattern;
    return count;
}

// name_word turns a line shape into one word for a benchmark name: "a*, c at end" -> "a*_c_at_end".
std::string name_word(std::string_view shape) {
    std::string word;
    for (char c : shape) {
        if (c == ',') continue;
        word += c == ' ' ? '_' : c;
    }
    return word;
}

// take_max_length removes --max_length=N from the arguments and returns N (default 100000).
int64_t take_max_length(int& argc, char** argv) {
    static const char OPTION[] = "--max_length=";
    int64_t max_length = 100000;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], OPTION, sizeof OPTION - 1) == 0) {
            max_length = std::strtoll(argv[i] + sizeof OPTION - 1, nullptr, 10);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return max_length;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t max_length = take_max_length(argc, argv);
    if (max_length < 1000) {
        std::fprintf(stderr, "regsearch_bench: --max_length must be at least 1000\n");
        return 2;
    }
    std::vector<char*> arguments = with_default_min_time(argc, argv);
    benchmark::Initialize(&argc, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(argc, arguments.data())) return 2;
    regsethook(print_message);

    for (const BenchCase& bench : CASES) {
        std::string name = std::string("regsearch/") + bench.difficulty + "/" + bench.pattern;
        if (pattern_count(bench.pattern) > 1) name += "/" + name_word(bench.line_shape);
        benchmark::RegisterBenchmark(name.c_str(), search_line, bench)
            ->RangeMultiplier(10)
            ->Range(1000, max_length)
            ->Unit(benchmark::kMicrosecond);
        std::string select_name = "regselect" + name.substr(std::strlen("regsearch"));
        benchmark::RegisterBenchmark(select_name.c_str(), select_line, bench)
            ->RangeMultiplier(10)
            ->Range(1000, max_length)
            ->Unit(benchmark::kMicrosecond);
    }
    for (const char* pattern : BUFFER_PATTERNS) {
        benchmark::RegisterBenchmark((std::string("regselect_buffer/") + pattern).c_str(), select_buffer, pattern)
            ->Arg(1 << 20)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
