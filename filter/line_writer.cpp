// line_writer.cpp: format_line_number, LineNumberText and LineWriter (line_writer.h).
#include "filter/line_writer.h"

#include <algorithm>
#include <charconv>
#include <cstring>

size_t format_line_number(uint64_t number, char* text) {
    char digits[20];
    char* digits_end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    size_t count = static_cast<size_t>(digits_end - digits);
    size_t pad = count < 5 ? 5 - count : 0;
    std::memset(text, ' ', pad);
    std::memcpy(text + pad, digits, count);
    text[pad + count] = ':';
    text[pad + count + 1] = ' ';
    return pad + count + 2;
}

std::string_view LineNumberText::text(uint64_t number) {
    if (number == number_ + 1)
        increment();
    else if (number != number_)
        set(number);
    return std::string_view(text_ + first_, TEXT_END + 2 - first_);
}

void LineNumberText::set(uint64_t number) {
    number_ = number;
    std::memset(text_, ' ', TEXT_END);
    char formatted[LINE_NUMBER_TEXT_SIZE];
    size_t length = format_line_number(number, formatted);
    first_ = TEXT_END + 2 - length;
    std::memcpy(text_ + first_, formatted, length);
}

void LineNumberText::increment() {
    ++number_;
    for (size_t at = TEXT_END - 1;; --at) {
        if (text_[at] == ' ') {  // carried past the first digit: one more digit
            text_[at] = '1';
            first_ = std::min(first_, at);
            return;
        }
        if (text_[at] != '9') {
            ++text_[at];
            return;
        }
        text_[at] = '0';
    }
}

LineWriter::LineWriter(const FilterSettings& settings, OutputBuffer& out) : out_(out), numbers_(settings.line_numbers) {
    if (settings.to_lower)
        mapping_ = CaseMapping::TO_LOWER;
    else if (settings.to_upper)
        mapping_ = CaseMapping::TO_UPPER;
}

void LineWriter::write_line(const char* text, size_t length, uint64_t number) {
    if (numbers_) {
        std::string_view prefix = number_text_.text(number);
        out_.append(prefix.data(), prefix.size());
    }
    write_text(text, length);
    out_.append_byte('\n');
}

uint64_t LineWriter::write_stretch(const char* begin, const char* end, uint64_t first) {
    if (begin == end) return 0;
    if (numbers_) return write_each(begin, end, first);
    StretchStats stats = scan_stretch(begin, end);
    if (stats.first_nul == nullptr) {
        write_text(begin, size_t(end - begin));
        return stats.line_feeds;
    }
    // Up to the line that holds the NUL in one piece, that line cut at the NUL, then on.
    const char* line = begin;
    if (const char* before = scan_find_last_byte(begin, stats.first_nul, '\n'))
        line = before + 1;
    uint64_t count = write_stretch(begin, line, first);
    const char* line_feed = scan_find_byte(stats.first_nul, end, '\n');
    write_line(line, size_t(stats.first_nul - line), first + count);
    return count + 1 + write_stretch(line_feed + 1, end, first + count + 1);
}

// write_each writes the lines of [begin, end) one by one, each with its number. A short
// line goes into the output in one place: its number, its text and its line feed.
uint64_t LineWriter::write_each(const char* begin, const char* end, uint64_t first) {
    bool has_nul = scan_stretch(begin, end).first_nul != nullptr;
    bool in_one_place = !mapping_ && out_.capacity() >= SHORT_LINE + LINE_NUMBER_TEXT_SIZE + 1;
    uint64_t number = first;
    for (const char* line = begin; line < end; ++number) {
        const char* line_feed = scan_find_byte(line, end, '\n');
        const char* text_end = line_feed;
        if (has_nul)
            if (const char* nul = scan_find_byte(line, line_feed, '\0')) text_end = nul;
        size_t length = size_t(text_end - line);
        if (!in_one_place || length > SHORT_LINE) {
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

// write_text writes bytes as they are or case-converted on their way into the output.
void LineWriter::write_text(const char* text, size_t length) {
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
