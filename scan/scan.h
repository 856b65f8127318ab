// scan.h: the byte-scanning kernels shared by the line filter and the regular-expression
// engine: count a byte, measure a stretch of lines, map letter case, and find literals.
//
// Each kernel has a plain form that runs anywhere and a vector form (AVX2) that is chosen
// at run time when the processor has it. Both forms give the same results; the tests run
// every kernel in both forms against a naive model (tests/scan_test.cpp). The vector forms
// can be switched off for a whole run with the environment variable QUARNEL_KERNELS=plain,
// or from a test with scan_select_kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// KernelLevel names a family of kernels.
enum class KernelLevel {
    PLAIN,  // portable C++, byte at a time or word at a time
    AVX2,   // 32 bytes at a time; needs AVX2, BMI1 and POPCNT
};

// scan_kernel_level returns the family in use. The first call chooses it: AVX2 when the
// processor has it, unless QUARNEL_KERNELS=plain is set.
KernelLevel scan_kernel_level();

// scan_select_kernels switches to level for later calls and returns the level in use before.
// A level the processor lacks falls back to PLAIN.
KernelLevel scan_select_kernels(KernelLevel level);

// scan_find_byte returns the first byte of [begin, end) that equals byte, or null.
inline const char* scan_find_byte(const char* begin, const char* end, char byte) {
    return static_cast<const char*>(std::memchr(begin, byte, size_t(end - begin)));
}
inline char* scan_find_byte(char* begin, char* end, char byte) {
    return static_cast<char*>(std::memchr(begin, byte, size_t(end - begin)));
}

// scan_find_line_end returns the first line feed or NUL of [begin, end), or null: where the
// text of the line that begins at begin ends.
const char* scan_find_line_end(const char* begin, const char* end);

// scan_find_last_byte returns the last byte of [begin, end) that equals byte, or null: the
// start of a line, looked for back from a hit inside it.
const char* scan_find_last_byte(const char* begin, const char* end, char byte);

// scan_count_byte returns how many bytes of [begin, end) equal byte.
size_t scan_count_byte(const char* begin, const char* end, char byte);

// StretchStats describes a stretch of input: its line feeds and its first NUL, if any.
struct StretchStats {
    size_t line_feeds;
    const char* first_nul;  // null when the stretch holds no NUL
};

// scan_stretch counts the line feeds of [begin, end) and finds its first NUL, in one pass.
StretchStats scan_stretch(const char* begin, const char* end);

// CaseMapping is the letter-case conversion applied by scan_map_case; only ASCII letters
// change.
enum class CaseMapping { TO_LOWER, TO_UPPER };

// scan_map_case writes the size bytes at from, converted, to to (which may equal from).
void scan_map_case(const char* from, char* to, size_t size, CaseMapping mapping);

// byte_rarity ranks how common a byte is in ordinary text: 0 for the rarest, 255 for the
// most common (the blank). Measured on a mix of C headers, manual pages and documentation.
uint8_t byte_rarity(unsigned char byte);

// LiteralSearch finds occurrences of any of a few literals in a buffer (each literal adds
// a little to the cost of every block searched). A candidate is found by testing two bytes
// of each literal at every position at once, at first its two rarest bytes in ordinary
// text, after adapt_to the two that are rarest together in the text at hand; then the
// whole literal is compared. With fold_case, ASCII letters match either case.
class LiteralSearch {
public:
    // Literals that are empty or hold a line feed are kept but never found; the caller
    // decides what an empty literal means.
    LiteralSearch(const std::vector<std::string_view>& literals, bool fold_case);

    // adapt_to chooses, for each literal, the two bytes that stop the search least often in
    // [begin, end), a sample of the text to be searched (a few KiB suffice). Which bytes
    // are probed changes only the speed of find, never its result.
    void adapt_to(const char* begin, const char* end);

    // find returns the start of the leftmost occurrence in [begin, end) of any literal, or
    // null; *which (when given) receives the index of the literal found there (the first
    // one in the list that occurs there).
    const char* find(const char* begin, const char* end, size_t* which = nullptr) const;

    // Probe is the two-byte test of one literal: a position s is a candidate when
    // (s[offset1] | fold1) == byte1 and (s[offset2] | fold2) == byte2.
    struct Probe {
        uint32_t offset1, offset2;
        uint8_t byte1, byte2;
        uint8_t fold1, fold2;  // 0x20 to compare a letter without case, else 0
    };

private:
    bool matches_at(size_t index, const char* at, const char* end) const;

    std::vector<std::string> literals_;
    std::vector<size_t> searched_;  // indices of the literals that can occur
    std::vector<Probe> probes_;     // one per searched literal, in the same order
    uint32_t max_offset_ = 0;       // the largest probe offset
    bool fold_case_;
};

// ByteSetSearch finds the first (or last) byte of a buffer that belongs to a set: the few
// bytes that leave a DFA state which loops on all the others, or the line feed and NUL that
// end a line. The vector form classifies 32 bytes at
// once by their two nibbles (each byte's low and high nibble index two 16-entry tables of
// bucket bits, and a byte is a candidate when the two share a bit); a set whose high
// nibbles need more than eight different low-nibble patterns gets a superset there, so
// every candidate is checked against the exact table. Both forms return the same position.
class ByteSetSearch {
public:
    // member[b] tells whether byte b belongs to the set.
    explicit ByteSetSearch(const bool member[256]);

    // find returns the first position in [begin, end) whose byte is in the set, or null.
    const char* find(const char* begin, const char* end) const;

    // find_last returns the last position in [begin, end) whose byte is in the set, or null:
    // the selection matcher looks back from a literal for the start of its line.
    const char* find_last(const char* begin, const char* end) const;

    struct Tables {
        uint8_t low[16];    // bucket bits by low nibble
        uint8_t high[16];   // bucket bits by high nibble
        bool member[256];   // the exact set
        int count;          // how many bytes the set holds
        unsigned char only; // the byte, when count is 1
    };

private:
    Tables tables_;
};
