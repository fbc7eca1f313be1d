// Tests of the report files, end to end through the built tool.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "report/report.h"
#include "test_support.h"

namespace {

size_t line_count(const std::string &bytes)
{
    size_t lines = 0;
    for (size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2))
        ++lines;
    return lines;
}

// Checks what holds after every successful run: each line ends with CR LF
// (so no bare LF), and each ".all" has as many lines as its ".lst".
void expect_consistent_reports(const TempDir &dir)
{
    std::string command_all = read_file(dir / "command.all");
    std::string command_lst = read_file(dir / "command.lst");
    std::string environment_all =
        file_exists(dir / "environment.all") ? read_file(dir / "environment.all") : "";
    std::string environment_lst = read_file(dir / "environment.lst");
    for (const std::string *bytes :
         {&command_all, &command_lst, &environment_all, &environment_lst}) {
        size_t lf = 0;
        for (char c : *bytes)
            lf += c == '\n';
        EXPECT_EQ(lf, line_count(*bytes)) << "a line does not end with CR LF";
        EXPECT_TRUE(bytes->empty() || bytes->substr(bytes->size() - 2) == "\r\n");
    }
    EXPECT_EQ(line_count(command_all), line_count(command_lst));
    EXPECT_EQ(line_count(environment_all), line_count(environment_lst));
}

TEST(Reports, TheWorkedExampleByteForByte)
{
    TempDir dir;
    make_dirs(dir / "src");
    write_file(dir / "src/a.tex", "\\documentclass{article}\n"
                                  "\\newenvironment{proof*}{\\begin{itemize}}{\\end{itemize}}\n"
                                  "\\begin{document}\n"
                                  "\\Aa \\BB \\\\ \\section*{Intro} \\@ifnextchar\n"
                                  "\\end{document}\n");
    ToolRun run = run_tool(dir.path(), {"src"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, console("Analyzing " + native("src/a.tex") + ".\n"));
    EXPECT_EQ(read_file(dir / "command.all"),
              crlf_lines({"newenvironment", "@ifnextchar", "Aa", "BB", "begin", "end", "section",
                          "documentclass"}));
    EXPECT_EQ(read_file(dir / "command.lst"),
              crlf_lines({"@ifnextchar", "Aa", "BB", "begin", "documentclass", "end",
                          "newenvironment", "section"}));
    EXPECT_EQ(read_file(dir / "environment.all"), crlf_lines({"document", "itemize", "proof"}));
    EXPECT_EQ(read_file(dir / "environment.lst"), crlf_lines({"document", "itemize", "proof"}));
    expect_consistent_reports(dir);
}

TEST(Reports, OrderOfEachFile)
{
    struct {
        std::string source;
        std::vector<std::string> command_all;
        std::vector<std::string> command_lst;
        std::vector<std::string> environment_all;
    } cases[] = {
        {"\\BB\\Aa", {"BB", "Aa"}, {"Aa", "BB"}, {}}, // one bucket: first seen first
        {"\\Aa\\BB", {"Aa", "BB"}, {"Aa", "BB"}, {}},
        {"\\ab\\a", {"a", "ab"}, {"a", "ab"}, {}}, // bucket 97 before 3105
        {"\\section\\Section\\@xp\\begin",
         {"Section", "begin", "section", "@xp"}, // buckets 1733, 2217, 3813, 3896
         {"@xp", "Section", "begin", "section"},
         {}},
        {"\\begin{b}\\begin{a}\\begin{b}\\begin{c}",
         {"begin"},
         {"begin"},
         {"c", "a", "b"}}, // newest first-seen name first
    };
    for (const auto &c : cases) {
        TempDir dir;
        make_dirs(dir / "in");
        write_file(dir / "in/x.tex", c.source);
        ToolRun run = run_tool(dir.path(), {"in"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(read_file(dir / "command.all"), crlf_lines(c.command_all)) << c.source;
        EXPECT_EQ(read_file(dir / "command.lst"), crlf_lines(c.command_lst)) << c.source;
        std::vector<std::string> sorted = c.environment_all;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(file_exists(dir / "environment.all"), !c.environment_all.empty());
        if (!c.environment_all.empty()) {
            EXPECT_EQ(read_file(dir / "environment.all"), crlf_lines(c.environment_all));
        }
        EXPECT_EQ(read_file(dir / "environment.lst"), crlf_lines(sorted)) << c.source;
        expect_consistent_reports(dir);
    }
}

TEST(Reports, CommandAllKeepsTableOrderWhateverTheChainLengths)
{
    // About 400,000 names over 5,120 buckets: chains from a few dozen names
    // to over a hundred, in a scrambled order of first appearance.
    const unsigned count = 400000;
    std::vector<std::string> names;
    std::string source;
    for (unsigned i = 0; i < count; ++i) {
        names.push_back(letter_name((i * 7919u) % count));
        source += "\\" + names.back() + "\n";
    }
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", source);
    ToolRun run = run_tool(dir.path(), {"in"});
    ASSERT_EQ(run.status, 0);
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return name_hash(a.c_str()) < name_hash(b.c_str());
    });
    EXPECT_TRUE(read_file(dir / "command.all") == crlf_lines(names));
}

TEST(Reports, EmptyResultsWithoutArguments)
{
    TempDir dir;
    ToolRun run = run_tool(dir.path(), {});
    EXPECT_EQ(run.status, 0);
    for (const char *name : {"command.all", "command.lst", "environment.lst"}) {
        EXPECT_TRUE(file_exists(dir / name)) << name;
        EXPECT_EQ(read_file(dir / name), "") << name;
    }
    EXPECT_FALSE(file_exists(dir / "environment.all"));
}

TEST(Reports, StaleReportsOfAnEarlierRunAreReplaced)
{
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", "\\new");
    write_file(dir / "command.all", "old\r\n");
    write_file(dir / "environment.all", "oldenv\r\n");
    write_file(dir / "command.lst", "old\r\nolder\r\n");
    write_file(dir / "environment.lst", "oldenv\r\n");
    ToolRun run = run_tool(dir.path(), {"in"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(dir / "command.all"), crlf_lines({"new"}));
    EXPECT_EQ(read_file(dir / "command.lst"), crlf_lines({"new"}));
    EXPECT_FALSE(file_exists(dir / "environment.all"));
    EXPECT_EQ(read_file(dir / "environment.lst"), "");
    expect_consistent_reports(dir);
}

// Runs the tool over a one-file tree whose report `report` cannot be written,
// the obstacle having been put in place by `obstruct`, and checks the message
// for `error`, the exit status, and that the other reports are whole.
template <typename Obstruct>
void expect_failed_report(const std::string &report, int error, Obstruct obstruct)
{
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", "\\begin{doc}\\end{doc}");
    obstruct(dir / report);
    ToolRun run = run_tool(dir.path(), {"in"});
    EXPECT_EQ(run.status, 1) << report;
    EXPECT_EQ(run.err, console("Analyzing " + native("in/x.tex") + ".\nCannot write " + report +
                               ": " + strerror(error) + "\n"));
    struct {
        const char *name;
        std::string bytes;
    } others[] = {
        {"command.all", crlf_lines({"begin", "end"})},
        {"command.lst", crlf_lines({"begin", "end"})},
        {"environment.all", crlf_lines({"doc"})},
        {"environment.lst", crlf_lines({"doc"})},
    };
    for (const auto &other : others)
        if (other.name != report) {
            EXPECT_EQ(read_file(dir / other.name), other.bytes) << other.name;
        }
}

// Why a report cannot be written when a directory (not empty) stands in its
// place: a store-order report cannot be removed at the start of the run, a
// sorted one cannot be opened.
int directory_error(const std::string &report)
{
#ifdef _WIN32
    (void)report;
    return EACCES;
#else
    return report.find(".all") != std::string::npos ? ENOTEMPTY : EISDIR;
#endif
}

TEST(Reports, AReportThatCannotBeWrittenFailsTheRun)
{
    // A directory in a report's place; a full disk, which shows only when
    // the buffered report is closed; a pipe with no reader, which fails at
    // once rather than waiting for one.
    enum Obstacle { kDirectory, kFullDisk, kPipe };
    struct {
        const char *report;
        Obstacle obstacle;
    } cases[] = {
        {"command.lst", kDirectory}, {"environment.all", kDirectory},
        {"command.all", kDirectory}, {"environment.lst", kDirectory},
#ifndef _WIN32 // Windows has no device that is always full, nor named pipes in the file system
        {"command.lst", kFullDisk},  {"environment.lst", kFullDisk},
        {"command.lst", kPipe},      {"environment.lst", kPipe},
#endif
    };
    for (const auto &c : cases) {
        int error = directory_error(c.report);
        expect_failed_report(c.report,
                             c.obstacle == kDirectory  ? error
                             : c.obstacle == kFullDisk ? ENOSPC
                                                       : ENXIO,
                             [&](const std::string &path) {
                                 if (c.obstacle == kDirectory)
                                     make_dirs(path + kSep + "keep");
#ifndef _WIN32
                                 else if (c.obstacle == kFullDisk)
                                     ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
                                 else
                                     ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
#endif
                             });
    }
}

TEST(Reports, FailuresAreReportedInAFixedOrder)
{
    // The store-order reports are written on a thread of their own, beside
    // the sorted ones; the messages still come in one order.
    const char *reports[] = {"environment.all", "command.all", "command.lst", "environment.lst"};
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", "\\begin{doc}");
    std::string expected = "Analyzing " + native("in/x.tex") + ".\n";
    for (const char *report : reports) {
        make_dirs(dir / (std::string(report) + "/keep"));
        expected +=
            std::string("Cannot write ") + report + ": " + strerror(directory_error(report)) + "\n";
    }
    ToolRun run = run_tool(dir.path(), {"in"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, console(expected));
}

// Copies of names laid out as the stores keep them, on a name word and
// padded with zeros to one, as sort_names() reads them.
struct StoredNames {
    std::vector<std::vector<uint64_t>> words;
    const char *add(const std::string &name)
    {
        words.emplace_back(name.size() / kNameWord + 1, 0);
        memcpy(words.back().data(), name.data(), name.size());
        return reinterpret_cast<const char *>(words.back().data());
    }
};

TEST(SortNames, PutsEachPairInByteOrderWithPrefixesFirst)
{
    struct {
        const char *first; // the pair in the order of the .lst reports
        const char *second;
    } cases[] = {
        {"@xp", "Section"}, {"Section", "begin"}, {"begin", "section"},
        {"Z", "a"},         {"sec", "section"},   {"", "a"},
        {"\x7f", "\x80"},   {"a", "\xff"}, // unsigned
    };
    std::unique_ptr<SortRoom, void (*)(SortRoom *)> room(sort_room_new(2), sort_room_free);
    StoredNames stored;
    for (const auto &c : cases)
        for (bool swapped : {false, true}) {
            const char *names[] = {stored.add(swapped ? c.second : c.first),
                                   stored.add(swapped ? c.first : c.second)};
            sort_names(names, 2, room.get());
            EXPECT_STREQ(names[0], c.first) << c.first << " vs " << c.second;
            EXPECT_STREQ(names[1], c.second);
        }
}

TEST(SortNames, RefusesANameNotLaidOutAsStored)
{
    std::unique_ptr<SortRoom, void (*)(SortRoom *)> room(sort_room_new(2), sort_room_free);
    StoredNames stored;
    const char *names[] = {stored.add("ab"), stored.add("xabc") + 1};
    EXPECT_DEATH(sort_names(names, 2, room.get()), "not as the stores keep names");
}

// What sort_names() has told: each time, whether the names it said were
// sorted were already those of the final order.
struct Told {
    const char **array;
    const std::vector<const char *> *expected;
    int last = 0;
    bool wrong = false;
};

void check_told(void *context, int count)
{
    Told *told = static_cast<Told *>(context);
    told->wrong |= count <= told->last;
    for (int i = 0; i < count; ++i)
        told->wrong |= told->array[i] != (*told->expected)[static_cast<size_t>(i)];
    told->last = count;
}

// Sorts `names` (made distinct, at least `least` of them) with sort_names()
// and checks the order against name_order(), and that what the sort told as
// it went was so.
void expect_name_order(std::vector<std::string> names, size_t least, std::mt19937 *random)
{
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    ASSERT_GE(names.size(), least);
    std::shuffle(names.begin(), names.end(), *random);
    StoredNames stored;
    std::vector<const char *> array;
    for (const std::string &name : names)
        array.push_back(stored.add(name));
    std::vector<const char *> expected = array;
    std::sort(expected.begin(), expected.end(),
              [](const char *a, const char *b) { return name_order(&a, &b) < 0; });
    SortRoom *room = sort_room_new(static_cast<int>(array.size()));
    Told told{array.data(), &expected};
    sort_names(array.data(), static_cast<int>(array.size()), room, check_told, &told);
    sort_room_free(room);
    for (size_t i = 0; i < array.size(); ++i)
        ASSERT_STREQ(array[i], expected[i]) << "at " << i << " of " << array.size();
    EXPECT_FALSE(told.wrong);
    EXPECT_EQ(told.last, static_cast<int>(array.size()));
}

// A random name: `blocks` eight-byte blocks of `fill`, then up to eleven
// bytes from a small alphabet with bytes over 0x7F in it.
std::string random_name(std::mt19937 *random, size_t blocks, char fill)
{
    std::string name(8 * blocks, fill);
    for (size_t n = (*random)() % 12; n > 0; --n)
        name += "Aa@\xe9"[(*random)() % 4];
    return name.empty() ? "x" : name;
}

TEST(SortNames, GivesNameOrderForAnyPrefixes)
{
    // Names that end exactly at an eight-byte boundary of another's prefix,
    // share long prefixes, or differ only past them, bytes over 0x7F among
    // them; few of them, then enough that large levels of the sort take its
    // radix path: names of every shape, names of which three in four share
    // their first eight bytes, and names that all do.
    const std::vector<std::string> edges = {
        "abcdefgh",
        "abcdefghi",
        "abcdefg",
        "abcdefghabcdefgh",
        "abcdefghabcdefg",
        "abcdefghabcdefghZ",
        "B",
        "@",
        "a",
        "abcdefgI",
        "abcdefgh@",
        "Z",
        "\xe9t\xe9",
        "\xff",
    };
    enum Shape { kEdgesOnly, kMixed, kCrowdedTop, kOneRun };
    for (Shape shape : {kEdgesOnly, kMixed, kCrowdedTop, kOneRun}) {
        std::mt19937 random(7 + shape);
        std::vector<std::string> names = shape == kOneRun ? std::vector<std::string>{} : edges;
        for (int i = 0; shape != kEdgesOnly && i < 60000; ++i) {
            if (shape == kMixed)
                names.push_back(random_name(&random, random() % 4, 'q'));
            else if (shape == kCrowdedTop) // three in four names start "zzzzzzzz"
                names.push_back(random_name(&random, 1 + random() % 3, i % 4 ? 'z' : 'b'));
            else
                names.push_back("sameword" + random_name(&random, random() % 3, 'q'));
        }
        SCOPED_TRACE(shape);
        expect_name_order(names, shape == kEdgesOnly ? edges.size() : 20000, &random);
    }
}

} // namespace
