// text_mode.cpp: TextModeInput and TextModeOutput.
//
// Input is translated in place, in the caller's buffer, right after the raw read: one scan
// finds the 0x1A and each CR, and only the bytes after a dropped CR move. A CR that ends a
// raw read is held back until the next read shows whether a line feed follows, so a pair
// split by a read boundary still becomes one line feed. Covered by tests/text_mode_test.cpp
// and, on Windows, end to end by tests/windows_text_test.cpp.
#include "filter/text_mode.h"

#include <cstdint>
#include <cstring>

namespace {

// The scans below look at eight bytes at a time: the C runtime's memchr and memmove on
// Windows may go one byte at a time, and the runs between two CRs or two line feeds are
// short (one line).
constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint64_t HIGHS = 0x8080808080808080ull;

inline uint64_t load_word(const char* at) {
    uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
}

inline void store_word(char* at, uint64_t word) { std::memcpy(at, &word, 8); }

// has_byte reports whether one of the eight bytes of word is the byte spread over spread
// (ONES times the byte). The classic zero-byte test: exact as a yes or no.
inline bool has_byte(uint64_t word, uint64_t spread) {
    uint64_t x = word ^ spread;
    return ((x - ONES) & ~x & HIGHS) != 0;
}

constexpr uint64_t SPREAD_CR = ONES * '\r';
constexpr uint64_t SPREAD_CTRL_Z = ONES * CTRL_Z;
constexpr uint64_t SPREAD_LF = ONES * '\n';

}  // namespace

long TextModeInput::read(char* buffer, size_t size) {
    if (size == 0) return 0;
    if (held_byte_ >= 0) {
        buffer[0] = static_cast<char>(held_byte_);
        held_byte_ = -1;
        return 1;
    }
    if (size > 1) return read_block(buffer, size);
    // One byte asked for: a held CR and the byte after it need two places to be decided.
    char pair[2];
    long got = read_block(pair, 2);
    if (got <= 0) return got;
    buffer[0] = pair[0];
    if (got == 2) held_byte_ = static_cast<unsigned char>(pair[1]);
    return 1;
}

bool TextModeInput::ready() { return held_byte_ >= 0 || ended_ || raw_.ready(); }

// read_block is read for size >= 2: the held CR goes in front of the new raw bytes, and
// the whole is translated together.
long TextModeInput::read_block(char* buffer, size_t size) {
    for (;;) {
        if (ended_) {
            if (!held_cr_) return 0;
            held_cr_ = false;  // a CR that ends the input is an ordinary byte
            buffer[0] = '\r';
            return 1;
        }
        size_t filled = held_cr_ ? 1 : 0;
        if (held_cr_) buffer[0] = '\r';
        long got = raw_.read(buffer + filled, size - filled);
        if (got < 0) return got;  // the held CR stays held
        if (got == 0) {
            ended_ = true;
            continue;
        }
        held_cr_ = false;
        size_t kept = translate(buffer, filled + static_cast<size_t>(got));
        if (!ended_ && kept > 0 && buffer[kept - 1] == '\r') {
            held_cr_ = true;
            --kept;
        }
        if (kept > 0) return static_cast<long>(kept);
        // Nothing to hand on yet (a CR alone, or a 0x1A first): read on or report the end.
    }
}

// translate cuts data at its first 0x1A and turns each CR LF into LF; it returns the new
// size. A CR as the last byte is left for read_block to decide. Bytes move only after the
// first CR, each word of eight at most once.
size_t TextModeInput::translate(char* data, size_t size) {
    char* const end = data + size;
    char* in = data;
    while (end - in >= 8 && !has_byte(load_word(in), SPREAD_CR) && !has_byte(load_word(in), SPREAD_CTRL_Z)) in += 8;
    char* out = in;  // [data, out) is final; [in, end) is still to be moved down to out
    for (;;) {
        for (; end - in >= 8; in += 8, out += 8) {
            uint64_t word = load_word(in);
            if (has_byte(word, SPREAD_CR) || has_byte(word, SPREAD_CTRL_Z)) break;
            store_word(out, word);  // out <= in: only bytes already loaded are overwritten
        }
        while (in < end && *in != '\r' && *in != CTRL_Z) *out++ = *in++;
        if (in == end) break;
        if (*in == CTRL_Z) {
            ended_ = true;
            break;
        }
        if (in + 1 < end && in[1] == '\n') ++in;  // a CR LF pair: only the line feed is kept
        *out++ = *in++;
    }
    return static_cast<size_t>(out - data);
}

bool TextModeOutput::write_all(const char* data, size_t size) {
    const char* const end = data + size;
    char* const staging = staging_.get();
    // Each step adds at most nine bytes (seven, then CR LF), so it needs no check of its own.
    char* const staging_limit = staging + TEXT_MODE_STAGING_SIZE - 16;
    while (data < end) {
        char* out = staging;
        while (data < end && out < staging_limit) {
            if (end - data >= 8) {
                uint64_t word = load_word(data);
                if (!has_byte(word, SPREAD_LF)) {
                    store_word(out, word);
                    data += 8;
                    out += 8;
                    continue;
                }
            }
            // Up to and including the next line feed, which is in these eight bytes, or to
            // the end of a short tail.
            const char* stop = end - data >= 8 ? data + 8 : end;
            while (data < stop) {
                char c = *data++;
                if (c == '\n') {
                    *out++ = '\r';
                    *out++ = c;
                    break;
                }
                *out++ = c;
            }
        }
        if (!raw_.write_all(staging, static_cast<size_t>(out - staging))) return false;
    }
    return true;
}
