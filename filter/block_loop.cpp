// block_loop.cpp: filter_lines, the loop the tool runs.
//
// The input is read in blocks of READ_BLOCK_SIZE into one buffer that stays in the cache,
// and everything happens where the bytes lie: the buffer is searched as a whole for the
// next line that matches (or every line is taken, or none), and only around a hit are the
// line feeds that bound its line looked for. The lines between two matching lines are
// counted in bulk, and when they are to be written (-iv, or no selection) they go out as
// one piece, straight from the buffer. Line numbers are a decimal text incremented in
// place. A block is processed up to its last line feed; the partial line after it is kept
// for the next read (see ReadBuffer).
//
// Find strings are searched with LiteralSearch (scan/); a -reg pattern with the engine's
// selection matcher (regselect: a lazy DFA behind a literal prefilter). With -sub, only a
// line that matched is searched again for the slots its expansion is made from, by the
// backtracker from where the leftmost match begins (regsearch_with).
//
// A NUL ends a line's text. The common NUL-free input pays for that rule only on the lines
// it writes: a stretch written whole is checked for NULs in the same pass that counts its
// line feeds, and a line that matched is checked for a NUL before its end.
//
// filter_lines_by_line (tests/support/reference_loop.cpp) is the plain reference this loop
// is tested against (tests/line_loop_test.cpp, fuzz/filter_fuzz.cpp).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "filter/filter_lines.h"
#include "filter/line_writer.h"
#include "filter/read_buffer.h"
#include "filter/regex_options.h"
#include "regexp/regexp.h"
#include "scan/scan.h"

namespace {

// Selection is how a run picks its lines.
enum class Selection {
    EVERY_LINE,    // no selection option, or an empty find string
    NO_LINE,       // an empty find string under -iv
    FIND_STRINGS,  // the find strings, searched buffer-wide
    PATTERN,       // -reg: the pattern's selection matcher, buffer-wide
};

Selection selection_of(const FilterSettings& settings) {
    if (settings.pattern) return Selection::PATTERN;
    if (settings.find_count == 0) return Selection::EVERY_LINE;
    for (int32_t i = 0; i < settings.find_count; ++i)
        if (settings.find_strings[i].empty()) return settings.invert ? Selection::NO_LINE : Selection::EVERY_LINE;
    return Selection::FIND_STRINGS;
}

std::vector<std::string_view> find_string_views(const FilterSettings& settings) {
    std::vector<std::string_view> views;
    for (int32_t i = 0; i < settings.find_count; ++i) views.emplace_back(settings.find_strings[i]);
    return views;
}

// MatchedLine is a line that a find string or the pattern selects: where it starts, where
// its text ends (at its first NUL or its line feed) and its line feed.
struct MatchedLine {
    char* start;
    char* text_end;
    char* line_feed;
};

// BlockProcessor selects and writes the lines of one region of the buffer at a time and
// keeps the counts. Find strings and patterns take the same road: find the next line that
// matches in the whole region, count (or, under -iv, write) the lines before it in bulk,
// then write (or skip) that line.
class BlockProcessor {
public:
    BlockProcessor(const FilterSettings& settings, OutputBuffer& out)
        : settings_(settings),
          selection_(selection_of(settings)),
          search_(find_string_views(settings), settings.ignore_case),
          writer_(settings, out) {
        if (settings.sub_template) sub_template_ = settings.sub_template->c_str();
        if (selection_ == Selection::PATTERN) matcher_.reset(regmatcher(settings.pattern.get()));
    }

    // process handles the complete lines of [begin, end): end[-1] is a line feed.
    void process(char* begin, char* end) {
        if (!adapted_ && selection_ == Selection::FIND_STRINGS) {  // the first block is the sample
            search_.adapt_to(begin, begin + std::min(size_t(end - begin), ADAPT_SAMPLE_SIZE));
            adapted_ = true;
        }
        switch (selection_) {
        case Selection::EVERY_LINE:
            take_lines(begin, end);
            break;
        case Selection::NO_LINE:
            result_.lines_read += scan_count_byte(begin, end, '\n');
            break;
        case Selection::FIND_STRINGS:
        case Selection::PATTERN:
            if (settings_.invert)
                process_inverted(begin, end);
            else
                process_matches(begin, end);
            break;
        }
    }

    LoopResult& result() { return result_; }

private:
    // take_lines writes every line of [begin, end).
    void take_lines(const char* begin, const char* end) {
        uint64_t count = writer_.write_stretch(begin, end, result_.lines_read);
        result_.lines_written += count;
        result_.lines_read += count;
    }

    // matched_line describes the line that begins at start, in a region that ends at end
    // just after a line feed.
    static MatchedLine matched_line(char* start, char* end) {
        char* text_end = start + (scan_find_line_end(start, end) - start);
        char* line_feed = *text_end == '\n' ? text_end : scan_find_byte(text_end, end, '\n');
        return MatchedLine{start, text_end, line_feed};
    }

    // next_match finds the first line of [from, end) that matches: that holds a find string
    // before any NUL of its own, or in which the pattern matches. A pattern the engine could
    // not prepare (it has reported why through its hook) matches no line, as regsearch
    // matches none of a damaged program's.
    bool next_match(char* from, char* end, MatchedLine* match) const {
        if (selection_ == Selection::PATTERN) {
            if (matcher_ == nullptr) return false;
            const char* line = regselect(matcher_.get(), from, end);
            if (line == nullptr) return false;
            *match = matched_line(from + (line - from), end);
            return true;
        }
        while (from < end) {
            const char* hit = search_.find(from, end);
            if (hit == nullptr) return false;
            const char* before = scan_find_last_byte(from, hit, '\n');
            MatchedLine line = matched_line(before != nullptr ? from + (before - from) + 1 : from, end);
            // Past a NUL the line holds no text: look again within its text alone.
            if (line.text_end == line.line_feed || search_.find(line.start, line.text_end) != nullptr) {
                *match = line;
                return true;
            }
            from = line.line_feed + 1;
        }
        return false;
    }

    // process_matches writes the lines that match; the lines between are only counted.
    void process_matches(char* begin, char* end) {
        MatchedLine match;
        for (char* from = begin; from < end;) {
            if (!next_match(from, end, &match)) {
                result_.lines_read += scan_count_byte(from, end, '\n');
                return;
            }
            result_.lines_read += scan_count_byte(from, match.start, '\n');
            write_match(match);
            from = match.line_feed + 1;
        }
    }

    // write_match writes a line that matched: as it is or, under -sub, replaced by the
    // expansion of the template from the match that the backtracker finds in it. (Should the
    // backtracker find none, its answer stands and the line is not selected.)
    void write_match(const MatchedLine& match) {
        if (sub_template_ == nullptr || selection_ != Selection::PATTERN) {
            writer_.write_line(match.start, size_t(match.text_end - match.start), result_.lines_read);
            ++result_.lines_written;
        } else {
            *match.line_feed = '\0';  // the line as a C string, for the slots
            size_t length = 0;
            const char* text = regsearch_with(matcher_.get(), settings_.pattern.get(), match.start) == 1
                                   ? expander_.expand(settings_.pattern.get(), sub_template_, length)
                                   : nullptr;
            *match.line_feed = '\n';
            if (text != nullptr) {
                writer_.write_line(text, length, result_.lines_read);
                ++result_.lines_written;
            }
        }
        ++result_.lines_read;
    }

    // process_inverted writes the lines that do not match, the stretches between two lines
    // that do as one piece each.
    void process_inverted(char* begin, char* end) {
        MatchedLine match;
        for (char* from = begin; from < end;) {
            bool found = next_match(from, end, &match);
            take_lines(from, found ? match.start : end);
            if (!found) return;
            ++result_.lines_read;
            from = match.line_feed + 1;
        }
    }

    // ADAPT_SAMPLE_SIZE: how much of the first block chooses the bytes the search probes.
    static constexpr size_t ADAPT_SAMPLE_SIZE = 64 * 1024;

    const FilterSettings& settings_;
    Selection selection_;
    LiteralSearch search_;
    bool adapted_ = false;
    RegMatcherPtr matcher_;  // -reg: the DFA and its prefilter
    LineWriter writer_;
    const char* sub_template_ = nullptr;
    TemplateExpander expander_;
    LoopResult result_;
};

LoopResult stopped(LoopResult result, LoopEnd end, int error_number) {
    result.end = end;
    result.error_number = error_number;
    return result;
}

}  // namespace

LoopResult filter_lines(const FilterSettings& settings, InputSource& in, OutputBuffer& out) {
    BlockProcessor processor(settings, out);
    LoopResult& result = processor.result();
    ReadBuffer buffer;
    for (;;) {
        // Lines gathered for the output go out before a read that may wait for more input;
        // with nothing gathered there is nothing to ask.
        if (out.pending() && !in.ready() && !out.flush()) return stopped(result, LoopEnd::WRITE_ERROR, out.error_number());
        auto [room, room_size] = buffer.room();
        long got = in.read(room, room_size);
        if (got < 0) return stopped(result, LoopEnd::READ_ERROR, errno);
        if (got == 0) {
            if (buffer.end() != buffer.begin()) {  // a last line without a line feed
                *buffer.end() = '\n';
                processor.process(buffer.begin(), buffer.end() + 1);
            }
            if (out.failed()) return stopped(result, LoopEnd::WRITE_ERROR, out.error_number());
            return result;
        }
        buffer.added(size_t(got));
        const char* last_line_feed = scan_find_last_byte(room, buffer.end(), '\n');
        if (last_line_feed == nullptr) continue;  // still inside one line

        processor.process(buffer.begin(), const_cast<char*>(last_line_feed) + 1);
        if (out.failed()) return stopped(result, LoopEnd::WRITE_ERROR, out.error_number());
        buffer.consumed_to(last_line_feed + 1);
    }
}
