// Tests of the run driver and the walk, running the built tool over small
// temporary trees.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "scan/scan.h"
#include "test_support.h"

namespace {

bool is_directory(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The console lines a walk of `directory` (ending with '/') must give,
// computed from the listing order that the test reads itself.
std::string expected_lines(const std::string &directory)
{
    std::string lines;
    for (const std::string &name : listing_order(directory)) {
        if (name[0] == '.')
            continue;
        std::string path = directory + name;
        if (is_directory(path))
            lines += expected_lines(path + "/");
        else if (is_source_file(path.c_str()))
            lines += "Analyzing " + path + ".\n";
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
    ASSERT_NE(expected.find("deeper/e.tex"), std::string::npos);
    ASSERT_EQ(expected.find("hidden"), std::string::npos);

    struct {
        std::vector<std::string> args;
        std::string expected_err;
    } cases[] = {
        {{dir / "src"}, expected},
        {{dir / "src/"}, expected},
        {{dir / "missing", dir / "src", dir / "src/a.tex"}, expected}, // silently skipped
        {{dir / "src", dir / "src"}, expected + expected},               // walked twice
        {{"-x"}, ""},                                                    // no options
    };
    for (const auto &c : cases) {
        ToolRun run = run_tool(dir.path(), c.args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, c.expected_err) << c.args[0];
        EXPECT_EQ(run.out, "");
    }
}

TEST(Walk, AnEmptyArgumentStandsForTheCurrentDirectory)
{
    TempDir dir;
    write_file(dir / "a.tex", "\\a");
    ToolRun run = run_tool(dir.path(), {""});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Analyzing ./a.tex.\n");
}

TEST(Walk, WithoutArgumentsPrintsUsageAndSucceeds)
{
    TempDir dir;
    ToolRun run = run_tool(dir.path(), {});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "usage:\nquillmap directory\n");
    EXPECT_EQ(run.err, "");
}

TEST(Walk, LinksSpecialFilesAndOddEntries)
{
    TempDir dir;
    std::string root = dir / "t/";
    make_dirs(root + "loop/sub");
    make_dirs(root + "pair/a");
    make_dirs(root + "pair/b");
    make_dirs(root + "dir.tex");
    make_dirs(root + "fifo");
    write_file(root + "loop/in.tex", "");
    write_file(root + "dir.tex/inside.tex", "");
    ASSERT_EQ(symlink("..", (root + "loop/sub/up").c_str()), 0);     // to an ancestor
    ASSERT_EQ(symlink("../b", (root + "pair/a/l").c_str()), 0);      // a and b link to
    ASSERT_EQ(symlink("../a", (root + "pair/b/l").c_str()), 0);      // each other
    ASSERT_EQ(symlink("nowhere", (root + "gone.tex").c_str()), 0);   // dangling
    ASSERT_EQ(mkfifo((root + "fifo/x.tex").c_str(), 0600), 0);      // would block if opened

    ToolRun run = run_tool(dir.path(), {root + "loop"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Analyzing " + root + "loop/in.tex.\n");

    // pair/a/l leads to b, whose link leads back to a: on the descent, so it ends.
    run = run_tool(dir.path(), {root + "pair"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    struct {
        std::string arg;
        std::string expected_err;
    } cases[] = {
        {root + "fifo", ""},
        {root + "dir.tex", "Analyzing " + root + "dir.tex/inside.tex.\n"},
    };
    for (const auto &c : cases) {
        run = run_tool(dir.path(), {c.arg});
        EXPECT_EQ(run.status, 0) << c.arg;
        EXPECT_EQ(run.err, c.expected_err) << c.arg;
    }
}

TEST(Walk, ADanglingLinkIsReportedAsUnopenable)
{
    TempDir dir;
    ASSERT_EQ(symlink("nowhere", (dir / "gone.tex").c_str()), 0);
    ToolRun run = run_tool(dir.path(), {dir.path()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Cannot open " + dir.path() + "/gone.tex. why?\n");
}

TEST(ScanSource, AReadErrorEndsTheFileWithAMessage)
{
    // A directory opens as a stream on POSIX but cannot be read.
    TempDir dir;
    make_dirs(dir / "d.tex");
    CommandTable *table = command_table_new();
    EnvironmentList list{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan_source((dir / "d.tex").c_str(), table, &list), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Analyzing " + (dir / "d.tex") + ".\nCannot read " + (dir / "d.tex") +
                       ": Is a directory\n");
    EXPECT_EQ(command_table_count(table), 0);
    command_table_free(table);
}

} // namespace
