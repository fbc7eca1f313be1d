// Behaviour particular to the Windows build: arguments are taken without
// wildcard expansion, paths are built with '\', console lines end with CR LF
// while the reports keep exactly one CR LF per line, and cycles of directory
// links end.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

TEST(Windows, WildcardsInArgumentsAreNotExpanded)
{
    TempDir dir;
    make_dirs(dir / "a");
    write_file(dir / "a/x.tex", "\\x");
    // Expanded, '*' would name the directory "a"; taken as it stands, it
    // names no directory at all.
    for (const std::string pattern : {"*", "?", "a*", "*.*"}) {
        ToolRun run = run_tool(dir.path(), {pattern});
        EXPECT_EQ(run.status, 1) << pattern;
        EXPECT_EQ(without_reasons(run.err), "Cannot read " + pattern + "\\: REASON\r\n");
        EXPECT_EQ(read_file(dir / "command.lst"), "") << pattern;
    }
}

TEST(Windows, PathsUseBackslashesAndConsoleLinesEndWithCrLf)
{
    TempDir dir;
    make_dirs(dir / "src/sub");
    write_file(dir / "src/sub/a.tex", "\\a\n\\b\r\n");
    for (const char *argument : {"src", "src\\"}) {
        ToolRun run = run_tool(dir.path(), {argument});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "Analyzing src\\sub\\a.tex.\r\n") << argument;
        EXPECT_EQ(read_file(dir / "command.all"), "a\r\nb\r\n");
        EXPECT_EQ(read_file(dir / "command.lst"), "a\r\nb\r\n");
    }
    ToolRun run = run_tool(dir / "src", {""});
    EXPECT_EQ(run.err, "Analyzing .\\sub\\a.tex.\r\n");
}

TEST(Windows, ACycleOfDirectoryLinksEnds)
{
    TempDir dir;
    make_dirs(dir / "loop/sub");
    write_file(dir / "loop/in.tex", "\\in");
    std::string link = dir / "loop/sub/up";
    std::string target = dir / "loop";
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        GTEST_SKIP() << "directory links cannot be made here (error " << GetLastError() << ")";
    ToolRun run = run_tool(dir.path(), {"loop"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Analyzing loop\\in.tex.\r\n");
    RemoveDirectoryA(link.c_str());
}

} // namespace
