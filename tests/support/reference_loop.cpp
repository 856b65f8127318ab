// reference_loop.cpp: filter_lines_by_line (reference_loop.h), the plain loop kept as the
// reference for the block-wide filter_lines (filter/block_loop.cpp).
//
// Input is read in large blocks into one buffer and every line is processed where it lies:
// memchr finds the line feed, which is overwritten with a NUL so the line is a C string
// without a copy. A line cut by the end of a block is moved to the front of the buffer
// before the next read, and the buffer doubles when a line fills it, so lines of any
// length are held whole and nothing is allocated per line. Output goes through an
// OutputBuffer that is flushed before every read. With -reg the pattern decides instead of
// the find strings, and with -sub a matched line is replaced by its expansion.
#include "support/reference_loop.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "filter/line_writer.h"
#include "filter/regex_options.h"
#include "regexp/regexp.h"

namespace {

struct CaseTable {
    unsigned char map[256];
};

constexpr CaseTable make_case_table(bool to_lower) {
    CaseTable table{};
    for (int c = 0; c < 256; ++c) {
        int mapped = c;
        if (to_lower && c >= 'A' && c <= 'Z') mapped = c + ('a' - 'A');
        if (!to_lower && c >= 'a' && c <= 'z') mapped = c - ('a' - 'A');
        table.map[c] = static_cast<unsigned char>(mapped);
    }
    return table;
}

constexpr CaseTable LOWER_TABLE = make_case_table(true);
constexpr CaseTable UPPER_TABLE = make_case_table(false);

void map_bytes(const CaseTable& table, const char* from, char* to, size_t length) {
    for (size_t i = 0; i < length; ++i) to[i] = static_cast<char>(table.map[static_cast<unsigned char>(from[i])]);
}

// LONG_FIND_STRING is the length from which a find string is searched with
// Knuth-Morris-Pratt. The plain search may compare the whole find string at every
// position of the line, which makes a long find string on a long line quadratic; KMP never
// looks at a byte of the line twice. Short find strings keep the faster memchr-based search,
// whose worst case is bounded by their length.
constexpr size_t LONG_FIND_STRING = 32;

// FindString is one -f text, ready to be searched for.
class FindString {
public:
    explicit FindString(std::string_view text) : text_(text) {
        if (text.size() < LONG_FIND_STRING) return;
        // fallback_[k]: the length of the longest proper border of text[0..k].
        fallback_.assign(text.size(), 0);
        for (size_t k = 1, border = 0; k < text.size(); ++k) {
            while (border > 0 && text[k] != text[border]) border = fallback_[border - 1];
            if (text[k] == text[border]) ++border;
            fallback_[k] = border;
        }
    }

    // occurs_in reports whether the text occurs in line; the empty text occurs in every line.
    bool occurs_in(std::string_view line) const {
        if (fallback_.empty()) return line.find(text_) != std::string_view::npos;
        size_t matched = 0;
        for (size_t i = 0; i < line.size(); ++i) {
            if (matched == 0) {  // skip quickly to the next possible start
                const void* first = std::memchr(line.data() + i, text_[0], line.size() - i);
                if (first == nullptr) return false;
                i = static_cast<size_t>(static_cast<const char*>(first) - line.data());
            }
            while (matched > 0 && line[i] != text_[matched]) matched = fallback_[matched - 1];
            if (line[i] == text_[matched] && ++matched == text_.size()) return true;
        }
        return false;
    }

private:
    std::string_view text_;
    std::vector<size_t> fallback_;  // empty for a short text
};

// LineProcessor holds what one pass needs besides the block buffer: the counters, the
// reusable scratch area for -ic, and the output.
class LineProcessor {
public:
    LineProcessor(const FilterSettings& settings, OutputBuffer& out) : settings_(settings), out_(out) {
        if (settings.to_lower)
            convert_ = &LOWER_TABLE;
        else if (settings.to_upper)
            convert_ = &UPPER_TABLE;
        for (int32_t i = 0; i < settings.find_count; ++i) find_strings_.emplace_back(settings.find_strings[i]);
        fold_for_find_ = settings.ignore_case && settings.find_count > 0;
        if (fold_for_find_) scratch_.resize(LINE_BUFFER_SIZE);
        pattern_ = settings.pattern.get();
        if (settings.sub_template) sub_template_ = settings.sub_template->c_str();
    }

    // process handles one line: text[length] is a NUL the loop put where the line feed was.
    void process(char* text, size_t length) {
        // A NUL inside the line ends its text for every later step.
        if (const void* nul = std::memchr(text, '\0', length)) length = static_cast<size_t>(static_cast<const char*>(nul) - text);

        bool selected;
        if (pattern_ != nullptr) {
            bool matched = regsearch(pattern_, text) == 1;
            selected = matched != settings_.invert;
            // Only a line selected because it matched is rewritten; the slots point into text.
            if (selected && matched && sub_template_ != nullptr) text = expander_.expand(pattern_, sub_template_, length);
        } else {
            selected = is_selected_by_find_strings(text, length);
        }

        if (selected) {
            ++result_.lines_written;
            if (settings_.line_numbers) {
                char number[LINE_NUMBER_TEXT_SIZE];
                out_.append(number, format_line_number(result_.lines_read, number));
            }
            if (convert_ != nullptr) map_bytes(*convert_, text, text, length);
            out_.append(text, length);
            out_.append_byte('\n');
        }
        ++result_.lines_read;
    }

    LoopResult& result() { return result_; }

private:
    bool is_selected_by_find_strings(const char* text, size_t length) {
        if (find_strings_.empty()) return true;  // no selection: every line, -iv has no effect

        std::string_view line(text, length);
        if (fold_for_find_) {
            if (scratch_.size() < length) scratch_.resize(length);
            map_bytes(LOWER_TABLE, text, scratch_.data(), length);
            line = std::string_view(scratch_.data(), length);
        }
        bool found = false;
        for (const FindString& find : find_strings_) {
            if (find.occurs_in(line)) {
                found = true;
                break;
            }
        }
        return found != settings_.invert;
    }

    const FilterSettings& settings_;
    OutputBuffer& out_;
    const CaseTable* convert_ = nullptr;
    bool fold_for_find_ = false;
    std::vector<FindString> find_strings_;  // the first find_count texts, in command-line order
    std::vector<char> scratch_;  // the lower-cased line under -ic, reused for every line
    Regexp* pattern_ = nullptr;  // -reg: decides selection in place of the find strings
    const char* sub_template_ = nullptr;
    TemplateExpander expander_;  // -sub: the expansion that replaces a matched line
    LoopResult result_;
};

}  // namespace

LoopResult filter_lines_by_line(const FilterSettings& settings, InputSource& in, OutputBuffer& out) {
    LineProcessor processor(settings, out);
    LoopResult& result = processor.result();

    // block holds [0, end) of unprocessed input: one partial line once the complete ones are
    // done. The last byte is never read into, so a final line without a line feed still has
    // room for its NUL.
    std::vector<char> block(READ_BLOCK_SIZE + 1);
    size_t begin = 0;    // start of the current line
    size_t scanned = 0;  // bytes before this hold no line feed of the current line
    size_t end = 0;      // end of the data read

    for (;;) {
        char* base = block.data();
        while (scanned < end) {
            char* line_feed = static_cast<char*>(std::memchr(base + scanned, '\n', end - scanned));
            if (line_feed == nullptr) {
                scanned = end;
                break;
            }
            *line_feed = '\0';
            processor.process(base + begin, static_cast<size_t>(line_feed - (base + begin)));
            if (out.failed()) {
                result.end = LoopEnd::WRITE_ERROR;
                result.error_number = out.error_number();
                return result;
            }
            begin = scanned = static_cast<size_t>(line_feed - base) + 1;
        }

        if (begin > 0) {  // keep only the partial line, at the front
            std::memmove(base, base + begin, end - begin);
            end -= begin;
            scanned -= begin;
            begin = 0;
        }
        size_t capacity = block.size() - 1;
        if (capacity - end < READ_BLOCK_SIZE / 2) {  // a long line: double so reads stay large
            block.resize(2 * capacity + 1);
            base = block.data();
            capacity = block.size() - 1;
        }

        if (!out.flush()) {
            result.end = LoopEnd::WRITE_ERROR;
            result.error_number = out.error_number();
            return result;
        }
        long got = in.read(base + end, capacity - end);
        if (got < 0) {
            result.end = LoopEnd::READ_ERROR;
            result.error_number = errno;
            return result;
        }
        if (got == 0) {
            if (end > 0) {  // a last line without a line feed
                base[end] = '\0';
                processor.process(base, end);
            }
            if (out.failed()) {
                result.end = LoopEnd::WRITE_ERROR;
                result.error_number = out.error_number();
            }
            return result;
        }
        end += static_cast<size_t>(got);
    }
}
