// Tests of the run driver and the walk, running the built tool over small
// temporary trees.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

bool is_directory(const std::string &path)
{
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

// True for the four source extensions, exactly (not through the tool's own
// filter, which this test checks).
bool is_source_name(const std::string &name)
{
    for (const char *extension : {".tex", ".ltx", ".sty", ".def"})
        if (name.size() > 4 && name.compare(name.size() - 4, 4, extension) == 0)
            return true;
    return false;
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
        else if (is_source_name(name))
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
