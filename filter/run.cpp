// run.cpp: run_filter, the run from banner to exit status.
//
// banner -> arguments -> adjustments -> description -> timer start -> line loop -> final
// flush -> summary. A read or write error ends the run with status 1 and no summary, and so
// does an engine error: driver_regex_error throws RegexRunAborted, caught here. Covered end
// to end by tests/cli_test.cpp and tests/regex_options_test.cpp.
#include "filter/run.h"

#include <cinttypes>
#include <cstdio>
#include <new>

#include "filter/filter_lines.h"
#include "filter/output_buffer.h"
#include "filter/platform.h"
#include "filter/regex_options.h"
#include "filter/run_timer.h"
#include "filter/settings.h"

namespace {

// DEFAULT_PROGRAM_PATH stands in for argv[0] when the caller passed none.
constexpr const char* DEFAULT_PROGRAM_PATH = "quarnel";

int report_stream_error(const char* what, int error_number) {
    std::fprintf(stderr, "%s: %s\n", what, platform_error_text(error_number).c_str());
    return 1;
}

int run_settled(const FilterSettings& settings, InputSource& in, OutputBuffer& output) {
    if (settings.verbose) std::fputs(describe_run(settings).c_str(), stderr);

    uint32_t start = start_ticks();
    LoopResult result = filter_lines(settings, in, output);
    float seconds = elapsed_seconds(start);

    if (result.end == LoopEnd::WRITE_ERROR) return report_stream_error("write error", result.error_number);
    if (result.end == LoopEnd::READ_ERROR) {
        output.flush();  // the lines selected before the error stay written
        return report_stream_error("read error", result.error_number);
    }
    if (!output.flush()) return report_stream_error("write error", output.error_number());

    std::fprintf(stderr, "Processing %" PRIu64 "/%" PRIu64 " lines took %s.\n", result.lines_written, result.lines_read,
                 format_elapsed(seconds));
    return 0;
}

}  // namespace

int run_filter(int argc, char** argv, InputSource& in, OutputSink& out) {
    const char* program_path = (argc > 0 && argv[0] != nullptr) ? argv[0] : DEFAULT_PROGRAM_PATH;
    print_banner(program_path);
    if (argc < 2) {
        print_usage(program_path);
        return 1;
    }

    FilterSettings settings;
    // Uninstalls the engine hook on every way out, so nothing of this run outlives it.
    struct RegexStateRelease {
        const FilterSettings& settings;
        ~RegexStateRelease() { release_regex_state(settings); }
    } release{settings};
    OutputBuffer output(out);
    try {
        if (!parse_arguments(argc, argv, settings, compile_pattern)) {
            print_usage(program_path);
            return 1;
        }
        finish_settings(settings);
        return run_settled(settings, in, output);
    } catch (const RegexRunAborted&) {
        // driver_regex_error wrote the message; keep the lines written before the error.
        if (!output.flush()) report_stream_error("write error", output.error_number());
        return 1;
    } catch (const std::bad_alloc&) {
        // A line or expansion larger than memory: keep what was already filtered.
        if (!output.flush()) return report_stream_error("write error", output.error_number());
        std::fputs("out of memory\n", stderr);
        return 1;
    }
}
