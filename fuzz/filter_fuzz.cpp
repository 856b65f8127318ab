// filter_fuzz.cpp: the whole filter in-process, on (argument list, standard input) pairs.
//
// Input: arguments separated by NUL bytes, then two NULs, then the bytes of standard input
// (no double NUL: everything is arguments and the input is empty). At most MAX_ARGUMENTS
// arguments are kept; argv[0] is always "quarnel". A hash of the input picks how the
// memory input hands out its bytes (all at once, one at a time, or in short uneven reads),
// whether the streams are Windows text streams (the memory streams behind TextModeInput
// and TextModeOutput, as the Windows build has them; the model then reads the input as
// text mode does and expects every line feed as CR LF), and, now and then, a fault: a read
// error at some offset, or an output that fails after some bytes.
//
// run_filter's standard error goes to a memory stream (the stderr pointer is swapped for
// the run; libFuzzer and the sanitizers keep writing to fd 2). The run is checked against
// a model of the tool written independently of the filter, which uses the engine only for what the
// engine decides (compile, search, expand):
// - exit status: 1 for no arguments, "-?", or a pattern that does not compile (and then
//   standard input is never read); 0 otherwise;
// - standard output: exactly what the plain line-at-a-time loop (filter_lines_by_line)
//   writes for the same settings: the block-wide loop that run_filter runs is compared
//   with it, on the vector kernels or, for every other input, on the plain ones;
// - standard error: the banner, then the usage text, or "regexp(3): " and the message, or
//   the warnings, the run description under -v and the summary with both counts;
// - under an injected fault: status 1, no summary, and the output is a prefix of the
//   faultless output (for a failing output, exactly the bytes it accepted).
// The filter's -reg and -sub are modelled only if a probe run at start-up shows that the
// filter has them; until then they are arguments that are no option.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/run.h"
#include "filter/text_mode.h"
#include "scan/scan.h"
#include "fuzz_support.h"
#include "support/capture_hook.h"
#include "support/memory_streams.h"
#include "support/reference_loop.h"
#include "support/windows_target.h"

namespace {

constexpr size_t MAX_ARGUMENTS = 12;
constexpr int MAX_FIND_STRINGS = 10;
constexpr const char* PROGRAM_PATH = "quarnel";

bool regex_options_known = false;  // set by the probe in LLVMFuzzerInitialize

unsigned char lower_byte(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

std::string lowered(std::string text) {
    for (char& c : text) c = char(lower_byte(static_cast<unsigned char>(c)));
    return text;
}

bool starts_with_word(const std::string& arg, const char* word) {
    const size_t length = std::strlen(word);
    return arg.size() >= length && lowered(arg.substr(0, length)) == word;
}

bool equals_word(const std::string& arg, const char* word) { return arg.size() == std::strlen(word) && starts_with_word(arg, word); }

// ---------------------------------------------------------------------------------------
// Running the filter.

struct RunResult {
    int status = 0;
    std::string out;
    std::string err;
    size_t reads = 0;
};

RunResult run_quarnel(const std::vector<std::string>& args, const std::string& input, std::vector<size_t> read_sizes = {},
                      size_t fail_at = std::string::npos, size_t fail_after = std::string::npos, bool text_mode = false) {
    std::vector<std::string> storage;
    storage.push_back(PROGRAM_PATH);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);

    MemoryInput in(input, std::move(read_sizes), fail_at);
    MemoryOutput out(fail_after);
    TextModeInput text_in(in);
    TextModeOutput text_out(out);

    char* err_text = nullptr;
    size_t err_size = 0;
    FILE* err_stream = open_memstream(&err_text, &err_size);
    if (err_stream == nullptr) fuzz_fail("open_memstream failed");
    FILE* const saved_stderr = stderr;
    stderr = err_stream;
    RunResult result;
    result.status = text_mode ? run_filter(int(storage.size()), argv.data(), text_in, text_out)
                              : run_filter(int(storage.size()), argv.data(), in, out);
    stderr = saved_stderr;
    std::fclose(err_stream);
    result.err.assign(err_text, err_size);
    std::free(err_text);
    result.out = std::move(out.text);
    result.reads = in.reads();
    return result;
}

// ---------------------------------------------------------------------------------------
// The model.

struct Expected {
    int status = 0;
    bool reads_input = true;  // false: the run ends before the line loop
    bool usage = false;
    std::string message;      // the engine's compile message, when a pattern failed
    std::string notes;        // warnings and run description, between banner and summary
    std::string out;
    uint64_t written = 0;
    uint64_t read = 0;
};

Expected model(const std::vector<std::string>& args, const std::string& input) {
    Expected expected;
    if (args.empty()) {
        expected.status = 1;
        expected.reads_input = false;
        expected.usage = true;
        return expected;
    }

    bool verbose = false, invert = false, ignore_case = false, line_numbers = false, to_lower = false, to_upper = false;
    std::vector<std::string> finds;
    const std::string* regex_source = nullptr;
    const std::string* sub_template = nullptr;
    std::string source_text, template_text;
    RegexpPtr pattern;

    for (const std::string& arg : args) {
        if (arg == "-?") {
            expected.status = 1;
            expected.reads_input = false;
            expected.usage = true;
            return expected;
        }
        if (equals_word(arg, "-lc")) to_lower = true;
        if (equals_word(arg, "-ln")) line_numbers = true;
        if (equals_word(arg, "-uc")) to_upper = true;
        if (equals_word(arg, "-ic")) ignore_case = true;
        if (equals_word(arg, "-iv")) invert = true;
        if (equals_word(arg, "-v")) verbose = true;
        if (regex_options_known && starts_with_word(arg, "-reg")) {
            source_text = arg.substr(4);
            regex_source = &source_text;
            CaptureHook hook;
            RegexpPtr compiled(regcompile(source_text.c_str()));
            if (compiled == nullptr) {
                expected.status = 1;
                expected.reads_input = false;
                expected.message = reported.empty() ? "" : reported[0];
                return expected;
            }
            std::swap(pattern, compiled);
        }
        if (regex_options_known && starts_with_word(arg, "-sub")) {
            template_text = arg.substr(4);
            sub_template = &template_text;
        }
        if (finds.size() < size_t(MAX_FIND_STRINGS) && starts_with_word(arg, "-f")) finds.push_back(arg.substr(2));
    }

    if (pattern != nullptr && !finds.empty()) {
        expected.notes += "WARNING: -reg specified: ignoring -f...\n";
        finds.clear();
    }
    if (ignore_case) {
        for (std::string& find : finds) find = lowered(find);
    }
    if (sub_template != nullptr && pattern == nullptr) expected.notes += "WARNING: -reg not specified: ignoring -sub...\n";
    if (verbose) {
        expected.notes += "Match ";
        if (invert) expected.notes += "NOT ";
        if (pattern != nullptr) {
            expected.notes += "regular expression \"" + *regex_source + "\" ";
            if (sub_template != nullptr) expected.notes += ", replace with \"" + *sub_template + "\" ";
        }
        for (size_t i = 0; i < finds.size(); ++i) {
            expected.notes += "\"" + finds[i] + "\"";
            if (i + 1 < finds.size()) expected.notes += " or ";
        }
        if (!finds.empty() && ignore_case) expected.notes += " (ignore case) ";
        expected.notes += "\n";
    }

    // The lines themselves: the filter's plain line-at-a-time loop is the reference for the
    // block-wide loop that run_filter runs.
    CaptureHook hook;
    FilterSettings settings;
    settings.invert = invert;
    settings.ignore_case = ignore_case;
    settings.line_numbers = line_numbers;
    settings.to_lower = to_lower;
    settings.to_upper = to_upper;
    settings.find_count = int32_t(finds.size());
    std::copy(finds.begin(), finds.end(), settings.find_strings.begin());
    if (pattern != nullptr) {
        settings.regex_source = *regex_source;
        settings.pattern.reset(regcompile(regex_source->c_str()));
        if (sub_template != nullptr) settings.sub_template = *sub_template;
    }
    MemoryInput in(input);
    MemoryOutput out;
    OutputBuffer buffer(out);
    const LoopResult lines = filter_lines_by_line(settings, in, buffer);
    if (!buffer.flush() || lines.end != LoopEnd::END_OF_INPUT) fuzz_fail("the plain loop failed in the model");
    expected.out = out.text;
    expected.written = lines.lines_written;
    expected.read = lines.lines_read;
    if (!reported.empty()) fuzz_fail("the engine reported \"%s\" in the model", reported[0].c_str());
    return expected;
}

// ---------------------------------------------------------------------------------------
// Checks.

std::string describe_case(const std::vector<std::string>& args, const std::string& input) {
    std::string text = "arguments:";
    for (const std::string& arg : args) text += " \"" + escape_bytes(arg) + "\"";
    text += "\ninput: \"" + escape_bytes(input) + "\"";
    return text;
}

// check_summary checks that text is "Processing W/R lines took MM:SS.hh.\n".
bool is_summary(std::string_view text, const Expected& expected) {
    const std::string head = "Processing " + std::to_string(expected.written) + "/" + std::to_string(expected.read) + " lines took ";
    if (text.substr(0, head.size()) != head) return false;
    const std::string_view time = text.substr(head.size());
    if (time.size() != 10 || time[2] != ':' || time[5] != '.' || time.substr(8) != ".\n") return false;
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (time[i] < '0' || time[i] > '9') return false;
    }
    return true;
}

uint64_t hash_bytes(const uint8_t* data, size_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Probe: does this build of the filter know -reg? Every check of -reg and -sub hangs on it.
    const RunResult probe = run_quarnel({"-regb"}, "a\nb\n");
    regex_options_known = probe.status == 0 && probe.out == "b\n";
    std::fprintf(stderr, "filter_fuzz: the filter %s -reg and -sub\n",
                 regex_options_known ? "has" : "does not have yet: checking without");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const size_t separator = all.find(std::string_view("\0\0", 2));
    const std::string_view argument_text = all.substr(0, separator);
    const std::string input(separator == std::string_view::npos ? std::string_view() : all.substr(separator + 2));
    std::vector<std::string> args;
    for (size_t begin = 0; !argument_text.empty() && args.size() < MAX_ARGUMENTS;) {
        const size_t end = argument_text.find('\0', begin);
        args.emplace_back(argument_text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
        if (end == std::string_view::npos) break;
        begin = end + 1;
    }

    const uint64_t hash = hash_bytes(data, size);
    const bool text_mode = ((hash >> 6) & 1) != 0;
    Expected expected = model(args, text_mode ? text_mode_read(input) : input);
    if (text_mode) expected.out = text_mode_written(expected.out);

    static const std::vector<size_t> READ_PATTERNS[] = {{}, {1}, {1, 7, 3, 64, 2}, {4096, 5}};
    const std::vector<size_t>& read_sizes = READ_PATTERNS[hash & 3];
    const unsigned fault = unsigned(hash >> 2) & 7;
    const size_t fail_at = fault == 0 ? size_t(hash >> 8) % (input.size() + 1) : std::string::npos;
    const size_t fail_after = fault == 1 ? size_t(hash >> 8) % (expected.out.size() + 1) : std::string::npos;
    // Text mode reads nothing after a 0x1A, so a fault behind one is never met.
    const bool read_fault = fail_at != std::string::npos && expected.reads_input &&
                            (!text_mode || input.find('\x1A') >= fail_at);
    const bool write_fault = fail_after != std::string::npos && expected.reads_input && fail_after < expected.out.size();

    // Every other input runs the filter on the plain kernels instead of the vector ones.
    const KernelLevel kernels = scan_select_kernels((hash >> 5) & 1 ? KernelLevel::PLAIN : KernelLevel::AVX2);
    const RunResult run = run_quarnel(args, input, read_sizes, fail_at, fail_after, text_mode);
    scan_select_kernels(kernels);
    auto fail = [&](const char* what) {
        fuzz_fail("%s\n%s\nread fault at %zu, write fault after %zu (npos: none)%s\nstatus %d\n--- stdout ---\n%s\n--- "
                  "expected ---\n%s\n--- stderr ---\n%s",
                  what, describe_case(args, input).c_str(), fail_at, fail_after, text_mode ? ", text mode" : "", run.status,
                  escape_bytes(run.out).c_str(), escape_bytes(expected.out).c_str(), escape_bytes(run.err).c_str());
    };

    // The banner is always the first line.
    const size_t banner_end = run.err.find('\n');
    if (run.err.compare(0, 8, "Quarnel ") != 0 || banner_end == std::string::npos ||
        run.err.substr(0, banner_end + 1).find("   (type 'quarnel -?' for help)\n") == std::string::npos)
        fail("the banner is not the first line of the error stream");
    const std::string_view rest = std::string_view(run.err).substr(banner_end + 1);

    if (!expected.reads_input) {
        if (run.status != 1) fail("the run should end with status 1 before reading");
        if (!run.out.empty()) fail("the run wrote to standard output before reading");
        if (run.reads != 0) fail("the run read standard input");
        if (expected.usage) {
            const std::string_view last = "Regular expressions are based on Kelvane's REGEXP library.\n";
            if (rest.substr(0, 8) != "\nUsage:\n" || rest.size() < last.size() || rest.substr(rest.size() - last.size()) != last)
                fail("the usage text is missing");
        } else if (rest != "regexp(3): " + expected.message) {
            fail("the compile error is not reported as \"regexp(3): \" and the message");
        }
        return 0;
    }

    if (read_fault || write_fault) {
        if (run.status != 1) fail("a run with a failing stream should end with status 1");
        if (rest.substr(0, expected.notes.size()) != expected.notes) fail("warnings or run description differ");
        // Only the error message may follow; the texts above may well hold the word.
        if (rest.substr(expected.notes.size()).find("Processing ") != std::string_view::npos)
            fail("a failed run wrote the summary");
        if (write_fault) {
            if (run.out != expected.out.substr(0, fail_after)) fail("the output is not what the failing output accepted");
        } else if (expected.out.compare(0, run.out.size(), run.out) != 0 ||
                   (!run.out.empty() && run.out.back() != '\n')) {
            fail("the output of a run that hit a read error is not a prefix of whole lines");
        }
        return 0;
    }

    if (run.status != 0) fail("the run should end with status 0");
    if (run.out != expected.out) fail("standard output differs from the model");
    if (rest.substr(0, expected.notes.size()) != expected.notes) fail("warnings or run description differ");
    if (!is_summary(rest.substr(expected.notes.size()), expected)) fail("the summary line is wrong");
    return 0;
}
