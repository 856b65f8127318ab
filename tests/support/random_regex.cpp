// random_regex.cpp: the pattern and line generators behind matcher_diff_test.
//
// The pattern generator is a small recursive descent that mirrors the grammar
// (alternation, branch, piece, atom, set). It tracks whether what it wrote can match the
// empty string so that `*` and `+` mostly get an operand the compiler accepts; a small,
// fixed share of choices is invalid on purpose (reversed ranges, unclosed sets, nested
// operators, a tenth group, raw junk) so that the skip path is exercised too.
#include "support/random_regex.h"

#include <utility>

namespace {

constexpr std::string_view META_CHARS = "^$.[()|?+*\\";

// The bytes literals are drawn from: few, so that random lines hit them often, and
// including bytes above 0x7F, which must behave as ordinary characters.
unsigned char random_literal_byte(TestRandom& random) {
    static constexpr unsigned char HIGH_BYTES[] = {0xE9, 0xC9, 0xFF, 0x80};
    const uint32_t r = random.below(100);
    if (r < 40) return 'a';
    if (r < 65) return 'b';
    if (r < 77) return 'c';
    if (r < 83) return 'x';
    if (r < 88) return ' ';
    return HIGH_BYTES[random.below(4)];
}

// The bytes the wide options draw from: an ordinary byte for a literal run (a third of them
// above 0x7F), and any byte but NUL, `]` and `-` for a set member or range bound.
char wide_literal_byte(TestRandom& random) {
    for (;;) {
        const char c = random.below(3) == 0 ? static_cast<char>(0x80 + random.below(128))
                                            : "abcxyz]{-}"[random.below(10)];
        if (META_CHARS.find(c) == std::string_view::npos) return c;
    }
}

char wide_set_byte(TestRandom& random) {
    for (;;) {
        const char c = random.below(4) == 0 ? static_cast<char>(1 + random.below(255)) : "abc.*^(|\\"[random.below(9)];
        if (c != ']' && c != '-') return c;
    }
}

class PatternBuilder {
public:
    PatternBuilder(TestRandom& random, const PatternOptions& options)
        : random_(random), max_pieces_(options.max_pieces), valid_(options.valid_only), wide_(options.wide_bytes) {}

    std::string build(PatternShape* shape) {
        if (!valid_ && random_.chance(3)) return junk();
        alternation(0);
        if (shape != nullptr) {
            shape->groups = groups_;
            shape->top_alternation = top_branches_ > 1;
        }
        return std::move(text_);
    }

private:
    // Each step returns whether what it wrote can match the empty string.
    bool alternation(int depth) {
        const uint32_t r = random_.below(100);
        const int branches = r < 65 ? 1 : r < 88 ? 2 : 3;
        if (depth == 0) top_branches_ = branches;
        bool can_be_empty = false;
        for (int i = 0; i < branches; ++i) {
            if (i > 0) text_ += '|';
            can_be_empty |= branch(depth);
        }
        return can_be_empty;
    }

    bool branch(int depth) {
        const int limit = depth == 0 ? max_pieces_ : (max_pieces_ + 1) / (depth + 1);
        int pieces = static_cast<int>(random_.below(static_cast<uint32_t>(limit) + 1));
        // Empty branches are legal and worth a few cases, not one case in six.
        if (pieces == 0 && random_.chance(70)) pieces = 1;
        bool can_be_empty = true;
        for (int i = 0; i < pieces; ++i) can_be_empty &= piece(depth);
        return can_be_empty;
    }

    bool piece(int depth) {
        const bool atom_empty = atom(depth);
        if (!random_.chance(35)) return atom_empty;
        char op = "*+?"[random_.below(3)];
        // An empty-capable operand of * or + is refused by the compiler: mostly avoid it.
        if (atom_empty && op != '?' && (valid_ || !random_.chance(5))) op = '?';
        text_ += op;
        if (!valid_ && random_.chance(2)) text_ += "*+?"[random_.below(3)];  // nested: refused
        return op != '+' || atom_empty;
    }

    bool atom(int depth) {
        const uint32_t r = random_.below(100);
        if (r < 40) {
            const uint32_t length = 1 + random_.below(wide_ ? 4 : 3);
            for (uint32_t i = 0; i < length; ++i) text_ += literal_byte();
            return false;
        }
        if (r < 50) {
            text_ += '.';
            return false;
        }
        if (r < 62) {
            set();
            return false;
        }
        if (r < 80) {
            // A tenth group is refused; let a few patterns try one.
            if (depth < 4 && (groups_ < 9 || (!valid_ && random_.chance(3)))) {
                ++groups_;
                text_ += '(';
                const bool inner_empty = alternation(depth + 1);
                text_ += ')';
                return inner_empty;
            }
            text_ += 'a';
            return false;
        }
        if (r < 85) {
            text_ += '^';
            return true;
        }
        if (r < 90) {
            text_ += '$';
            return true;
        }
        text_ += '\\';
        if (wide_) {
            text_ += static_cast<char>(1 + random_.below(255));  // any byte but NUL quotes itself
            return false;
        }
        const uint32_t q = random_.below(4);
        if (q == 0)
            text_ += META_CHARS[random_.below(static_cast<uint32_t>(META_CHARS.size()))];
        else if (q == 1)
            text_ += 'n';  // no escape sequences: the letter n
        else
            text_ += static_cast<char>(random_literal_byte(random_));
        return false;
    }

    void set() {
        text_ += '[';
        if (random_.chance(30)) text_ += '^';
        bool leading = false;  // a member stands right after '[' or "[^"
        if (random_.chance(12)) text_ += ']', leading = true;
        else if (random_.chance(10)) text_ += '-', leading = true;
        const uint32_t members = 1 + random_.below(4);
        for (uint32_t i = 0; i < members; ++i) {
            const uint32_t r = random_.below(100);
            if (r < 55) {
                const char c = set_byte();
                if (valid_ && !leading && c == '^') text_ += 'a';  // not the negation
                text_ += c;
            } else if (r < 80) {
                unsigned char low = static_cast<unsigned char>(set_byte());
                unsigned char high = static_cast<unsigned char>(set_byte());
                if (low > high && (valid_ || !random_.chance(5))) std::swap(low, high);  // reversed: refused
                if (valid_ && !leading && low == '^') text_ += 'a';
                text_ += static_cast<char>(low);
                text_ += '-';
                text_ += static_cast<char>(high);
            } else if (r < 86) {
                text_ += random_.chance(50) ? "\xE0-\xFF" : "\xC0-\xFF";
            } else if (r < 93) {
                // Only special right after '[': there a valid pattern gets a member before it.
                if (valid_ && !leading && i == 0) text_ += 'a';
                text_ += '^';
            } else {
                text_ += '\\';  // no escapes inside a set
            }
            leading = true;
        }
        if (random_.chance(10)) text_ += '-';
        if (valid_ || !random_.chance(2)) text_ += ']';  // else unclosed: refused (or swallows the rest)
    }

    char literal_byte() { return wide_ ? wide_literal_byte(random_) : static_cast<char>(random_literal_byte(random_)); }
    char set_byte() { return wide_ ? wide_set_byte(random_) : static_cast<char>(random_literal_byte(random_)); }

    std::string junk() {
        static constexpr std::string_view TOKENS = "ab.()|*+?^$[]\\-";
        const uint32_t length = 1 + random_.below(8);
        std::string junk_text;
        for (uint32_t i = 0; i < length; ++i) junk_text += TOKENS[random_.below(static_cast<uint32_t>(TOKENS.size()))];
        return junk_text;
    }

    TestRandom& random_;
    int max_pieces_;
    bool valid_;
    bool wide_;
    int groups_ = 0;
    int top_branches_ = 1;
    std::string text_;
};

}  // namespace

uint64_t TestRandom::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint32_t TestRandom::below(uint32_t bound) {
    return static_cast<uint32_t>(next() % bound);
}

std::string random_pattern(TestRandom& random, int max_pieces) {
    PatternOptions options;
    options.max_pieces = max_pieces;
    return random_pattern(random, options);
}

std::string random_pattern(TestRandom& random, const PatternOptions& options, PatternShape* shape) {
    return PatternBuilder(random, options).build(shape);
}

std::string random_split_pattern(TestRandom& random) {
    auto part = [&random](int max_pieces) {
        if (random.chance(15)) return std::string();
        PatternOptions options;
        options.max_pieces = max_pieces;
        options.valid_only = true;
        PatternShape shape;
        std::string text = random_pattern(random, options, &shape);
        return shape.top_alternation ? "(" + text + ")" : text;
    };
    std::string pattern = random.chance(10) ? "^" : "";
    pattern += part(1 + static_cast<int>(random.below(4)));
    // The literal: bytes lines are made of, a rare one now and then, never an operator's operand.
    static constexpr char LITERAL_BYTES[] = {'a', 'b', 'c', 'x', '=', '_', ' ', '\xE9'};
    const uint32_t length = 1 + random.below(3);
    for (uint32_t i = 0; i < length; ++i) pattern += LITERAL_BYTES[random.below(sizeof LITERAL_BYTES)];
    pattern += part(1 + static_cast<int>(random.below(4)));
    if (random.chance(10)) pattern += '$';
    return pattern;
}

std::string random_line(TestRandom& random, std::string_view pattern, size_t long_length) {
    // The pattern's plain bytes, in order: both a pool of single bytes (weighted by how
    // often they occur) and a source of short stretches that recreate its literals.
    std::string plain;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size()) {
            plain += pattern[++i];  // a quoted byte stands for itself
        } else if (META_CHARS.find(c) == std::string_view::npos && c != ']' && c != '-') {
            plain += c;
        }
    }
    if (plain.empty()) plain = "ab";

    size_t length;
    const uint32_t r = random.below(100);
    if (r < 8 && long_length > 60)
        length = 61 + random.below(static_cast<uint32_t>(long_length - 60));
    else if (r < 20)
        length = random.below(6);
    else
        length = random.below(61);

    std::string line;
    while (line.size() < length) {
        const uint32_t kind = random.below(100);
        if (kind < 60) {
            line += plain[random.below(static_cast<uint32_t>(plain.size()))];
        } else if (kind < 85) {
            const size_t from = random.below(static_cast<uint32_t>(plain.size()));
            const size_t count = 1 + random.below(4);
            line += plain.substr(from, count);
        } else {
            static constexpr char OTHER_BYTES[] = {'a', 'b', 'c', 'x', ' ', '\xE9', '\xC9', 'z'};
            line += OTHER_BYTES[random.below(sizeof OTHER_BYTES)];
        }
    }
    line.resize(length);
    return line;
}
