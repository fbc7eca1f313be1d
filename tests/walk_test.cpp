// Tests of the run driver and the walk, running the built tool over small
// temporary trees.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "test_support.h"

namespace {

bool is_directory(const std::string &path)
{
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

// The console lines a walk of `directory` (ending with the separator) must
// give, computed from the listing order that the test reads itself.
std::string expected_lines(const std::string &directory)
{
    std::string lines;
    for (const std::string &name : listing_order(directory)) {
        if (name[0] == '.')
            continue;
        std::string path = directory + name;
        if (is_directory(path))
            lines += expected_lines(path + kSep);
        else if (is_source_file(path.c_str()))
            lines += console("Analyzing " + path + ".\n");
    }
    return lines;
}

// A tree with sources at several depths, hidden entries and other files.
void build_sample_tree(const TempDir &dir)
{
    make_dirs(dir / "src/sub/deeper");
    make_dirs(dir / "src/.hidden");
    make_dirs(dir / "src/empty");
    write_file(dir / "src/a.tex", "\\a");
    write_file(dir / "src/b.sty", "\\b");
    write_file(dir / "src/notes.txt", "\\notes");
    write_file(dir / "src/.x.tex", "\\hidden");
    write_file(dir / "src/.hidden/h.tex", "\\hidden");
    write_file(dir / "src/sub/c.ltx", "\\c");
    write_file(dir / "src/sub/d.def", "\\d");
    write_file(dir / "src/sub/deeper/e.tex", "\\e");
    write_file(dir / "src/sub/deeper/E.TEX", "\\E");
}

TEST(Walk, AnnouncesEverySourceInDepthFirstListingOrder)
{
    TempDir dir;
    build_sample_tree(dir);
    std::string root = dir / "src/";
    std::string expected = expected_lines(root);
    ASSERT_NE(expected.find(native("deeper/e.tex")), std::string::npos);
    ASSERT_EQ(expected.find("hidden"), std::string::npos);

    // An argument that cannot be listed is named, and the run fails; the
    // others are still walked.
    std::string missing = native(dir / "missing/");
    std::string file = native(dir / "src/a.tex/");
    std::string not_found = strerror(ENOENT), not_a_directory = strerror(ENOTDIR);
    struct {
        std::vector<std::string> args;
        std::string expected_err;
        int status;
    } cases[] = {
        {{dir / "src"}, expected, 0},
        {{dir / "src/"}, expected, 0},
        {{dir / "missing", dir / "src", dir / "src/a.tex"},
         console("Cannot read " + missing + ": " + not_found + "\n") + expected +
             console("Cannot read " + file + ": " + not_a_directory + "\n"),
         1},
        {{dir / "src", dir / "src"}, expected + expected, 0}, // walked twice
        {{"-x"}, console("Cannot read " + native("-x/") + ": " + not_found + "\n"), 1},
    };
    for (const auto &c : cases) {
        ToolRun run = run_tool(dir.path(), c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0];
#ifdef _WIN32
        EXPECT_EQ(without_reasons(run.err), without_reasons(c.expected_err)) << c.args[0];
#else
        EXPECT_EQ(run.err, c.expected_err) << c.args[0];
#endif
        EXPECT_EQ(run.out, "");
    }
}

TEST(Walk, NamesKeepTheirOrderWhicheverThreadScansThem)
{
    // Sources of about a batch each, some scanned on the walk's thread and
    // some handed whole to the store thread, whose stretches straddle batches
    // and cut names in two: the first-seen order of the environment names
    // over all files must come out exactly.
    TempDir dir;
    make_dirs(dir / "in");
    unsigned next = 0;
    for (int file = 0; file < 24; ++file) {
        std::string text;
        for (; text.size() < 40000u + 7919u * static_cast<unsigned>(file); ++next)
            text += "\\begin{" + letter_name(next) + "}\\x" + std::to_string(next) + " ";
        write_file(dir / ("in/f" + std::to_string(file) + ".tex"), text);
    }
    std::vector<std::string> first_seen;
    for (const std::string &name : listing_order(dir / "in")) {
        std::string text = read_file(dir / ("in/" + name));
        for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1))
            first_seen.push_back(text.substr(at + 1, text.find('}', at) - at - 1));
    }
    std::vector<std::string> newest_first(first_seen.rbegin(), first_seen.rend());
    ToolRun run = run_tool(dir.path(), {"in"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(read_file(dir / "environment.all") == crlf_lines(newest_first));
    EXPECT_EQ(read_file(dir / "command.lst"), crlf_lines({"begin", "x"}));
}

TEST(Walk, AHandOverPartWayGoesOnInTheWalksScannerState)
{
    // A source just too large to hand to the store thread whole is scanned
    // here for a block, then handed over (the store thread has nothing else
    // to do) with this thread's scanner, which the block leaves in each
    // state a name can be cut in: after "\", "\be", "\begin", "\begin " and
    // "\begin  {st".
    const size_t cuts[] = {1, 3, 6, 7, 11};
    for (size_t cut : cuts) {
        TempDir dir;
        make_dirs(dir / "in");
        std::string text = std::string(kDefaultBufferSize - cut, ' ') + "\\begin  {straddle}\\x";
        text += std::string(4 * kNameBatchCapacity + 30000 - text.size(), ' ') + "\\end";
        write_file(dir / "in/a.tex", text);
        ToolRun run = run_tool(dir.path(), {"in"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(read_file(dir / "environment.all"), crlf_lines({"straddle"})) << cut;
        EXPECT_EQ(read_file(dir / "command.lst"), crlf_lines({"begin", "end", "x"})) << cut;
    }
}

TEST(RecentNames, TellsEveryShortNameFromEveryOther)
{
    // For each length up to 33, a name is seen again once handed on (up to
    // 31 bytes, in either table), whatever bytes follow it in the slack,
    // while one that differs in any one byte, in its length or in its kind
    // is not.
    for (size_t length = 1; length <= 33; ++length) {
        std::unique_ptr<RecentNames> recent(new RecentNames());
        std::string name(length, 'a');
        for (size_t i = 0; i < length; ++i)
            name[i] = static_cast<char>('a' + (i * 7 + length) % 26);
        std::string slack(kRecentNameSlack, '#');
        name += slack;
        EXPECT_FALSE(recent_name_seen(recent.get(), kKindCommand, name.data(), length));
        std::string again = name.substr(0, length) + std::string(kRecentNameSlack, '%');
        EXPECT_EQ(recent_name_seen(recent.get(), kKindCommand, again.data(), length), length <= 31)
            << name;
        EXPECT_FALSE(recent_name_seen(recent.get(), kKindEnvironment, name.data(), length));
        EXPECT_FALSE(recent_name_seen(recent.get(), kKindCommand, name.data(), length - 1));
        for (size_t i = 0; i < length; ++i) {
            std::string other = name;
            other[i] = '@';
            EXPECT_FALSE(recent_name_seen(recent.get(), kKindCommand, other.data(), length))
                << name << " and " << other;
        }
    }
}

TEST(Walk, AnEmptyArgumentStandsForTheCurrentDirectory)
{
    TempDir dir;
    write_file(dir / "a.tex", "\\a");
    ToolRun run = run_tool(dir.path(), {""});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, console("Analyzing " + native("./a.tex") + ".\n"));
}

TEST(Walk, WithoutArgumentsPrintsUsageAndSucceeds)
{
    TempDir dir;
    ToolRun run = run_tool(dir.path(), {});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, console("usage:\nquillmap directory\n"));
    EXPECT_EQ(run.err, "");
}

} // namespace
