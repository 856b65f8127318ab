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
// line that matched is searched again by the backtracker (regsearch), for the slots its
// expansion is made from.
//
// A NUL ends a line's text. The common NUL-free input pays for that rule only on the lines
// it writes: a stretch written whole is checked for NULs in the same pass that counts its
// line feeds, and a line that matched is checked for a NUL before its end.
//
// filter_lines_by_line (line_loop.cpp) is the plain reference this loop is tested against
// (tests/line_loop_test.cpp, fuzz/filter_fuzz.cpp).
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "filter/line_loop.h"
#include "filter/regex_options.h"
#include "regexp/regexp.h"
#include "scan/scan.h"

namespace {

const char* find_line_feed(const char* begin, const char* end) {
    return static_cast<const char*>(std::memchr(begin, '\n', size_t(end - begin)));
}

const char* find_nul(const char* begin, const char* end) {
    return static_cast<const char*>(std::memchr(begin, '\0', size_t(end - begin)));
}

// find_last_line_feed returns the last line feed of [begin, end), or null. The distance it
// walks back is the length of one line.
const char* find_last_line_feed(const char* begin, const char* end) {
    for (const char* p = end; p > begin;)
        if (*--p == '\n') return p;
    return nullptr;
}

// LineNumberText is the "%5u: " prefix of the current line number, kept as text: moving
// on by one line changes the last digit or carries, instead of formatting anew.
class LineNumberText {
public:
    LineNumberText() { set(0); }

    // text returns the prefix of number and its length.
    std::string_view text(uint64_t number) {
        if (number == number_ + 1)
            increment();
        else if (number != number_)
            set(number);
        return std::string_view(text_ + first_, TEXT_END + 2 - first_);
    }

private:
    static constexpr size_t TEXT_END = 24;  // digits end here, ": " follows
    static constexpr size_t MIN_WIDTH = 5;

    void set(uint64_t number) {
        number_ = number;
        std::memset(text_, ' ', TEXT_END);
        char digits[20];
        size_t count = size_t(std::to_chars(digits, digits + sizeof digits, number).ptr - digits);
        std::memcpy(text_ + TEXT_END - count, digits, count);
        digits_ = count;
        text_[TEXT_END] = ':';
        text_[TEXT_END + 1] = ' ';
        first_ = TEXT_END - std::max(digits_, MIN_WIDTH);
    }

    void increment() {
        ++number_;
        for (size_t at = TEXT_END - 1;; --at) {
            if (text_[at] == ' ') {  // carried past the first digit: one more digit
                text_[at] = '1';
                ++digits_;
                first_ = TEXT_END - std::max(digits_, MIN_WIDTH);
                return;
            }
            if (text_[at] != '9') {
                ++text_[at];
                return;
            }
            text_[at] = '0';
        }
    }

    char text_[TEXT_END + 2];
    uint64_t number_ = 0;
    size_t digits_ = 0;
    size_t first_ = 0;
};

// LineWriter writes selected lines: number, case conversion, text, line feed.
class LineWriter {
public:
    LineWriter(const FilterSettings& settings, OutputBuffer& out) : out_(out), numbers_(settings.line_numbers) {
        if (settings.to_lower)
            mapping_ = CaseMapping::TO_LOWER;
        else if (settings.to_upper)
            mapping_ = CaseMapping::TO_UPPER;
    }

    // write_line writes one line's text, whose number among the lines read is number.
    void write_line(const char* text, size_t length, uint64_t number) {
        if (numbers_) {
            std::string_view prefix = number_text_.text(number);
            out_.append(prefix.data(), prefix.size());
        }
        write_text(text, length);
        out_.append_byte('\n');
    }

    // write_stretch writes the complete lines of [begin, end), every one ended by a line feed;
    // the first is number first. It returns how many lines there were.
    uint64_t write_stretch(const char* begin, const char* end, uint64_t first) {
        if (begin == end) return 0;
        if (numbers_) return write_each(begin, end, first);
        StretchStats stats = scan_stretch(begin, end);
        if (stats.first_nul == nullptr) {
            write_text(begin, size_t(end - begin));
            return stats.line_feeds;
        }
        // Up to the line that holds the NUL in one piece, that line cut at the NUL, then on.
        const char* line = begin;
        if (const char* before = find_last_line_feed(begin, stats.first_nul))
            line = before + 1;
        uint64_t count = write_stretch(begin, line, first);
        const char* line_feed = find_line_feed(stats.first_nul, end);
        write_line(line, size_t(stats.first_nul - line), first + count);
        return count + 1 + write_stretch(line_feed + 1, end, first + count + 1);
    }

private:
    // write_each writes the lines of [begin, end) one by one, each with its number. A short
    // line goes into the output in one place: its number, its text and its line feed.
    uint64_t write_each(const char* begin, const char* end, uint64_t first) {
        bool has_nul = scan_stretch(begin, end).first_nul != nullptr;
        uint64_t number = first;
        for (const char* line = begin; line < end; ++number) {
            const char* line_feed = find_line_feed(line, end);
            const char* text_end = line_feed;
            if (has_nul)
                if (const char* nul = find_nul(line, line_feed)) text_end = nul;
            size_t length = size_t(text_end - line);
            if (mapping_ || length > SHORT_LINE || out_.capacity() < SHORT_LINE + LINE_NUMBER_TEXT_SIZE + 1) {
                write_line(line, length, number);
            } else {
                std::string_view prefix = number_text_.text(number);
                char* at = out_.reserve(prefix.size() + length + 1);
                std::memcpy(at, prefix.data(), prefix.size());
                std::memcpy(at + prefix.size(), line, length);
                at[prefix.size() + length] = '\n';
                out_.commit(prefix.size() + length + 1);
            }
            line = line_feed + 1;
        }
        return number - first;
    }

    // SHORT_LINE: lines up to this long are numbered and written in one place.
    static constexpr size_t SHORT_LINE = 256;

    // write_text writes bytes as they are or case-converted on their way into the output.
    void write_text(const char* text, size_t length) {
        if (!mapping_) {
            out_.append(text, length);
            return;
        }
        while (length > 0) {
            size_t piece = std::min(length, out_.capacity());
            scan_map_case(text, out_.reserve(piece), piece, *mapping_);
            out_.commit(piece);
            text += piece;
            length -= piece;
        }
    }

    OutputBuffer& out_;
    bool numbers_;
    std::optional<CaseMapping> mapping_;
    LineNumberText number_text_;
};

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

// RegMatcherFree releases a pattern's selection matcher.
struct RegMatcherFree {
    void operator()(RegMatcher* matcher) const { regmatcher_free(matcher); }
};

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
            if (selection_ == Selection::PATTERN && matcher_ == nullptr)
                process_pattern_by_line(begin, end);
            else if (settings_.invert)
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

    // next_match finds the first line of [from, end) that matches: that holds a find string
    // before any NUL of its own, or in which the pattern matches.
    bool next_match(char* from, char* end, MatchedLine* match) const {
        if (selection_ == Selection::PATTERN) {
            const char* line = regselect(matcher_.get(), from, end);
            if (line == nullptr) return false;
            char* start = from + (line - from);
            char* line_feed = const_cast<char*>(find_line_feed(start, end));
            const char* nul = find_nul(start, line_feed);
            *match = MatchedLine{start, nul != nullptr ? start + (nul - start) : line_feed, line_feed};
            return true;
        }
        while (from < end) {
            const char* hit = search_.find(from, end);
            if (hit == nullptr) return false;
            const char* before = find_last_line_feed(from, hit);
            char* start = before != nullptr ? from + (before - from) + 1 : from;
            char* line_feed = const_cast<char*>(find_line_feed(hit, end));
            const char* nul = find_nul(start, line_feed);
            // Past a NUL the line holds no text: look again within its text alone.
            if (nul == nullptr || search_.find(start, nul) != nullptr) {
                *match = MatchedLine{start, nul != nullptr ? start + (nul - start) : line_feed, line_feed};
                return true;
            }
            from = line_feed + 1;
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
            const char* text = regsearch(settings_.pattern.get(), match.start) == 1
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

    // process_pattern_by_line lets the pattern decide line by line with the backtracker,
    // for a pattern the engine could not prepare for selection; a line is searched as a C
    // string, its line feed turned into a NUL while it is looked at.
    void process_pattern_by_line(char* begin, char* end) {
        Regexp* pattern = settings_.pattern.get();
        for (char* line = begin; line < end;) {
            char* line_feed = const_cast<char*>(find_line_feed(line, end));
            *line_feed = '\0';
            bool matched = regsearch(pattern, line) == 1;
            if (matched != settings_.invert) {
                const char* text = line;
                size_t length = 0;
                if (matched && sub_template_ != nullptr)
                    text = expander_.expand(pattern, sub_template_, length);
                else
                    length = std::strlen(line);
                writer_.write_line(text, length, result_.lines_read);
                ++result_.lines_written;
            }
            *line_feed = '\n';
            ++result_.lines_read;
            line = line_feed + 1;
        }
    }

    // ADAPT_SAMPLE_SIZE: how much of the first block chooses the bytes the search probes.
    static constexpr size_t ADAPT_SAMPLE_SIZE = 32 * 1024;

    const FilterSettings& settings_;
    Selection selection_;
    LiteralSearch search_;
    bool adapted_ = false;
    std::unique_ptr<RegMatcher, RegMatcherFree> matcher_;  // -reg: the DFA and its prefilter
    LineWriter writer_;
    const char* sub_template_ = nullptr;
    TemplateExpander expander_;
    LoopResult result_;
};

// ReadBuffer holds the input read but not yet processed, [begin, end): the start of a line
// not yet complete. Each read goes right after it and, when it is short (the usual partial
// line), the kept bytes are moved so that the read starts on a page boundary, where the
// system copies fastest. A long line stays where it is and the buffer doubles around it, so
// a line of any length costs a number of copies that only grows with its logarithm.
class ReadBuffer {
public:
    ReadBuffer() { grow(ALIGNED_KEEP_LIMIT + READ_BLOCK_SIZE); }

    char* begin() { return base_ + begin_; }
    char* end() { return base_ + end_; }

    // room returns where the next read goes and how much it may bring. The byte after the
    // room is never read into, so the last line can always be given its line feed.
    std::pair<char*, size_t> room() {
        size_t kept = end_ - begin_;
        if (kept <= ALIGNED_KEEP_LIMIT) {
            place_kept((kept + READ_ALIGNMENT - 1) / READ_ALIGNMENT * READ_ALIGNMENT - kept);
            return {base_ + end_, READ_BLOCK_SIZE};
        }
        if (capacity_ - end_ < READ_BLOCK_SIZE / 2) {
            place_kept(0);
            if (capacity_ - end_ < READ_BLOCK_SIZE / 2) grow(2 * capacity_);
        }
        return {base_ + end_, capacity_ - end_};
    }

    void added(size_t size) { end_ += size; }
    void consumed_to(const char* at) { begin_ = size_t(at - base_); }

private:
    static constexpr size_t READ_ALIGNMENT = 4096;
    static constexpr size_t ALIGNED_KEEP_LIMIT = 16 * 1024;

    // place_kept moves the kept bytes to start at offset at.
    void place_kept(size_t at) {
        if (at == begin_) return;
        std::memmove(base_ + at, base_ + begin_, end_ - begin_);
        end_ = at + (end_ - begin_);
        begin_ = at;
    }

    void grow(size_t capacity) {
        std::vector<char> storage(capacity + 1 + READ_ALIGNMENT);
        uintptr_t address = reinterpret_cast<uintptr_t>(storage.data());
        char* base = storage.data() + (READ_ALIGNMENT - address % READ_ALIGNMENT) % READ_ALIGNMENT;
        if (base_ != nullptr) std::memcpy(base + begin_, base_ + begin_, end_ - begin_);
        storage_ = std::move(storage);
        base_ = base;
        capacity_ = capacity;
    }

    std::vector<char> storage_;
    char* base_ = nullptr;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
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
        if (!in.ready() && !out.flush()) return stopped(result, LoopEnd::WRITE_ERROR, out.error_number());
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
        const char* last_line_feed = find_last_line_feed(room, buffer.end());
        if (last_line_feed == nullptr) continue;  // still inside one line

        processor.process(buffer.begin(), const_cast<char*>(last_line_feed) + 1);
        if (out.failed()) return stopped(result, LoopEnd::WRITE_ERROR, out.error_number());
        buffer.consumed_to(last_line_feed + 1);
    }
}
