// line_loop_bench.cpp: filter_lines in-process, by setting, over text of growing sizes.
//
// Each benchmark runs the whole line loop (reading, splitting, selecting, converting,
// numbering, writing into the output buffer) over a deterministic text of 64 KiB, 1 MiB and
// 16 MiB, named filter_lines/<setting>/<bytes>. The input comes from memory in reads of up to
// what the loop asks for, as from a file, and the sink drops what it is given, so the figures
// are the loop's own cost without system calls; bench/peer_bench.sh measures the tool as a
// whole. The label tells how many lines the setting selected, so that a faster loop can be
// seen to do the same work. Nothing is asserted: tests/line_loop_test.cpp proves the output.
//
// Run: build/bench/line_loop_bench [--benchmark_filter=filter_lines/find_one]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter_lines.h"
#include "filter/output_buffer.h"
#include "filter/regex_options.h"
#include "filter/settings.h"
#include "filter/stream.h"

namespace {

// TextInput hands out a text in reads as large as asked for, and can start over.
class TextInput : public InputSource {
public:
    explicit TextInput(std::string_view text) : text_(text) {}

    long read(char* buffer, size_t size) override {
        size_t n = text_.size() - position_;
        if (n > size) n = size;
        std::memcpy(buffer, text_.data() + position_, n);
        position_ += n;
        return static_cast<long>(n);
    }

    void rewind() { position_ = 0; }

private:
    std::string_view text_;
    size_t position_ = 0;
};

// DiscardOutput takes every write and keeps only the count of bytes.
class DiscardOutput : public OutputSink {
public:
    bool write_all(const char* data, size_t size) override {
        benchmark::DoNotOptimize(data);
        bytes += size;
        return true;
    }

    uint64_t bytes = 0;
};

// next_random is a fixed 64-bit generator (xorshift*), so the text is the same everywhere.
uint64_t next_random(uint64_t& state) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

// make_text builds size bytes of lines that look like headers and documentation: words of a
// vocabulary that contains none of the find strings, with "function" in about 1 % of the
// lines, "memory" and "buffer" in about 0.5 % each, "error" in some letter case in about
// 1 %, and about a tenth of the lines empty. The last line may be cut short.
std::string make_text(size_t size) {
    static const char* const WORDS[] = {
        "the",    "of",      "to",      "and",    "a",       "in",     "is",      "int",    "return",
        "struct", "const",   "char",    "void",   "static",  "if",     "for",     "while",  "#define",
        "size_t", "uint8_t", "value",   "pointer", "list",   "table",  "name",    "type",   "file",
        "line",   "data",    "string",  "number", "option",  "this",   "that",    "with",   "from",
        "see",    "also",    "example", "manual", "page",    "=",      "0",       "1",      "16",
        "0x7f",   "{",       "}",       "(",      ")",       "*/",     "/*",      ";",      "2.0",
        "width=80", "len=4", "copy",   "read",   "write",   "open",   "close",   "set",    "get",
    };
    constexpr size_t WORD_COUNT = sizeof WORDS / sizeof WORDS[0];
    static const char* const ERRORS[] = {"error", "Error", "ERROR", "errno_error"};

    std::string text;
    text.reserve(size + 256);
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    while (text.size() < size) {
        uint64_t roll = next_random(state) % 1000;
        if (roll < 100) {  // an empty line
            text += '\n';
            continue;
        }
        size_t words = 1 + next_random(state) % 12;
        size_t special_at = next_random(state) % words;
        for (size_t w = 0; w < words; ++w) {
            if (w > 0) text += ' ';
            if (w == special_at && roll < 130) {
                if (roll < 110) text += "function";
                else if (roll < 115) text += "memory";
                else if (roll < 120) text += "buffer";
                else text += ERRORS[next_random(state) % 4];
            } else {
                text += WORDS[next_random(state) % WORD_COUNT];
            }
        }
        text += '\n';
    }
    text.resize(size);
    return text;
}

// settings_from builds run settings from command-line words as the tool does.
FilterSettings settings_from(std::vector<std::string> words) {
    words.insert(words.begin(), "quarnel");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    FilterSettings settings;
    parse_arguments(static_cast<int>(words.size()), argv.data(), settings, compile_pattern);
    finish_settings(settings);
    return settings;
}

struct LoopCase {
    const char* name;
    std::vector<std::string> arguments;
};

const LoopCase CASES[] = {
    {"copy", {"-iv"}},
    {"find_one", {"-ffunction"}},
    {"find_three", {"-ffunction", "-fmemory", "-fbuffer"}},
    {"ignore_case", {"-ic", "-ferror"}},
    {"invert", {"-iv", "-fa"}},
    {"line_numbers", {"-ln"}},
    {"upper_case", {"-uc"}},
};

constexpr int64_t SMALLEST_TEXT = int64_t{1} << 16;
constexpr int64_t LARGEST_TEXT = int64_t{1} << 24;

// run_loop times filter_lines with one case's settings over the first state.range(0) bytes
// of the text.
void run_loop(benchmark::State& state, const LoopCase& loop_case) {
    static const std::string TEXT = make_text(static_cast<size_t>(LARGEST_TEXT));
    const FilterSettings settings = settings_from(loop_case.arguments);
    TextInput in(std::string_view(TEXT).substr(0, static_cast<size_t>(state.range(0))));
    DiscardOutput sink;
    LoopResult result;
    for (auto _ : state) {
        in.rewind();
        OutputBuffer out(sink);
        result = filter_lines(settings, in, out);
        out.flush();
    }
    if (result.end != LoopEnd::END_OF_INPUT) state.SkipWithError("the loop did not reach the end of the input");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    char label[96];
    std::snprintf(label, sizeof label, "%llu of %llu lines selected", static_cast<unsigned long long>(result.lines_written),
                  static_cast<unsigned long long>(result.lines_read));
    state.SetLabel(label);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    for (const LoopCase& loop_case : CASES) {
        benchmark::RegisterBenchmark((std::string("filter_lines/") + loop_case.name).c_str(), run_loop, loop_case)
            ->RangeMultiplier(16)
            ->Range(SMALLEST_TEXT, LARGEST_TEXT)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
