// select_corpus_bench.cpp: the selection matcher over a file, as a block loop would run it.
//
// Usage: select_corpus_bench FILE PATTERN [BLOCK_BYTES [dfa-only|no-inner|inner-always|nfa]]
// (default block 65536; dfa-only builds the matcher without its literal prefilter, no-inner
// never decides a line around its literal, inner-always does it on every candidate line, nfa
// runs the bit-parallel NFA alone, BitNfa::scan, instead of regselect)
//
// The file is read in blocks of BLOCK_BYTES cut after their last line feed (the rest is
// carried into the next block, and a line longer than a block grows it), and regselect is
// called over each block until it finds no more lines: the engine's part of a select-only
// run, without writing. Prints the lines selected, the time of the selection alone and of
// the whole loop with reading, and the matcher's counters (prefilter literals, DFA states,
// cache clears, lines handed to the backtracker). Compare the count with
//   rg -c 'PATTERN' FILE
// Nothing is asserted; tests/matcher_diff_test.cpp proves the results.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "regexp/analysis.h"
#include "regexp/bitnfa.h"
#include "regexp/regexp.h"
#include "regexp/selection.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE PATTERN [BLOCK_BYTES [dfa-only|no-inner|inner-always|nfa]]\n", argv[0]);
        return 2;
    }
    const size_t block_bytes = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 65536;
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    RegMatcherConfig config;
    if (argc > 4 && std::strcmp(argv[4], "dfa-only") == 0) config.prefilter = false;
    if (argc > 4 && std::strcmp(argv[4], "no-inner") == 0) config.inner = InnerLiteral::OFF;
    if (argc > 4 && std::strcmp(argv[4], "inner-always") == 0) config.inner = InnerLiteral::ALWAYS;
    Regexp* prog = regcompile(argv[2]);
    if (prog == nullptr) {
        std::fprintf(stderr, "pattern does not compile\n");
        return 2;
    }
    RegMatcher* matcher = regmatcher_configured(prog, config);
    const bool nfa_alone = argc > 4 && std::strcmp(argv[4], "nfa") == 0;
    BitNfa nfa;
    if (nfa_alone && !nfa.build(prog->program, inspect_program(prog->program).size)) {
        std::fprintf(stderr, "the NFA cannot take the pattern: %zu positions\n", nfa.positions());
        return 2;
    }
    // select_lines returns the first matching line of [from, to), or null.
    auto select_lines = [&](const char* from, const char* to) -> const char* {
        if (!nfa_alone) return regselect(matcher, from, to);
        const LazyDfa::Outcome outcome = nfa.scan(from, to, LazyDfa::Mode::BUFFER);
        if (outcome.result != LazyDfa::Result::MATCH) return nullptr;
        const char* line = outcome.at;
        while (line > from && line[-1] != '\n') --line;
        return line;
    };

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Clock::duration selecting{};
    std::vector<char> buffer(block_bytes);
    size_t kept = 0;  // bytes of an unfinished line carried over
    unsigned long long selected = 0;
    unsigned long long bytes = 0;
    for (;;) {
        if (kept == buffer.size()) buffer.resize(buffer.size() * 2);
        const size_t got = std::fread(buffer.data() + kept, 1, buffer.size() - kept, file);
        bytes += got;
        size_t filled = kept + got;
        if (got == 0) {
            if (kept == 0) break;
            buffer.resize(filled + 1);
            buffer[filled++] = '\n';  // the last line without its line feed
        }
        const char* begin = buffer.data();
        const char* last = static_cast<const char*>(std::memchr(begin, '\n', filled)) == nullptr
                               ? nullptr
                               : begin + filled;
        while (last != nullptr && last > begin && last[-1] != '\n') --last;
        if (last == nullptr || last == begin) {
            kept = filled;
            continue;
        }
        const auto t0 = Clock::now();
        for (const char* from = begin; from < last;) {
            const char* line = select_lines(from, last);
            if (line == nullptr) break;
            ++selected;
            from = static_cast<const char*>(std::memchr(line, '\n', size_t(last - line))) + 1;
        }
        selecting += Clock::now() - t0;
        kept = filled - size_t(last - begin);
        std::memmove(buffer.data(), last, kept);
        if (got == 0) break;
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    const double select = std::chrono::duration<double>(selecting).count();
    if (nfa_alone)
        std::printf("  the NFA alone: %zu positions, %u words of state, %zu table chunks, %llu paired scans\n",
                    nfa.positions(), nfa.state_words(), nfa.table_chunks(), (unsigned long long)nfa.paired_scans());
    const RegMatcherStats stats = regmatcher_stats(matcher);
    std::printf("pattern %s: %llu lines selected of %llu bytes; select %.4f s (%.0f MB/s), loop with reading %.3f s\n",
                argv[2], selected, bytes, select, bytes / select / 1e6, total);
    std::printf("  strategy %s; %zu literal sets offered; prefilter reviewed %llu times, changed %llu times, off for %llu "
                "bytes\n",
                strategy_name(stats.strategy), stats.literal_sets, (unsigned long long)stats.prefilter_reviews,
                (unsigned long long)stats.prefilter_changes, (unsigned long long)stats.prefilter_off_bytes);
    std::printf("  core: the NFA %s now, took over %llu times, ran over %llu bytes\n", stats.nfa_active ? "decides" : "rests",
                (unsigned long long)stats.nfa_switches, (unsigned long long)stats.nfa_bytes);
    std::printf("  prefilter:");
    for (const std::string& literal : stats.literals) std::printf(" \"%s\"", literal.c_str());
    if (stats.literals.empty()) std::printf(" none");
    std::printf(", %llu candidate lines; DFA over %llu bytes, %llu states built, %llu cache clears, %llu lines to the "
                "backtracker\n",
                (unsigned long long)stats.candidates, (unsigned long long)stats.dfa.bytes_scanned,
                (unsigned long long)stats.dfa.states_built,
                (unsigned long long)stats.dfa.cache_clears, (unsigned long long)stats.backtracked_lines);
    if (!stats.inner_literal.empty())
        std::printf("  around \"%s\": %llu lines, %llu occurrences, %llu lines back to the DFA; backward over %llu "
                    "bytes (%llu states), forward over %llu bytes (%llu states)\n",
                    stats.inner_literal.c_str(), (unsigned long long)stats.inner_lines,
                    (unsigned long long)stats.inner_hits, (unsigned long long)stats.inner_fallbacks,
                    (unsigned long long)stats.prefix_dfa.bytes_scanned,
                    (unsigned long long)stats.prefix_dfa.states_built,
                    (unsigned long long)stats.suffix_dfa.bytes_scanned,
                    (unsigned long long)stats.suffix_dfa.states_built);
    regmatcher_free(matcher);
    std::free(prog);
    std::fclose(file);
    return 0;
}
