// regsub_test.cpp: template substitution, in its unbounded and bounded forms.
//
// The slots are set by hand, pointing into a test line, so that these tests pin the
// template language without depending on the matcher; one test runs the documented
// example through regsearch as well. The bounded form is checked against regsub for every
// destination size, with guard bytes around the destination to see every byte written.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "regexp/program.h"
#include "regexp/regexp.h"
#include "support/capture_hook.h"
#include "support/program_dump.h"

namespace {

constexpr char GUARD = '#';

class RegsubTest : public ::testing::Test {
protected:
    void SetUp() override {
        re_.reset(regcompile("([a-z]+)=([0-9]*)"));
        ASSERT_NE(re_, nullptr);
        std::strcpy(line_, "key=42;");
        set_slot(0, 0, 6);  // key=42
        set_slot(1, 0, 3);  // key
        set_slot(2, 4, 6);  // 42
        set_slot(3, 3, 3);  // a group that matched the empty string
        re_->match_start[6] = line_;  // half-set slots count as not set
        re_->match_end[7] = line_ + 2;
    }

    void set_slot(int n, int start, int end) {
        re_->match_start[n] = line_ + start;
        re_->match_end[n] = line_ + end;
    }

    // expand runs regsub into a guard-filled buffer; the text up to the first NUL is the
    // result, and every byte after that NUL must still be a guard.
    std::string expand(const char* tmpl) {
        std::vector<char> dest(4096, GUARD);
        regsub(re_.get(), tmpl, dest.data());
        std::string text(dest.data());
        for (size_t i = text.size() + 1; i < dest.size(); ++i) {
            if (dest[i] != GUARD) {
                ADD_FAILURE() << "regsub wrote past its terminating NUL at " << i;
                break;
            }
        }
        return text;
    }

    CaptureHook hook_;  // installed before SetUp compiles, so every message is kept
    RegexpPtr re_;
    char line_[16];
};

struct TemplateCase {
    const char* tmpl;
    const char* expected;
};

// With the slots of SetUp: 0 "key=42", 1 "key", 2 "42", 3 "", 4, 5, 8, 9 unset, 6 and 7 half set.
const TemplateCase TEMPLATE_CASES[] = {
    {"", ""},
    {"plain text, no references", "plain text, no references"},
    {"[&]", "[key=42]"},
    {"&&", "key=42key=42"},
    {"\\0", "key=42"},
    {"\\1", "key"},
    {"\\2:\\1 (&)", "42:key (key=42)"},
    {"\\10", "key0"},  // one digit only
    {"a\\\\b", "a\\b"},
    {"a\\&b", "a&b"},
    {"\\n", "\\n"},  // unknown escape: the backslash stays, the byte is read next
    {"\\x&", "\\xkey=42"},
    {"\\\\&", "\\key=42"},
    {"end\\", "end\\"},
    {"\\", "\\"},
    {"\\\\1", "\\1"},
    {"\\\\\\1", "\\key"},
    {"\\&&", "&key=42"},
    {"\\1-\\4", "key-"},  // group 4 took no part
    {"\\5", ""},
    {"<\\3>", "<>"},        // empty group text: nothing, no message
    {"\\6\\7|\\8\\9", "|"},  // slots with only one end set expand to nothing
    {"\xE9&\xFF\\\xC0", "\xE9key=42\xFF\\\xC0"},
};

TEST_F(RegsubTest, TemplateLanguage) {
    for (const TemplateCase& c : TEMPLATE_CASES) {
        SCOPED_TRACE(escape_bytes(c.tmpl));
        EXPECT_EQ(expand(c.tmpl), c.expected);
    }
    EXPECT_TRUE(reported.empty());
}

TEST_F(RegsubTest, WorkedExampleWithSlotsSetByHand) {
    EXPECT_EQ(expand("\\2:\\1 (&)"), "42:key (key=42)");
}

TEST_F(RegsubTest, WorkedExampleThroughRegsearch) {
    RegexpPtr re(regcompile("([a-z]+)=([0-9]*)"));
    ASSERT_NE(re, nullptr);
    const char line[] = "key=42;";
    ASSERT_EQ(regsearch(re.get(), line), 1);
    char dest[64];
    regsub(re.get(), "\\2:\\1 (&)", dest);
    EXPECT_STREQ(dest, "42:key (key=42)");
    EXPECT_EQ(regsub_bounded(re.get(), "\\2:\\1 (&)", dest, sizeof dest), std::strlen("42:key (key=42)") + 1);
    EXPECT_TRUE(reported.empty());
}

// check_bounded compares regsub_bounded with regsub for every destination size from 0 to
// a few bytes beyond what the expansion needs.
void check_bounded(const Regexp* re, const std::string& tmpl) {
    SCOPED_TRACE(escape_bytes(tmpl));
    std::vector<char> full(4096, GUARD);
    regsub(re, tmpl.c_str(), full.data());
    size_t needed = std::strlen(full.data()) + 1;

    constexpr size_t SLACK = 8;
    for (size_t size = 0; size <= needed + 2; ++size) {
        std::vector<char> dest(size + SLACK, GUARD);
        EXPECT_EQ(regsub_bounded(re, tmpl.c_str(), dest.data(), size), needed) << "size " << size;
        if (size >= needed) {
            EXPECT_EQ(std::string(dest.data(), needed), std::string(full.data(), needed)) << "size " << size;
            EXPECT_EQ(std::string(dest.data() + needed, dest.size() - needed), std::string(dest.size() - needed, GUARD))
                << "size " << size;
        } else {
            EXPECT_EQ(std::string(dest.data(), dest.size()), std::string(dest.size(), GUARD))
                << "too small (" << size << "), yet written to";
        }
    }
}

TEST_F(RegsubTest, BoundedMatchesRegsubAndNeverWritesPastTheSize) {
    for (const TemplateCase& c : TEMPLATE_CASES) check_bounded(re_.get(), c.tmpl);
    EXPECT_TRUE(reported.empty());
}

TEST_F(RegsubTest, BoundedOnRandomTemplates) {
    std::mt19937 rng(7);
    const std::string alphabet = "&\\\\0123459ax";
    for (int i = 0; i < 300; ++i) {
        std::string tmpl;
        int length = std::uniform_int_distribution<int>(0, 12)(rng);
        std::uniform_int_distribution<size_t> byte(0, alphabet.size() - 1);
        for (int k = 0; k < length; ++k) tmpl += alphabet[byte(rng)];
        check_bounded(re_.get(), tmpl);
        if (HasFailure()) break;
    }
    EXPECT_TRUE(reported.empty());
}

TEST_F(RegsubTest, LongExpansionIsNeverCut) {
    std::string long_line(100000, 'z');
    re_->match_start[0] = long_line.data();
    re_->match_end[0] = long_line.data() + long_line.size();
    std::vector<char> dest(300001 + 4, GUARD);
    EXPECT_EQ(regsub_bounded(re_.get(), "&&&", dest.data(), 10240), 300001u);
    EXPECT_EQ(dest[0], GUARD);
    EXPECT_EQ(regsub_bounded(re_.get(), "&&&", dest.data(), dest.size()), 300001u);
    EXPECT_EQ(std::string(dest.data()), long_line + long_line + long_line);
}

// ---- Failures ---------------------------------------------------------------------------

TEST_F(RegsubTest, NullArguments) {
    char dest[8];
    std::memset(dest, GUARD, sizeof dest);
    regsub(nullptr, "&", dest);
    regsub(re_.get(), nullptr, dest);
    regsub(re_.get(), "&", nullptr);
    EXPECT_EQ(regsub_bounded(nullptr, "&", dest, sizeof dest), 0u);
    EXPECT_EQ(regsub_bounded(re_.get(), nullptr, dest, sizeof dest), 0u);
    EXPECT_EQ(regsub_bounded(re_.get(), "&", nullptr, 0), 0u);
    EXPECT_EQ(reported, std::vector<std::string>(6, "NULL parm to regsub"));
    EXPECT_EQ(std::string(dest, sizeof dest), std::string(sizeof dest, GUARD));
}

TEST_F(RegsubTest, DamagedRegexp) {
    re_->program[0] = 0;
    char dest[8];
    std::memset(dest, GUARD, sizeof dest);
    regsub(re_.get(), "&", dest);
    EXPECT_EQ(regsub_bounded(re_.get(), "&", dest, sizeof dest), 0u);
    EXPECT_EQ(reported, std::vector<std::string>(2, "damaged regexp fed to regsub"));
    EXPECT_EQ(std::string(dest, sizeof dest), std::string(sizeof dest, GUARD));
}

struct DamageCase {
    const char* name;
    int nul_at;         // where the line gets a NUL after the "search"
    const char* tmpl;
    std::string written;  // what regsub leaves, stopping right after the damaged slot
};

// The searched line changed after the search: a slot's text now ends early at a NUL. The
// slot's bytes are copied up to the NUL and padded with NULs; then the expansion stops
// without a terminating NUL, and one message is reported.
const DamageCase DAMAGE_CASES[] = {
    {"nul inside the whole match", 1, "<&>", std::string("<k\0\0\0\0\0", 7)},
    {"nul on the last byte of a slot", 5, "\\1:\\2!", std::string("key:4\0", 6)},
    {"nul on the first byte of a slot", 4, "\\2", std::string("\0\0", 2)},
    // Each slot's text is examined once per call: a slot read cleanly for earlier references
    // must not hide the damage of another slot referenced later.
    {"damage after repeated clean references", 5, "\\1\\1-\\1\\2x", std::string("keykey-key4\0", 12)},
};

TEST_F(RegsubTest, DamagedMatchString) {
    for (const DamageCase& c : DAMAGE_CASES) {
        SCOPED_TRACE(c.name);
        reported.clear();
        std::strcpy(line_, "key=42;");
        line_[c.nul_at] = '\0';

        std::vector<char> dest(32, GUARD);
        regsub(re_.get(), c.tmpl, dest.data());
        EXPECT_EQ(reported, std::vector<std::string>{"damaged match string"});
        EXPECT_EQ(std::string(dest.data(), c.written.size()), c.written);
        EXPECT_EQ(dest[c.written.size()], GUARD);

        // The bounded form reports the same, returns 0, and writes regsub's bytes only
        // where they fit.
        for (size_t size = 0; size <= c.written.size() + 1; ++size) {
            reported.clear();
            std::vector<char> bounded(32, GUARD);
            EXPECT_EQ(regsub_bounded(re_.get(), c.tmpl, bounded.data(), size), 0u);
            EXPECT_EQ(reported, std::vector<std::string>{"damaged match string"});
            std::string expected = size >= c.written.size() ? c.written + std::string(32 - c.written.size(), GUARD)
                                                            : std::string(32, GUARD);
            EXPECT_EQ(std::string(bounded.data(), bounded.size()), expected) << "size " << size;
        }
    }
}

TEST_F(RegsubTest, EmptySlotBeforeANulIsNoDamage) {
    line_[3] = '\0';  // slot 3 is empty at position 3
    EXPECT_EQ(expand("<\\3>"), "<>");
    EXPECT_TRUE(reported.empty());
}

// A shortened line must not be read past its NUL, even when the slot claims more bytes:
// here the slot reaches beyond the buffer itself (caught under AddressSanitizer).
TEST_F(RegsubTest, DamagedSlotIsNotReadPastItsNul) {
    std::unique_ptr<char[]> shortened(new char[4]);
    std::memcpy(shortened.get(), "abc", 4);
    re_->match_start[0] = shortened.get();
    re_->match_end[0] = shortened.get() + 10;
    std::vector<char> dest(16, GUARD);
    regsub(re_.get(), "&", dest.data());
    EXPECT_EQ(reported, std::vector<std::string>{"damaged match string"});
    EXPECT_EQ(std::string(dest.data(), 11), std::string("abc\0\0\0\0\0\0\0", 10) + GUARD);
}

// A slot that ends before it starts cannot come from a search; it must not be copied
// as a huge length.
TEST_F(RegsubTest, SlotEndingBeforeItsStartIsDamage) {
    re_->match_start[1] = line_ + 3;
    re_->match_end[1] = line_ + 1;
    std::vector<char> dest(16, GUARD);
    regsub(re_.get(), "x\\1y", dest.data());
    EXPECT_EQ(reported, std::vector<std::string>{"damaged match string"});
    EXPECT_EQ(dest[0], 'x');
    EXPECT_EQ(dest[1], GUARD);
    reported.clear();
    EXPECT_EQ(regsub_bounded(re_.get(), "x\\1y", dest.data(), dest.size()), 0u);
    EXPECT_EQ(reported, std::vector<std::string>{"damaged match string"});
}

}  // namespace
