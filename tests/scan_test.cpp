// scan_test.cpp: every kernel of scan/ in both families against a naive model.
//
// Random buffers are drawn from small alphabets rich in the bytes the kernels care about
// (line feed, NUL, letters of both cases, bytes above 0x7F), at every length up to a few
// hundred bytes and at odd offsets, so each vector loop meets its block boundaries, its
// tail and unaligned starts. Literals are often cut from the buffer itself so that there
// is something to find, and they overlap each other and themselves.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "scan/scan.h"

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

TEST(Scan, LiteralSearchFindsTheLeftmostOccurrenceOfAnyLiteral) {
    std::mt19937 rng(7);
    for_each_level([&] {
        for (int round = 0; round < 6000; ++round) {
            std::string text = random_buffer(rng, rng() % 400);
            size_t literal_count = 1 + rng() % 10;
            std::vector<std::string> literals;
            for (size_t k = 0; k < literal_count; ++k) {
                size_t length = 1 + rng() % (rng() % 4 == 0 ? 40 : 6);
                if (!text.empty() && rng() % 3 != 0) {  // cut from the text: something to find
                    size_t at = rng() % text.size();
                    literals.push_back(text.substr(at, length));
                } else {
                    literals.push_back(random_buffer(rng, length));
                }
                if (rng() % 8 == 0) literals.back() = literals[rng() % literals.size()] + literals.back();  // overlaps
            }
            bool fold = rng() % 2 == 0;
            if (fold) {  // the search folds the literals as well as the text
                for (std::string& lit : literals)
                    for (char& c : lit)
                        if (c >= 'a' && c <= 'z' && rng() % 2) c = char(c - 32);
            }

            std::vector<std::string_view> views(literals.begin(), literals.end());
            LiteralSearch search(views, fold);
            if (rng() % 2 == 0) {  // other probes, chosen on a sample: the same results
                std::string sample = random_buffer(rng, rng() % 200);
                search.adapt_to(sample.data(), sample.data() + sample.size());
            }
            // Search the whole text and then from a few later starts.
            for (size_t from = 0; from <= text.size(); from += 1 + rng() % 64) {
                const char* begin = text.data() + from;
                const char* end = text.data() + text.size();
                size_t which = 99, expected_which = 99;
                const char* found = search.find(begin, end, &which);
                const char* expected = naive_find(literals, fold, begin, end, &expected_which);
                ASSERT_EQ(found, expected) << "round " << round << " from " << from;
                if (expected != nullptr) {
                    ASSERT_EQ(which, expected_which) << "round " << round;
                }
            }
        }
    });
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
