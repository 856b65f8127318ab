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
#include <memory>
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

// ByteClass is a set of bytes: one position of a class literal, or the bytes a search stops at.
class ByteClass {
public:
    constexpr ByteClass() = default;

    // of is the class of one byte; of_case_pair holds a letter in both its cases (any other
    // byte alone).
    static ByteClass of(unsigned char byte);
    static ByteClass of_case_pair(unsigned char byte);

    void add(unsigned char byte) { bits_[byte >> 6] |= uint64_t{1} << (byte & 63); }
    void add_range(unsigned char first, unsigned char last);
    bool contains(unsigned char byte) const { return (bits_[byte >> 6] >> (byte & 63)) & 1; }
    int count() const;
    bool empty() const { return (bits_[0] | bits_[1] | bits_[2] | bits_[3]) == 0; }
    // first is the smallest member; the class must not be empty.
    unsigned char first() const;
    // for_each calls visit with every member, in increasing order.
    template <typename Visit>
    void for_each(Visit visit) const {
        for (int word = 0; word < 4; ++word)
            for (uint64_t bits = bits_[word]; bits != 0; bits &= bits - 1)
                visit(static_cast<unsigned char>(word * 64 + __builtin_ctzll(bits)));
    }
    bool operator==(const ByteClass&) const = default;

private:
    uint64_t bits_[4] = {};
};

// ClassLiteral is a short string whose every position is a set of bytes: "[Ee][Rr][Rr][Oo][Rr]"
// or "TATA[AT]A[AT]". A plain literal is a class literal of single bytes.
using ClassLiteral = std::vector<ByteClass>;

// class_literal spells text as a class literal; with fold_case, each ASCII letter stands for
// both its cases.
ClassLiteral class_literal(std::string_view text, bool fold_case);

// LiteralKernel names the ways LiteralSearch finds its candidates (docs/scan.md).
enum class LiteralKernel {
    NONE,        // no literal can occur: find finds nothing
    PROBES,      // each literal tested by one to four of its positions, literal after literal
    BUCKETS_8,   // a window of every literal looked up by nibbles, 8 buckets of literals
    BUCKETS_16,  // the same with 16 buckets, 16 positions a step
};

// literal_kernel_name is the kernel's name as the benchmarks print it.
const char* literal_kernel_name(LiteralKernel kernel);

struct LiteralPlan;

// LiteralSearch finds occurrences of any of a set of literals in a buffer. A kernel finds
// candidate positions, every candidate is then compared whole: a few literals are probed
// one by one at their rarest positions, a larger set is looked up all at once by the
// nibbles of a window of each literal, at a cost that does not grow with the number of
// literals. Which kernel, which positions and windows: chosen from the literals and a
// table of byte frequencies of ordinary text, and again by adapt_to on a sample of the text
// at hand. None of these choices changes a result.
class LiteralSearch {
public:
    // Literals that are empty or may hold a line feed are kept but never found; the caller
    // decides what an empty literal means. With fold_case, ASCII letters match either case.
    LiteralSearch(const std::vector<std::string_view>& literals, bool fold_case);
    explicit LiteralSearch(const std::vector<ClassLiteral>& literals);
    LiteralSearch(LiteralSearch&&) noexcept;
    LiteralSearch& operator=(LiteralSearch&&) noexcept;
    ~LiteralSearch();

    // adapt_to measures [begin, end), a sample of the text to be searched (a few KiB to a
    // few tens of KiB), and chooses the kernel, the positions it probes and the windows it
    // looks up that stop least often there for the least work. Only the speed of find
    // changes, never its result.
    void adapt_to(const char* begin, const char* end);

    // find returns the start of the leftmost occurrence in [begin, end) of any literal (every
    // byte of it inside [begin, end)), or null; *which (when given) receives the index of
    // the literal found there (the first one in the list that occurs there).
    const char* find(const char* begin, const char* end, size_t* which = nullptr) const;

    // kernel is the kernel find runs.
    LiteralKernel kernel() const;

    // use_kernel makes find run kernel from now on, testing width positions of each literal
    // (1 to 4; 0 lets the search choose), whatever adapt_to measures later: for tests and
    // benchmarks. NONE gives the choice back to the search. When no literal can occur the
    // kernel stays NONE.
    void use_kernel(LiteralKernel kernel, uint32_t width = 0);

private:
    std::unique_ptr<LiteralPlan> plan_;
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
