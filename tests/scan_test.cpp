// Tests of the source filter and of the scanner's rules, each case run at
// several buffer sizes so that names straddle refills in every position.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/scan.h"
#include "test_support.h"

namespace {

// Small sizes cut names everywhere; 8 to 17 and 23 make the scanner's
// eight-bytes-at-a-time loop meet a refill at each offset of a word.
const size_t kBufferSizes[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 23, kDefaultBufferSize};

using Names = std::vector<std::string>;

TEST(IsSourceFile, AcceptsExactlyTheFourExtensions)
{
    struct {
        const char *path;
        int expected;
    } cases[] = {
        {"paper.tex", 1},
        {"macros.sty", 1},
        {"book.ltx", 1},
        {"fonts.def", 1},
        {"dir/a.b.tex", 1},
        {".tex", 1},
        {"PAPER.TEX", 0},
        {"paper.tex~", 0},
        {"paper.texx", 0},
        {"paper.tex.bak", 0},
        {"Makefile", 0},
        {"paper.", 0},
        {"a.tex/Makefile", 0}, // the last dot of the whole path decides
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_source_file(c.path), c.expected) << c.path;
}

struct ScanCase {
    std::string input;
    Names commands;
    Names environments;
};

std::string repeat(char c, size_t n)
{
    return std::string(n, c);
}

std::vector<ScanCase> scan_cases()
{
    return {
        {"", {}, {}},
        {"\\", {}, {}}, // a lone backslash at the end
        {"plain text { } %", {}, {}},
        {"\\@namedef", {"@namedef"}, {}},
        {"\\section*", {"section"}, {}},
        {"\\item1", {"item"}, {}},
        {"% \\foo", {"foo"}, {}}, // comments are scanned too
        {"\\foo\\bar", {"foo", "bar"}, {}},
        {"\\\\begin{x}", {}, {}}, // an escaped backslash: 'begin' is text
        {"\\\\\\a", {"a"}, {}},
        {"\\1\\a", {"a"}, {}},
        {"\\begin", {"begin"}, {}}, // no '{' before the end
        {"\\begin{", {"begin"}, {}},
        {"\\begin{}", {"begin"}, {}},
        {"\\begin{my env}", {"begin"}, {"my"}},
        {"\\begin{align*}", {"begin"}, {"align"}},
        {"\\begin{ itemize}", {"begin"}, {}},
        {"\\begin [opt] {x}", {"begin"}, {"x"}},
        {"\\begin \\foo {x}", {"begin"}, {"x"}}, // passed over while seeking '{'
        {"\\begin{\\foo}", {"begin", "foo"}, {}},
        {"\\begin{abc\\foo}", {"begin", "foo"}, {"abc"}},
        {"\\begin{x", {"begin"}, {"x"}}, // end of input inside the name
        {"\\newenvironment*{x}", {"newenvironment"}, {"x"}},
        {"\\beginx{y}", {"beginx"}, {}},
        {"\\Begin{y}", {"Begin"}, {}},
        {"\\newenvironment{proof}{\\par}{}\\begin{proof}\\end{proof}",
         {"newenvironment", "par", "begin", "end"},
         {"proof", "proof"}},
        {"\\a\r\\b\r", {"a", "b"}, {}}, // CR is an ordinary byte
        {"\\abcdefghijklmnopqrstu1\\ABCDEFGHIJKLMNOPQRS@\\",
         {"abcdefghijklmnopqrstu", "ABCDEFGHIJKLMNOPQRS@"},
         {}},
        {std::string("\\a\0b\\c", 6), {"a", "c"}, {}},
        {"\\caf\xc3\xa9\\\xe9t\\z", {"caf", "z"}, {}},
        {"\\begin{\xe9}", {"begin"}, {}},
        // Names longer than their buffers are cut; the rest is plain text.
        {"\\" + repeat('a', 1023) + "\\b", {repeat('a', 1023), "b"}, {}},
        {"\\" + repeat('a', 1030) + "\\b", {repeat('a', 1023), "b"}, {}},
        {"\\" + repeat('a', 1030), {repeat('a', 1023)}, {}},
        {"\\begin{" + repeat('e', 127) + "}", {"begin"}, {repeat('e', 127)}},
        {"\\begin{" + repeat('e', 200) + "\\x}", {"begin", "x"}, {repeat('e', 127)}},
        {"\\begin{" + repeat('e', 200), {"begin"}, {repeat('e', 127)}},
    };
}

TEST(Scanner, RecordsTheNamesOfEachCaseAtEveryBufferSize)
{
    for (const ScanCase &c : scan_cases()) {
        for (size_t size : kBufferSizes) {
            NameSequences names = scan_bytes(c.input, size);
            EXPECT_EQ(names.commands, c.commands) << c.input << " at buffer size " << size;
            EXPECT_EQ(names.environments, c.environments) << c.input << " at buffer size " << size;
        }
    }
}

TEST(Scanner, TheFormattedInputModelAgreesWithEachCase)
{
    // Guards the model itself, which the differential test trusts.
    for (const ScanCase &c : scan_cases()) {
        NameSequences names = model_bytes(c.input);
        EXPECT_EQ(names.commands, c.commands) << c.input;
        EXPECT_EQ(names.environments, c.environments) << c.input;
    }
}

TEST(Scanner, KeepsReturningEndOnceTheInputIsDone)
{
    unsigned char block[4] = {'\\', 'a'};
    SourceBuffer buffer;
    source_buffer_init(&buffer, block, sizeof block);
    Scanner scanner;
    scanner_init(&scanner);
    EXPECT_EQ(scanner_next(&scanner, &buffer), kTokenMore);
    source_buffer_refill(&buffer, 2, true);
    EXPECT_EQ(scanner_next(&scanner, &buffer), kTokenCommand);
    EXPECT_EQ(scanner_next(&scanner, &buffer), kTokenEnd);
    EXPECT_EQ(scanner_next(&scanner, &buffer), kTokenEnd);
}

} // namespace
