// man_page_test.cpp: docs/quarnel.1 renders cleanly and keeps up with the code.
//
// The page is rendered with `groff -man -ww -Tutf8`, which must write no warning. Then every
// text the program can write must appear in the rendered page verbatim, and the list of
// texts is taken from the code itself, so a message added or reworded in the code fails
// here until the page follows:
//   - every message of the engine's catalogue (regexp/messages.h), as the tool writes it,
//     after "regexp(3): ";
//   - every string literal of the line filter (filter/*.cpp), cut into pieces at printf
//     conversions and line ends: warnings, "read error", "write error", "out of memory",
//     the usage text line by line, the banner, the run description and the summary;
//   - the usage text as the binary writes it, line by line and in order.
// Without groff the test is skipped, except under CI (CI set), where it fails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/end_to_end.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// find_on_path returns the full path of an executable found in PATH, or "".
std::string find_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// strip_overstrikes removes grotty's bold and underline: a character followed by a
// backspace is dropped together with the backspace.
std::string strip_overstrikes(const std::string& text) {
    std::string plain;
    for (char c : text) {
        if (c != '\b') {
            plain += c;
            continue;
        }
        while (!plain.empty() && (static_cast<unsigned char>(plain.back()) & 0xC0) == 0x80) plain.pop_back();
        if (!plain.empty()) plain.pop_back();
    }
    return plain;
}

struct RenderedPage {
    bool groff_found = false;
    RunResult run;
    std::string text;  // without overstrikes
};

const RenderedPage& rendered_page() {
    static const RenderedPage page = [] {
        RenderedPage rendered;
        std::string groff = find_on_path("groff");
        if (groff.empty()) return rendered;
        rendered.groff_found = true;
        rendered.run = run_binary(groff, {"-man", "-ww", "-Tutf8", std::string(QUARNEL_SOURCE_DIR) + "/docs/quarnel.1"});
        rendered.text = strip_overstrikes(rendered.run.out);
        return rendered;
    }();
    return page;
}

#define REQUIRE_RENDERED_PAGE()                                                          \
    do {                                                                                 \
        if (!rendered_page().groff_found) {                                              \
            if (std::getenv("CI") != nullptr) FAIL() << "groff is not installed";        \
            GTEST_SKIP() << "groff is not installed (Debian package groff-base)";        \
        }                                                                                \
    } while (0)

// unescape turns the body of a C string literal into its bytes.
std::string unescape(const std::string& body) {
    std::string bytes;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\' || i + 1 == body.size()) {
            bytes += body[i];
            continue;
        }
        char c = body[++i];
        switch (c) {
            case 'n': bytes += '\n'; break;
            case 't': bytes += '\t'; break;
            case 'r': bytes += '\r'; break;
            case 'x': {
                size_t end = i + 1;
                while (end < body.size() && std::isxdigit(static_cast<unsigned char>(body[end]))) ++end;
                bytes += static_cast<char>(std::stoi(body.substr(i + 1, end - i - 1), nullptr, 16));
                i = end - 1;
                break;
            }
            default:
                if (c >= '0' && c <= '7') {
                    size_t end = i;
                    while (end < body.size() && end < i + 3 && body[end] >= '0' && body[end] <= '7') ++end;
                    bytes += static_cast<char>(std::stoi(body.substr(i, end - i), nullptr, 8));
                    i = end - 1;
                } else {
                    bytes += c;  // \\ \" \' \?
                }
        }
    }
    return bytes;
}

// string_literals returns the string literals of a C++ source, adjacent ones joined as the
// compiler joins them. Comments, character literals and preprocessor lines are skipped. A
// <cinttypes> macro between two literals ("%" PRIu64 "...") becomes its conversion letter.
std::vector<std::string> string_literals(const std::string& source) {
    std::vector<std::string> literals;
    bool joining = false;  // the last token was a literal (or a PRI macro after one)
    bool line_start = true;
    for (size_t i = 0; i < source.size();) {
        char c = source[i];
        if (c == '\n') line_start = true;
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (source.compare(i, 2, "//") == 0) {
            i = source.find('\n', i);
            if (i == std::string::npos) break;
            continue;
        }
        if (source.compare(i, 2, "/*") == 0) {
            i = source.find("*/", i + 2);
            if (i == std::string::npos) break;
            i += 2;
            continue;
        }
        bool at_line_start = line_start;
        line_start = false;
        if (c == '#' && at_line_start) {
            i = source.find('\n', i);
            if (i == std::string::npos) break;
            joining = false;
            continue;
        }
        if (c == '\'') {
            for (++i; i < source.size() && source[i] != '\''; ++i)
                if (source[i] == '\\') ++i;
            ++i;
            joining = false;
            continue;
        }
        if (c == 'R' && source.compare(i, 2, "R\"") == 0) {
            size_t open = source.find('(', i);
            std::string close = ")" + source.substr(i + 2, open - i - 2) + "\"";
            size_t end = source.find(close, open);
            std::string text = source.substr(open + 1, end - open - 1);
            if (joining) literals.back() += text;
            else literals.push_back(text);
            joining = true;
            i = end + close.size();
            continue;
        }
        if (c == '"') {
            size_t end = i + 1;
            for (; end < source.size() && source[end] != '"'; ++end)
                if (source[end] == '\\') ++end;
            std::string text = unescape(source.substr(i + 1, end - i - 1));
            if (joining) literals.back() += text;
            else literals.push_back(text);
            joining = true;
            i = end + 1;
            continue;
        }
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
            size_t end = i;
            while (end < source.size() && (std::isalnum(static_cast<unsigned char>(source[end])) || source[end] == '_')) ++end;
            std::string word = source.substr(i, end - i);
            if (joining && word.size() > 3 && word.compare(0, 3, "PRI") == 0) {
                literals.back() += word[3];  // PRIu64 -> %u
            } else {
                joining = false;
            }
            i = end;
            continue;
        }
        joining = false;
        ++i;
    }
    return literals;
}

// conversion_length returns the length of the printf conversion at text[at] (a '%'), or 0.
size_t conversion_length(const std::string& text, size_t at) {
    size_t i = at + 1;
    while (i < text.size() && std::strchr("-+ #0", text[i]) != nullptr) ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));) ++i;
    for (const char* length : {"hh", "ll", "h", "l", "j", "z", "t", "L"}) {
        if (text.compare(i, std::strlen(length), length) == 0) {
            i += std::strlen(length);
            break;
        }
    }
    if (i < text.size() && std::strchr("diouxXfFeEgGaAcsp%", text[i]) != nullptr) return i + 1 - at;
    return 0;
}

// message_pieces cuts a printf format or plain text at conversions and line ends and
// returns the pieces that hold more than blanks.
std::vector<std::string> message_pieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::string piece;
    auto finish_piece = [&] {
        if (piece.find_first_not_of(' ') != std::string::npos) pieces.push_back(piece);
        piece.clear();
    };
    for (size_t i = 0; i < text.size();) {
        size_t conversion = text[i] == '%' ? conversion_length(text, i) : 0;
        if (text[i] == '\n' || conversion > 0) {
            finish_piece();
            i += conversion > 0 ? conversion : 1;
        } else {
            piece += text[i++];
        }
    }
    finish_piece();
    return pieces;
}

// message_constants returns the texts of the MSG_ constants of the engine's catalogue
// (inline constexpr char MSG_NAME[] = "text";), still escaped as in the source.
std::vector<std::string> message_constants(const std::string& header) {
    std::vector<std::string> bodies;
    for (size_t at = header.find("constexpr char MSG_"); at != std::string::npos; at = header.find("constexpr char MSG_", at + 1)) {
        size_t open = header.find("[] = \"", at);
        size_t line_end = header.find('\n', at);
        if (open == std::string::npos || open > line_end) continue;  // not understood: counted apart
        size_t body = open + 6, end = body;
        while (end < header.size() && header[end] != '"') end += header[end] == '\\' ? 2 : 1;
        if (header.compare(end, 2, "\";") == 0) bodies.push_back(header.substr(body, end - body));
    }
    return bodies;
}

TEST(ManPage, RendersWithoutWarnings) {
    REQUIRE_RENDERED_PAGE();
    const RenderedPage& page = rendered_page();
    EXPECT_EQ(page.run.exit_status, 0);
    EXPECT_EQ(page.run.err, "") << "groff -man -ww warned";
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "REGULAR EXPRESSIONS", "SUBSTITUTION TEMPLATES",
                                "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES", "NOTES", "SEE ALSO"})
        EXPECT_NE(page.text.find(std::string("\n") + section + "\n"), std::string::npos) << "no section " << section;
}

TEST(ManPage, ListsEveryEngineMessage) {
    REQUIRE_RENDERED_PAGE();
    std::string header = read_file(fs::path(QUARNEL_SOURCE_DIR) / "regexp/messages.h");
    size_t constants = 0;
    for (size_t at = header.find("constexpr char MSG_"); at != std::string::npos; at = header.find("constexpr char MSG_", at + 1))
        ++constants;

    std::vector<std::string> messages;
    for (const std::string& body : message_constants(header)) messages.push_back(unescape(body));
    ASSERT_EQ(messages.size(), constants) << "a message constant in regexp/messages.h was not understood";
    ASSERT_GE(messages.size(), 20u);
    for (const std::string& message : messages)
        EXPECT_NE(rendered_page().text.find("regexp(3): " + message), std::string::npos)
            << "the page lacks \"regexp(3): " << message << "\"";
}

TEST(ManPage, ShowsEveryTextOfTheLineFilter) {
    REQUIRE_RENDERED_PAGE();
    size_t checked = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(QUARNEL_SOURCE_DIR) / "filter")) {
        if (entry.path().extension() != ".cpp") continue;
        for (const std::string& literal : string_literals(read_file(entry.path()))) {
            for (const std::string& piece : message_pieces(literal)) {
                ++checked;
                EXPECT_NE(rendered_page().text.find(piece), std::string::npos)
                    << "the page lacks \"" << piece << "\" (" << entry.path().filename().string() << ": \"" << literal << "\")";
            }
        }
    }
    EXPECT_GE(checked, 40u) << "the filter's texts were not found";
}

TEST(ManPage, ShowsTheUsageTextInOrder) {
    REQUIRE_RENDERED_PAGE();
    RunResult usage = run_quarnel({}, "");
    ASSERT_EQ(usage.exit_status, 1);
    const std::string& page = rendered_page().text;
    std::istringstream lines(usage.err);
    size_t at = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        at = page.find(line + "\n", at);
        ASSERT_NE(at, std::string::npos) << "the page lacks, in order, the line \"" << line << "\"";
    }
}

// The extraction on a known source, so that a fault in it cannot hide a text the page lacks.
TEST(ManPage, StringLiteralExtraction) {
    std::string source = "#include \"x.h\"\n"
                         "// \"comment\"\n"
                         "f('\"', \"a\\tb\" /* c */ \"c\\n\", \"%\" PRIu64 \"/x\", R\"(r\\n)\");\n";
    EXPECT_EQ(string_literals(source), (std::vector<std::string>{"a\tbc\n", "%u/x", "r\\n"}));
    EXPECT_EQ(message_pieces("Processing %u/%lu lines took %s.\n"),
              (std::vector<std::string>{"Processing ", "/", " lines took ", "."}));
    EXPECT_EQ(message_pieces("    %s [options] <INFILE\n"), (std::vector<std::string>{" [options] <INFILE"}));
}

}  // namespace
