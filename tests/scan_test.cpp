// scan_test.cpp: every kernel of scan/ in both families against a naive model.
//
// Random buffers are drawn from small alphabets rich in the bytes the kernels care about
// (line feed, NUL, letters of both cases, bytes above 0x7F), at every length up to a few
// hundred bytes and at odd offsets, so each vector loop meets its block boundaries, its
// tail and unaligned starts. Literals are often cut from the buffer itself so that there
// is something to find, and they overlap each other and themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "scan/scan.h"
#include "support/guarded_buffer.h"

namespace {

const std::vector<KernelLevel> LEVELS = {KernelLevel::PLAIN, KernelLevel::AVX2};

// With each kernel family in turn (the vector one only where the processor has it).
template <typename Body>
void for_each_level(Body body) {
    for (KernelLevel level : LEVELS) {
        KernelLevel before = scan_select_kernels(level);
        if (scan_kernel_level() == level) {
            SCOPED_TRACE(level == KernelLevel::PLAIN ? "plain kernels" : "AVX2 kernels");
            body();
        }
        scan_select_kernels(before);
    }
}

const std::vector<std::string> ALPHABETS = {
    std::string("ab\n", 3),
    std::string("aAbB\n\0", 6),
    std::string("function \n\xE9\xC9", 12),
    std::string("xX\r\n\0\x1A\x80\xFF zZ@[`{", 15),
    std::string("ACGTACGTACGTACGT\n", 17),
};

std::string random_buffer(std::mt19937& rng, size_t length) {
    const std::string& alphabet = ALPHABETS[rng() % ALPHABETS.size()];
    std::string text(length, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    return text;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c; }

// naive_find is LiteralSearch::find by definition: the first position, then the first
// literal in list order, that occurs there.
const char* naive_find(const std::vector<std::string>& literals, bool fold, const char* begin, const char* end,
                       size_t* which) {
    for (const char* s = begin; s < end; ++s) {
        for (size_t k = 0; k < literals.size(); ++k) {
            const std::string& lit = literals[k];
            if (lit.empty() || lit.find('\n') != std::string::npos || size_t(end - s) < lit.size()) continue;
            bool equal = true;
            for (size_t i = 0; i < lit.size() && equal; ++i)
                equal = fold ? lower(s[i]) == lower(lit[i]) : s[i] == lit[i];
            if (equal) {
                *which = k;
                return s;
            }
        }
    }
    return nullptr;
}

TEST(Scan, CountsSearchesStretchesAndCaseMapsAgreeWithNaiveModels) {
    std::mt19937 rng(20261207);
    for_each_level([&] {
        for (int round = 0; round < 4000; ++round) {
            size_t length = rng() % 300;
            size_t offset = rng() % 8;
            std::string text = std::string(offset, 'q') + random_buffer(rng, length);
            const char* begin = text.data() + offset;
            const char* end = text.data() + text.size();
            std::string slice(begin, end);

            char byte = "\n\0aZ\xE9"[rng() % 5];
            size_t count = 0;
            for (char c : slice) count += c == byte;
            ASSERT_EQ(scan_count_byte(begin, end, byte), count) << "length " << length;

            size_t line_end = slice.find_first_of(std::string("\n\0", 2));
            ASSERT_EQ(scan_find_line_end(begin, end), line_end == std::string::npos ? nullptr : begin + line_end);
            size_t last = slice.rfind(byte);
            ASSERT_EQ(scan_find_last_byte(begin, end, byte), last == std::string::npos ? nullptr : begin + last);

            StretchStats stats = scan_stretch(begin, end);
            size_t nul = slice.find('\0');
            ASSERT_EQ(stats.first_nul, nul == std::string::npos ? nullptr : begin + nul);
            size_t feeds = 0;
            for (char c : slice) feeds += c == '\n';
            ASSERT_EQ(stats.line_feeds, feeds);

            for (CaseMapping mapping : {CaseMapping::TO_LOWER, CaseMapping::TO_UPPER}) {
                std::string expected = slice;
                for (char& c : expected) {
                    if (mapping == CaseMapping::TO_LOWER && c >= 'A' && c <= 'Z') c = char(c + 32);
                    if (mapping == CaseMapping::TO_UPPER && c >= 'a' && c <= 'z') c = char(c - 32);
                }
                std::string mapped(slice.size(), '?');
                scan_map_case(begin, mapped.data(), slice.size(), mapping);
                ASSERT_EQ(mapped, expected);
                std::string in_place = slice;
                scan_map_case(in_place.data(), in_place.data(), in_place.size(), mapping);
                ASSERT_EQ(in_place, expected);
            }
        }
    });
}

// naive_find_classes is naive_find for class literals.
const char* naive_find_classes(const std::vector<ClassLiteral>& literals, const char* begin, const char* end,
                               size_t* which) {
    for (const char* s = begin; s < end; ++s) {
        for (size_t k = 0; k < literals.size(); ++k) {
            const ClassLiteral& lit = literals[k];
            bool searched = !lit.empty() && size_t(end - s) >= lit.size();
            for (const ByteClass& set : lit) searched = searched && !set.contains('\n');
            if (!searched) continue;
            bool equal = true;
            for (size_t i = 0; i < lit.size() && equal; ++i) equal = lit[i].contains(static_cast<unsigned char>(s[i]));
            if (equal) {
                *which = k;
                return s;
            }
        }
    }
    return nullptr;
}

uint64_t environment_number(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// KernelChoice is how a test has a LiteralSearch choose: by itself (NONE), or one kernel
// forced, testing width positions (0: its own choice).
struct KernelChoice {
    LiteralKernel kernel;
    uint32_t width;
};

std::vector<KernelChoice> kernel_choices() {
    std::vector<KernelChoice> choices = {{LiteralKernel::NONE, 0}};
    for (LiteralKernel kernel : {LiteralKernel::PROBES, LiteralKernel::BUCKETS_8, LiteralKernel::BUCKETS_16})
        for (uint32_t width = 0; width <= 4; ++width) choices.push_back({kernel, width});
    return choices;
}

// random_class_literal draws a class literal of length positions, often spelled after a
// stretch of text so that it occurs: single bytes, case pairs, small sets, now and then a
// large set, and rarely a set that holds the line feed (never found).
ClassLiteral random_class_literal(std::mt19937& rng, const std::string& text, size_t length) {
    const bool from_text = !text.empty() && rng() % 3 != 0;
    const size_t at = from_text ? rng() % text.size() : 0;
    const std::string alphabet = random_buffer(rng, 8) + "\n";
    ClassLiteral literal;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char base = from_text && at + i < text.size() ? static_cast<unsigned char>(text[at + i])
                                                                     : static_cast<unsigned char>(alphabet[rng() % 8]);
        ByteClass set = ByteClass::of(base);
        const unsigned kind = rng() % 20;
        if (kind < 4) {
            set = ByteClass::of_case_pair(base);
        } else if (kind < 8) {
            for (unsigned extra = 1 + rng() % 3; extra > 0; --extra) set.add(static_cast<unsigned char>(alphabet[rng() % 8]));
        } else if (kind == 8) {
            for (unsigned extra = rng() % 60; extra > 0; --extra) set.add(static_cast<unsigned char>(rng() % 256));
        } else if (kind == 9 && rng() % 8 == 0) {
            set.add('\n');
        }
        literal.push_back(set);
    }
    return literal;
}

// SearchCase is a set of literals, as strings (folded or not) or as class literals, and
// the naive answer for it.
struct SearchCase {
    bool by_strings = false;
    bool fold = false;
    std::vector<std::string> strings;
    std::vector<ClassLiteral> classes;

    LiteralSearch make() const {
        if (!by_strings) return LiteralSearch(classes);
        std::vector<std::string_view> views(strings.begin(), strings.end());
        return LiteralSearch(views, fold);
    }

    const char* expected(const char* begin, const char* end, size_t* which) const {
        return by_strings ? naive_find(strings, fold, begin, end, which) : naive_find_classes(classes, begin, end, which);
    }
};

SearchCase random_case(std::mt19937& rng, const std::string& text) {
    SearchCase c;
    // How many literals: a few, a dozen, up to 64, now and then more (groups of literals
    // then share a bit of the bucket plan).
    const unsigned shape = rng() % 20;
    const size_t count = shape < 8    ? 1 + rng() % 4
                         : shape < 14 ? 5 + rng() % 12
                         : shape < 19 ? 17 + rng() % 48
                                      : 65 + rng() % 100;
    c.by_strings = rng() % 2 == 0;
    c.fold = c.by_strings && rng() % 2 == 0;
    for (size_t k = 0; k < count; ++k) {
        const unsigned spread = rng() % 40;  // mostly short, some of a few words, now and then long
        const size_t length = 1 + rng() % (spread == 0 ? 80 : spread < 10 ? 20 : 6);
        if (!c.by_strings) {
            c.classes.push_back(random_class_literal(rng, text, length));
            continue;
        }
        if (!text.empty() && rng() % 3 != 0) {  // cut from the text: something to find
            c.strings.push_back(text.substr(rng() % text.size(), length));
        } else {
            c.strings.push_back(random_buffer(rng, length));
        }
        if (rng() % 8 == 0) c.strings.back() = c.strings[rng() % c.strings.size()] + c.strings.back();  // overlaps
        if (rng() % 40 == 0) c.strings.back().clear();
        if (c.fold)  // the search folds the literals as well as the text
            for (char& ch : c.strings.back())
                if (ch >= 'a' && ch <= 'z' && rng() % 2) ch = char(ch - 32);
    }
    return c;
}

// describe spells a case's literals for a failure message: a class as its bytes in hex.
std::string describe(const SearchCase& c) {
    std::string text = c.by_strings ? (c.fold ? "folded strings:" : "strings:") : "class literals:";
    char hex[8];
    if (c.by_strings) {
        for (const std::string& lit : c.strings) {
            text += " \"";
            for (char ch : lit) {
                std::snprintf(hex, sizeof hex, ch >= 0x20 && ch < 0x7F ? "%c" : "\\x%02X", static_cast<unsigned char>(ch));
                text += hex;
            }
            text += "\"";
        }
        return text;
    }
    for (const ClassLiteral& lit : c.classes) {
        text += " ";
        for (const ByteClass& set : lit) {
            text += "[";
            set.for_each([&](unsigned char b) {
                std::snprintf(hex, sizeof hex, "%02X", b);
                text += hex;
            });
            text += "]";
        }
    }
    return text;
}

// Span is a stretch of a buffer searched, and the naive answer there.
struct Span {
    size_t from, to;
    const char* expected;  // as an offset from the buffer, or null
    size_t which;
};

// check_every_kernel runs every kernel choice of every family over the spans of buffer.
void check_every_kernel(const SearchCase& c, const char* buffer, const std::vector<Span>& spans,
                        std::string_view sample, bool adapt, const std::string& where) {
    for_each_level([&] {
        for (const KernelChoice& choice : kernel_choices()) {
            LiteralSearch search = c.make();
            if (choice.kernel != LiteralKernel::NONE) search.use_kernel(choice.kernel, choice.width);
            if (adapt) search.adapt_to(sample.data(), sample.data() + sample.size());
            if (choice.kernel != LiteralKernel::NONE && search.kernel() != LiteralKernel::NONE) {
                ASSERT_EQ(search.kernel(), choice.kernel) << where;
            }
            for (const Span& span : spans) {
                size_t which = 999;
                const char* found = search.find(buffer + span.from, buffer + span.to, &which);
                ASSERT_EQ(found, span.expected) << where << " kernel " << literal_kernel_name(search.kernel()) << " width "
                                                << choice.width << " span " << span.from << "-" << span.to << "\n"
                                                << describe(c) << "\ntext: " << std::string(buffer + span.from, buffer + span.to);
                if (found != nullptr) {
                    ASSERT_EQ(which, span.which) << where << " kernel " << literal_kernel_name(search.kernel()) << "\n"
                                                 << describe(c);
                }
            }
        }
    });
}

std::vector<Span> spans_of(const SearchCase& c, const char* buffer, std::vector<std::pair<size_t, size_t>> ranges) {
    std::vector<Span> spans;
    for (auto [from, to] : ranges) {
        Span span{from, to, nullptr, 0};
        span.expected = c.expected(buffer + from, buffer + to, &span.which);
        spans.push_back(span);
    }
    return spans;
}

TEST(Scan, LiteralSearchFindsTheLeftmostOccurrenceOfAnyLiteral) {
    // Sets of 1 to 164 literals, as strings (folded or not) or class literals of mixed lengths,
    // searched by every kernel at every width, with and without a sample, in both families,
    // in a buffer of exactly the text's size (so that a read past its end is an error for the
    // sanitizers) at every alignment, from many starts and to many ends. Rounds and seed:
    // QUARNEL_SCAN_ROUNDS, QUARNEL_SCAN_SEED.
    const uint64_t seed = environment_number("QUARNEL_SCAN_SEED", 7);
    const uint64_t rounds = environment_number("QUARNEL_SCAN_ROUNDS", 700);
    std::printf("[ seed     ] QUARNEL_SCAN_SEED=%llu QUARNEL_SCAN_ROUNDS=%llu\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(rounds));
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    for (uint64_t round = 0; round < rounds; ++round) {
        const std::string text = random_buffer(rng, rng() % 4 == 0 ? rng() % 1500 : rng() % 200);
        const SearchCase c = random_case(rng, text);
        const size_t align = rng() % 32;
        std::unique_ptr<char[]> storage(new char[align + text.size()]);
        char* buffer = storage.get() + align;
        std::memcpy(buffer, text.data(), text.size());
        // Every start and end near the edges of a short text, a few of a long one.
        std::vector<std::pair<size_t, size_t>> ranges;
        for (size_t from = 0; from <= text.size(); from += text.size() < 120 ? 1 : 1 + rng() % 64)
            ranges.push_back({from, text.size()});
        for (size_t cut = 1; cut < std::min<size_t>(text.size(), 40); cut += 1 + rng() % 3)
            ranges.push_back({rng() % (text.size() - cut + 1), text.size() - cut});
        const std::vector<Span> spans = spans_of(c, buffer, ranges);
        const std::string other = random_buffer(rng, rng() % 300);
        const std::string_view sample = rng() % 2 == 0 ? std::string_view(text) : std::string_view(other);
        check_every_kernel(c, buffer, spans, sample, round % 2 == 1, "round " + std::to_string(round));
        if (HasFatalFailure()) return;
    }
}

TEST(Scan, LiteralSearchReadsNothingOutsideItsSpan) {
    // The span against an inaccessible page, at its end and at its start: any read outside
    // faults, in every build.
    GuardedBuffer guarded;
    ASSERT_TRUE(guarded.usable());
    std::mt19937 rng(8);
    for (int round = 0; round < 60; ++round) {
        const std::string text = random_buffer(rng, rng() % 3 == 0 ? rng() % 3000 : rng() % 100);
        const SearchCase c = random_case(rng, text);
        for (bool at_end : {true, false}) {
            const char* buffer = at_end ? guarded.at_end(text) : guarded.at_start(text);
            ASSERT_NE(buffer, nullptr);
            std::vector<std::pair<size_t, size_t>> ranges = {{0, text.size()}};
            for (size_t from = 1; from <= std::min<size_t>(text.size(), 70); ++from)
                ranges.push_back(at_end ? std::pair<size_t, size_t>{text.size() - from, text.size()}
                                        : std::pair<size_t, size_t>{0, from});
            check_every_kernel(c, buffer, spans_of(c, buffer, ranges), text, round % 2 == 0,
                               "round " + std::to_string(round) + (at_end ? " at the end" : " at the start"));
            if (HasFatalFailure()) return;
        }
    }
}

TEST(Scan, ClassLiteralsWorkedExamples) {
    // The shapes the engine hands over, byte for byte: case written as classes, a motif with
    // classes, a folded find string, a literal that can hold a line feed.
    const ClassLiteral error = {ByteClass::of_case_pair('e'), ByteClass::of_case_pair('r'), ByteClass::of_case_pair('r'),
                                ByteClass::of_case_pair('o'), ByteClass::of_case_pair('r')};
    ByteClass at = ByteClass::of('A');
    at.add('T');
    ClassLiteral motif = class_literal("TATA", false);
    motif.insert(motif.end(), {at, ByteClass::of('A'), at});
    ByteClass acg = ByteClass::of('A');
    acg.add('C');
    acg.add('G');
    ClassLiteral gcc = class_literal("GCC", false);
    gcc.insert(gcc.begin(), acg);
    ByteClass any_space = ByteClass::of(' ');
    any_space.add('\n');
    const ClassLiteral spaced = {ByteClass::of('a'), any_space, ByteClass::of('b')};
    struct Row {
        std::vector<ClassLiteral> literals;
        std::string text;
        long at;  // -1: none
        size_t which;
    };
    const std::vector<Row> rows = {
        {{error}, "no Errors here but eRRoR", 3, 0},
        {{error}, "erro r", -1, 0},
        {{motif}, "GGTATATAGGTATAAATGTATATATT", 10, 0},
        {{gcc, motif}, "TTGCCATGCC TTGCCAGGCC", 17, 0},
        {{motif, gcc}, "TATATAAGCC", 0, 0},
        {{gcc}, "TGCC GGCC", 5, 0},
        {{spaced, class_literal("b", false)}, "a\nb a b", 2, 1},
        {{class_literal("", false), class_literal("x", true)}, "aXb", 1, 1},
        {{class_literal("foo", true), class_literal("FOO", false)}, "xFoO FOO", 1, 0},
    };
    for_each_level([&] {
        for (const KernelChoice& choice : kernel_choices()) {
            for (const Row& row : rows) {
                LiteralSearch search(row.literals);
                if (choice.kernel != LiteralKernel::NONE) search.use_kernel(choice.kernel, choice.width);
                size_t which = 99;
                const char* found = search.find(row.text.data(), row.text.data() + row.text.size(), &which);
                ASSERT_EQ(found == nullptr ? -1 : found - row.text.data(), row.at)
                    << row.text << " kernel " << literal_kernel_name(search.kernel()) << " width " << choice.width;
                if (found != nullptr) {
                    EXPECT_EQ(which, row.which) << row.text;
                }
            }
        }
    });
}

TEST(Scan, LiteralSearchChoosesItsKernelByShapeAndSample) {
    // What kernel() names: nothing to search, a few literals probed, many looked up in buckets;
    // a forced kernel stays through adapt_to.
    const std::string sample(4096, 'x');
    EXPECT_EQ(LiteralSearch({""}, false).kernel(), LiteralKernel::NONE);
    EXPECT_EQ(LiteralSearch({"a\nb"}, false).kernel(), LiteralKernel::NONE);
    EXPECT_EQ(LiteralSearch({"function"}, false).kernel(), LiteralKernel::PROBES);
    std::vector<std::string> many;
    for (int k = 0; k < 40; ++k) many.push_back("identifier_" + std::to_string(k * 7919));
    std::vector<std::string_view> views(many.begin(), many.end());
    LiteralSearch search(views, false);
    EXPECT_NE(search.kernel(), LiteralKernel::PROBES);
    search.use_kernel(LiteralKernel::PROBES, 3);
    search.adapt_to(sample.data(), sample.data() + sample.size());
    EXPECT_EQ(search.kernel(), LiteralKernel::PROBES);
    search.use_kernel(LiteralKernel::NONE);
    search.adapt_to(sample.data(), sample.data() + sample.size());
    EXPECT_NE(search.kernel(), LiteralKernel::PROBES);
    LiteralSearch nothing({"\n"}, false);
    nothing.use_kernel(LiteralKernel::BUCKETS_8);
    EXPECT_EQ(nothing.kernel(), LiteralKernel::NONE);
}

TEST(Scan, LiteralSearchAtTheEdgesOfLongBuffers) {
    // A literal at the very first and the very last bytes of buffers around the vector
    // block sizes, with and without a second, longer literal that cannot fit there.
    for_each_level([&] {
        for (size_t length : {31u, 32u, 33u, 63u, 64u, 65u, 95u, 96u, 97u, 127u, 128u, 129u, 1000u, 4099u}) {
            for (bool fold : {false, true}) {
                std::string text(length, '.');
                text.replace(0, 3, "ToP");
                text.replace(length - 3, 3, "EnD");
                std::vector<std::string_view> one = {fold ? "end" : "EnD"};
                std::vector<std::string_view> two = {"a much longer literal", fold ? "top" : "ToP"};
                LiteralSearch end_search(one, fold);
                LiteralSearch start_search(two, fold);
                EXPECT_EQ(end_search.find(text.data(), text.data() + length), text.data() + length - 3) << length;
                EXPECT_EQ(end_search.find(text.data(), text.data() + length - 1), nullptr) << length;
                size_t which = 9;
                EXPECT_EQ(start_search.find(text.data(), text.data() + length, &which), text.data()) << length;
                EXPECT_EQ(which, 1u);
                EXPECT_EQ(start_search.find(text.data() + 1, text.data() + length), nullptr) << length;
            }
        }
    });
}

TEST(Scan, LiteralSearchWithFarProbesOnShortSpans) {
    // A literal whose rarest bytes lie far in (the probes reach 60 bytes on), searched on
    // spans of every length around the vector block and the reach, placed in exact-size
    // buffers: a block that read past its copy, or past the span, shows as a wrong answer
    // or to the sanitizers.
    const std::string literal = std::string(60, 'e') + "QZ";
    const std::string text = std::string(40, 'e') + literal + std::string(90, 'e') + literal;
    for_each_level([&] {
        for (const KernelChoice& choice : kernel_choices()) {
            LiteralSearch search({literal}, false);
            if (choice.kernel != LiteralKernel::NONE) search.use_kernel(choice.kernel, choice.width);
            for (size_t from = 0; from < 48; from += 7) {
                for (size_t size = 0; from + size <= text.size(); ++size) {
                    std::unique_ptr<char[]> copy(new char[size]);
                    std::memcpy(copy.get(), text.data() + from, size);
                    const std::string_view span(copy.get(), size);
                    const size_t at = span.find(literal);
                    const char* found = search.find(copy.get(), copy.get() + size);
                    ASSERT_EQ(found, at == std::string_view::npos ? nullptr : copy.get() + at)
                        << "from " << from << " size " << size << " kernel " << literal_kernel_name(search.kernel());
                }
            }
        }
    });
}

TEST(Scan, ByteSetSearchFindsTheFirstAndTheLastMemberByte) {
    // Sets from one byte to a hundred, drawn both from the buffer's own alphabet and from
    // every high nibble (more than eight low-nibble patterns: the vector tables then hold a
    // superset and must still give the exact first member), searched from odd starts; and
    // backward, the last member before odd ends and before the end.
    std::mt19937 rng(11);
    for_each_level([&] {
        for (int round = 0; round < 6000; ++round) {
            std::string text = std::string(rng() % 8, 'q') + random_buffer(rng, rng() % 400);
            bool member[256] = {};
            const size_t members = 1 + (rng() % 4 == 0 ? rng() % 100 : rng() % 4);
            for (size_t k = 0; k < members; ++k) {
                unsigned char byte = rng() % 2 == 0 && !text.empty() ? static_cast<unsigned char>(text[rng() % text.size()])
                                                                     : static_cast<unsigned char>(rng() % 256);
                member[byte] = true;
            }
            if (rng() % 50 == 0) std::fill(std::begin(member), std::end(member), false);  // the empty set
            ByteSetSearch search(member);
            for (size_t from = 0; from <= text.size(); from += 1 + rng() % 64) {
                const char* begin = text.data() + from;
                const char* end = text.data() + text.size();
                const char* expected = nullptr;
                for (const char* p = begin; p < end && expected == nullptr; ++p)
                    if (member[static_cast<unsigned char>(*p)]) expected = p;
                ASSERT_EQ(search.find(begin, end), expected) << "round " << round << " from " << from;
                // The last member before the end of [text, from), looking backward.
                const char* last = nullptr;
                for (const char* p = begin; p > text.data() && last == nullptr; --p)
                    if (member[static_cast<unsigned char>(p[-1])]) last = p - 1;
                ASSERT_EQ(search.find_last(text.data(), begin), last) << "round " << round << " to " << from;
                last = nullptr;
                for (const char* p = end; p > begin && last == nullptr; --p)
                    if (member[static_cast<unsigned char>(p[-1])]) last = p - 1;
                ASSERT_EQ(search.find_last(begin, end), last) << "round " << round << " from " << from;
            }
        }
    });
}

TEST(Scan, ForcedPlainKernelsStayPlain) {
    KernelLevel before = scan_select_kernels(KernelLevel::PLAIN);
    EXPECT_EQ(scan_kernel_level(), KernelLevel::PLAIN);
    scan_select_kernels(before);
    EXPECT_EQ(scan_kernel_level(), before);
}

}  // namespace
