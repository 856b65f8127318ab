// literal_search_bench.cpp: LiteralSearch::find over a large buffer, by literal set, kernel
// family and kernel.
//
// Each benchmark searches the text as the block loop does: in blocks of 64 KiB cut after a
// line feed, finding a literal, skipping to the next line, finding again. Before the clock
// starts the search is adapted to the first 32 KiB. The names are
// find/<set>/<family>/<kernel>: family plain or avx2 (QUARNEL_KERNELS' two), kernel the one
// adapt_to chooses ("chosen"; the label names it) or one forced (probes, buckets8,
// buckets16; adapt_to then chooses only its positions). The GB/s counter is 10^9 bytes of
// text a second, the label the lines found. Nothing is asserted: tests/scan_test.cpp proves
// the results.
//
// Text: header-like sets search the first LITERAL_BENCH_MIB (default 64) MiB of the file
// LITERAL_BENCH_CORPUS (make bench's corpus: build-release/bench-corpus/corpus-v1-512MiB.txt);
// without it, the files under /usr/include, concatenated. The dna sets search generated
// lines of 70 random A, C, G and T.
// Run: build/bench/literal_search_bench [--benchmark_filter=find/rare10/]
//      LITERAL_BENCH_WIDTHS=1 adds the forced kernels at each width: .../buckets8w3
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "scan/scan.h"

namespace {

size_t text_size() {
    const char* mib = std::getenv("LITERAL_BENCH_MIB");
    return size_t(mib != nullptr ? std::strtoull(mib, nullptr, 10) : 64) << 20;
}

// header_text is the corpus prefix, or the headers of this machine.
const std::string& header_text() {
    static const std::string text = [] {
        const size_t size = text_size();
        std::string result;
        if (const char* path = std::getenv("LITERAL_BENCH_CORPUS")) {
            std::ifstream in(path, std::ios::binary);
            result.resize(size);
            in.read(result.data(), std::streamsize(size));
            result.resize(size_t(in.gcount()));
        } else {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(
                     "/usr/include", std::filesystem::directory_options::skip_permission_denied))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            while (result.size() < size && !files.empty()) {
                for (const auto& file : files) {
                    std::ifstream in(file, std::ios::binary);
                    result.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                    if (result.size() >= size) break;
                }
            }
            result.resize(std::min(result.size(), size));
        }
        const size_t last_line = result.rfind('\n');
        result.resize(last_line == std::string::npos ? 0 : last_line + 1);
        return result;
    }();
    return text;
}

// dna_text is lines of 70 random bases from a fixed generator (xorshift*).
const std::string& dna_text() {
    static const std::string text = [] {
        const size_t size = text_size();
        std::string result;
        result.reserve(size + 80);
        uint64_t state = 0x9E3779B97F4A7C15ULL;
        while (result.size() < size) {
            for (int i = 0; i < 70; ++i) {
                state ^= state >> 12;
                state ^= state << 25;
                state ^= state >> 27;
                result += "ACGT"[(state * 0x2545F4914F6CDD1DULL) >> 62];
            }
            result += '\n';
        }
        return result;
    }();
    return text;
}

// spelled parses a literal written with classes: "[Ee]rror" is five positions.
ClassLiteral spelled(std::string_view text) {
    ClassLiteral literal;
    for (size_t i = 0; i < text.size(); ++i) {
        ByteClass set;
        if (text[i] == '[') {
            for (++i; text[i] != ']'; ++i) set.add(static_cast<unsigned char>(text[i]));
        } else {
            set.add(static_cast<unsigned char>(text[i]));
        }
        literal.push_back(set);
    }
    return literal;
}

struct LiteralSet {
    const char* name;
    std::vector<std::string> literals;  // strings, or class literals written as in spelled
    bool fold_case;
    bool classes;
    bool dna;
};

const std::vector<std::string> RARE = {"pthread_mutex_lock", "EWOULDBLOCK", "SIGSEGV",    "mmap64",      "O_CLOEXEC",
                                       "getaddrinfo",        "epoll_wait",  "inotify_add", "sched_yield", "clock_gettime"};
const std::vector<std::string> COMMON = {"malloc", "free",   "memcpy", "strlen", "printf",
                                         "sizeof", "NULL",   "static", "const",  "volatile"};
const std::vector<std::string> IDENTIFIERS = {
    "Acquire",   "BUFSIZ",     "EINVAL",    "ENOMEM",    "sockaddr_in", "socklen_t",      "timespec",
    "sigaction", "O_RDONLY",   "SEEK_SET",  "INT_MAX",   "memset",      "strncpy",        "snprintf",
    "calloc",    "realloc",    "fopen",     "fclose",    "getenv",      "setlocale",      "wchar_t",
    "va_list",   "__restrict", "__THROW",   "__nonnull", "__BEGIN_DECLS", "uint32_t",     "pthread_t",
    "ioctl",     "pid_t",      "EAGAIN",    "SIGINT",    "munmap",      "pthread_create", "pthread_join",
    "strtol",    "qsort",      "bsearch",   "memcmp",    "strcmp",      "fwrite",         "fread",
    "isatty",    "sysconf",    "getpid",    "nanosleep", "gettimeofday", "sigprocmask",   "poll",
    "select"};

std::vector<std::string> first(const std::vector<std::string>& list, size_t count) {
    return std::vector<std::string>(list.begin(), list.begin() + std::ptrdiff_t(count));
}

// spellings_of_three is the old way to search a literal with classes: the eight spellings
// of its first three positions' cases.
std::vector<std::string> spellings_of_three(std::string_view word) {
    std::vector<std::string> spellings;
    for (int bits = 0; bits < 8; ++bits) {
        std::string spelling(word.substr(0, 3));
        for (int i = 0; i < 3; ++i)
            if (bits >> i & 1) spelling[size_t(i)] = char(spelling[size_t(i)] ^ 0x20);
        spellings.push_back(spelling);
    }
    return spellings;
}

const std::vector<LiteralSet> SETS = {
    {"function", {"function"}, false, false, false},                      // make bench's W1
    {"function_memory_buffer", {"function", "memory", "buffer"}, false, false, false},  // W2
    {"error_ic", {"error"}, true, false, false},                          // W3
    {"rare1", first(RARE, 1), false, false, false},
    {"rare3", first(RARE, 3), false, false, false},
    {"rare5", first(RARE, 5), false, false, false},
    {"rare10", RARE, false, false, false},
    {"common10", COMMON, false, false, false},
    {"ids20", first(IDENTIFIERS, 20), false, false, false},
    {"ids50", IDENTIFIERS, false, false, false},
    {"rare1_ic", first(RARE, 1), true, false, false},
    {"rare3_ic", first(RARE, 3), true, false, false},
    {"rare5_ic", first(RARE, 5), true, false, false},
    {"rare10_ic", RARE, true, false, false},
    {"common10_ic", COMMON, true, false, false},
    {"error_classes", {"[Ee][Rr][Rr][Oo][Rr]"}, false, true, false},
    {"error_spellings", spellings_of_three("error"), false, false, false},
    {"malloc_classes", {"[Mm][Aa][Ll][Ll][Oo][Cc]"}, false, true, false},
    {"malloc_spellings", spellings_of_three("malloc"), false, false, false},
    {"dna_tata", {"TATA"}, false, false, true},
    {"dna_tata_motif", {"TATA[AT]A[AT]"}, false, true, true},
    {"dna_gcc", {"[ACG]GCC"}, false, true, true},
};

constexpr size_t BLOCK_SIZE = 64 * 1024;
constexpr size_t SAMPLE_SIZE = 32 * 1024;

LiteralSearch make_search(const LiteralSet& set) {
    if (set.classes) {
        std::vector<ClassLiteral> literals;
        for (const std::string& literal : set.literals) literals.push_back(spelled(literal));
        return LiteralSearch(literals);
    }
    std::vector<std::string_view> views(set.literals.begin(), set.literals.end());
    return LiteralSearch(views, set.fold_case);
}

// count_lines finds the lines of text that hold a literal, block by block.
size_t count_lines(const LiteralSearch& search, const std::string& text) {
    size_t lines = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* block_end = p + std::min(BLOCK_SIZE, size_t(end - p));
        if (block_end < end) {
            const char* feed = scan_find_last_byte(p, block_end, '\n');
            if (feed != nullptr) block_end = feed + 1;
        }
        for (const char* from = p; from < block_end;) {
            const char* hit = search.find(from, block_end);
            if (hit == nullptr) break;
            ++lines;
            const char* feed = static_cast<const char*>(std::memchr(hit, '\n', size_t(block_end - hit)));
            from = feed != nullptr ? feed + 1 : block_end;
        }
        p = block_end;
    }
    return lines;
}

void run_find(benchmark::State& state, const LiteralSet* set, KernelLevel level, LiteralKernel kernel, uint32_t width) {
    const KernelLevel before = scan_select_kernels(level);
    if (scan_kernel_level() != level) {
        state.SkipWithError("this processor lacks the kernel family");
        scan_select_kernels(before);
        return;
    }
    const std::string& text = set->dna ? dna_text() : header_text();
    LiteralSearch search = make_search(*set);
    if (kernel != LiteralKernel::NONE) search.use_kernel(kernel, width);
    search.adapt_to(text.data(), text.data() + std::min(text.size(), SAMPLE_SIZE));
    size_t lines = 0;
    for (auto _ : state) {
        lines = count_lines(search, text);
        benchmark::DoNotOptimize(lines);
    }
    state.counters["GB/s"] =
        benchmark::Counter(double(text.size()) / 1e9, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(std::string(literal_kernel_name(search.kernel())) + ", " + std::to_string(lines) + " lines");
    scan_select_kernels(before);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    const bool widths = std::getenv("LITERAL_BENCH_WIDTHS") != nullptr;
    for (const LiteralSet& set : SETS) {
        for (KernelLevel level : {KernelLevel::AVX2, KernelLevel::PLAIN}) {
            const std::string prefix =
                std::string("find/") + set.name + (level == KernelLevel::AVX2 ? "/avx2/" : "/plain/");
            benchmark::RegisterBenchmark((prefix + "chosen").c_str(), run_find, &set, level, LiteralKernel::NONE, 0u)
                ->Unit(benchmark::kMillisecond);
            for (LiteralKernel kernel : {LiteralKernel::PROBES, LiteralKernel::BUCKETS_8, LiteralKernel::BUCKETS_16}) {
                for (uint32_t width = 0; width <= (widths ? 4u : 0u); ++width) {
                    std::string name = prefix;
                    name += literal_kernel_name(kernel);
                    if (width != 0) name += {'w', char('0' + width)};
                    benchmark::RegisterBenchmark(name.c_str(), run_find, &set, level, kernel, width)
                        ->Unit(benchmark::kMillisecond);
                }
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
