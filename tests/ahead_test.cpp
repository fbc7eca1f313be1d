// Tests of the read-ahead, in process, over a tree held in memory whose
// requests the test completes in an order of its choosing: reading ahead,
// with requests done late, out of order and failing, the walk must see
// exactly what it sees asking one thing at a time, within the bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ahead/ahead.h"
#include "test_support.h"

namespace {

struct FakeDirectory {
    std::vector<DirectoryEntry> entries;
    ListStatus status;
    unsigned long long identity;
};

struct FakeFile {
    std::string bytes;
    bool refused;   // cannot be opened
    size_t fail_at; // a read from here on fails; npos: none
};

// A tree in memory, its requests made through AheadIo, from any thread.
struct FakeTree {
    std::map<std::string, FakeDirectory> directories;
    std::map<std::string, FakeFile> files;
    std::mutex lock;
    std::vector<std::string> open_paths; // by descriptor
    std::vector<size_t> offsets;
    int open_now = 0, most_open = 0;
    std::vector<std::string> answered; // the requests in the order they were answered
};

ListStatus fake_list(void *context, const std::string &path, DirectoryListing *listing)
{
    FakeTree *tree = static_cast<FakeTree *>(context);
    std::lock_guard<std::mutex> guard(tree->lock);
    tree->answered.push_back("list " + path);
    auto at = tree->directories.find(path);
    if (at == tree->directories.end()) {
        listing->error = "No such file or directory";
        return kListUnopened;
    }
    listing->identity = DirectoryIdentity{1, at->second.identity, true};
    listing->entries = at->second.entries;
    if (at->second.status != kListed)
        listing->error = "Input/output error";
    return at->second.status;
}

OpenStatus fake_open(void *context, const std::string &path, SourceFile *file)
{
    FakeTree *tree = static_cast<FakeTree *>(context);
    std::lock_guard<std::mutex> guard(tree->lock);
    tree->answered.push_back("open " + path);
    auto at = tree->files.find(path);
    if (at == tree->files.end() || at->second.refused)
        return kOpenRefused;
    file->fd = static_cast<int>(tree->open_paths.size());
    file->size = at->second.bytes.size();
    tree->open_paths.push_back(path);
    tree->offsets.push_back(0);
    tree->most_open = std::max(tree->most_open, ++tree->open_now);
    return kOpened;
}

long fake_read(void *context, SourceFile *file, unsigned char *data, size_t capacity,
               std::string *error)
{
    FakeTree *tree = static_cast<FakeTree *>(context);
    std::lock_guard<std::mutex> guard(tree->lock);
    const FakeFile &source = tree->files[tree->open_paths[static_cast<size_t>(file->fd)]];
    size_t &offset = tree->offsets[static_cast<size_t>(file->fd)];
    if (offset >= source.fail_at) {
        *error = "Input/output error";
        return -1;
    }
    size_t count = std::min({capacity, source.bytes.size() - offset, source.fail_at - offset});
    source.bytes.copy(reinterpret_cast<char *>(data), count, offset);
    offset += count;
    return static_cast<long>(count);
}

void fake_close(void *context, SourceFile *)
{
    FakeTree *tree = static_cast<FakeTree *>(context);
    std::lock_guard<std::mutex> guard(tree->lock);
    --tree->open_now;
}

// A tree with the walk's every turn: nested directories, names beginning
// with '.', other files and special ones, sources empty, small and larger
// than any read ahead, a link back up (a cycle) and a second way into one
// directory, a listing that fails part way and one that cannot be opened, a
// source that cannot be opened and one whose read fails part way.
void build_tree(FakeTree *tree)
{
    auto dir = [tree](const std::string &path, unsigned long long id,
                      std::vector<DirectoryEntry> entries, ListStatus status = kListed) {
        tree->directories[path] = FakeDirectory{entries, status, id};
    };
    auto file = [tree](const std::string &path, std::string bytes, bool refused = false,
                       size_t fail_at = std::string::npos) {
        tree->files[path] = FakeFile{bytes, refused, fail_at};
    };
    const char s = kPathSeparator;
    std::string top = std::string("t") + s;
    dir(top, 1,
        {{"a", kEntryDirectory},
         {"x.tex", kEntryPlain},
         {".hidden", kEntryDirectory},
         {"notes.txt", kEntryPlain},
         {"b", kEntryDirectory},
         {"pipe.tex", kEntrySpecial},
         {"empty.tex", kEntryPlain},
         {"gone", kEntryDirectory},
         {"broken", kEntryDirectory},
         {"big.sty", kEntryPlain},
         {"join", kEntryDirectory}});
    dir(top + "a" + s, 2,
        {{"a1.tex", kEntryPlain}, {"up", kEntryDirectory}, {"c", kEntryDirectory}});
    dir(top + "a" + s + "up" + s, 1, {{"x.tex", kEntryPlain}}); // the top again
    dir(top + "a" + s + "c" + s, 3, {{"deep.def", kEntryPlain}, {"refused.tex", kEntryPlain}});
    dir(top + ".hidden" + s, 4, {{"h.tex", kEntryPlain}});
    dir(top + "b" + s, 5, {{"fails.ltx", kEntryPlain}, {"b1.tex", kEntryPlain}});
    dir(top + "broken" + s, 6, {{"r1.tex", kEntryPlain}, {"sub", kEntryDirectory}}, kListBroken);
    dir(top + "broken" + s + "sub" + s, 7, {{"r2.tex", kEntryPlain}});
    dir(top + "join" + s, 3, {{"deep.def", kEntryPlain}}); // a/c again, another way
    std::string text;
    for (unsigned n = 0; n < 300; ++n)
        text += "\\" + letter_name(n) + " ";
    file(top + "x.tex", "\\x\\begin{doc}");
    file(top + "empty.tex", "");
    file(top + "big.sty", text);
    file(top + "a" + s + "a1.tex", text.substr(0, 77));
    file(top + "a" + s + "up" + s + "x.tex", "\\x");
    file(top + "a" + s + "c" + s + "deep.def", "\\deep");
    file(top + "a" + s + "c" + s + "refused.tex", "", true);
    file(top + ".hidden" + s + "h.tex", "\\hidden");
    file(top + "b" + s + "fails.ltx", text, false, 100);
    file(top + "b" + s + "b1.tex", "\\b");
    file(top + "broken" + s + "r1.tex", "\\r");
    file(top + "broken" + s + "sub" + s + "r2.tex", "\\rr");
}

// What the walk sees of `arguments`: every event, and every source's bytes
// as read in pieces of 7 bytes, or why it could not be opened or read.
std::string walk_transcript(FakeTree *tree, const AheadLimits &limits,
                            const std::vector<std::string> &arguments, AheadCounts *counts)
{
    Ahead *ahead = ahead_start(AheadIo{fake_list, fake_open, fake_read, fake_close, tree}, limits);
    std::string transcript;
    for (const std::string &argument : arguments) {
        ahead_walk(ahead, argument);
        WalkEvent event;
        while (ahead_next(ahead, &event)) {
            if (event.kind == kEventListingFailed) {
                transcript += "cannot read " + event.path + ": " + std::to_string(event.status) +
                              " " + event.error + "\n";
                continue;
            }
            unsigned long long size = 0;
            OpenStatus opened = ahead_open(ahead, &event, &size);
            transcript += "source " + event.path + " " + std::to_string(opened) + " " +
                          std::to_string(size) + ": ";
            std::string error;
            unsigned char piece[7];
            for (long got; opened == kOpened &&
                           (got = ahead_read(ahead, &event, piece, sizeof piece, &error)) > 0;)
                transcript.append(reinterpret_cast<char *>(piece), static_cast<size_t>(got));
            transcript += " [" + error + "]\n";
            ahead_done(ahead, &event);
        }
    }
    *counts = ahead_finish(ahead);
    return transcript;
}

// The scrambled order: each waiting request is picked at random.
size_t random_pick(void *context, size_t waiting)
{
    return static_cast<std::mt19937 *>(context)->operator()() % waiting;
}

TEST(Ahead, ReadingAheadGivesTheWalkWhatAskingInTurnGives)
{
    const char s = kPathSeparator;
    const std::vector<std::string> arguments = {std::string("t") + s, std::string("missing") + s,
                                                std::string("t") + s + "a" + s};
    FakeTree direct_tree;
    build_tree(&direct_tree);
    AheadLimits direct = ahead_default_limits();
    direct.slow_seconds = 1e9; // never slow: one thing at a time throughout
    AheadCounts counts;
    std::string expected = walk_transcript(&direct_tree, direct, arguments, &counts);
    EXPECT_FALSE(counts.ahead);
    EXPECT_EQ(direct_tree.most_open, 1);
    ASSERT_NE(expected.find("source t" + std::string(1, s) + "big.sty"), std::string::npos);
    ASSERT_NE(expected.find("cannot read missing"), std::string::npos);

    // Each row: the limits that reading ahead runs within, from the roomy to
    // the tiny, with no threads (the requests carried out when the walk
    // waits, in a random order) or with a few.
    struct Row {
        const char *what;
        bool from_start; // else from the 8th answer on: each is taken as slow
        int threads, sources;
        size_t source_bytes, budget;
        int kept_open, listings;
    } rows[] = {
        {"roomy, in turn", true, 0, 4096, 1 << 20, 64 << 20, 16, 1024},
        {"tiny, in turn", true, 0, 1, 5, 12, 1, 1},
        {"small bytes, in turn", true, 0, 64, 9, 40, 0, 3},
        {"roomy, threads", true, 4, 4096, 1 << 20, 64 << 20, 16, 1024},
        {"tiny, threads", true, 3, 2, 5, 12, 1, 2},
        {"part way, in turn", false, 0, 4096, 1 << 20, 64 << 20, 16, 1024},
        {"part way, tiny, threads", false, 2, 2, 5, 12, 1, 2},
    };
    for (const Row &row : rows) {
        for (unsigned seed = 1; seed <= (row.threads == 0 ? 6u : 2u); ++seed) {
            AheadLimits limits = ahead_default_limits();
            limits.always = row.from_start;
            limits.slow_seconds = 0;
            limits.threads = row.threads;
            limits.sources = row.sources;
            limits.source_bytes = row.source_bytes;
            limits.budget = row.budget;
            limits.kept_open = row.kept_open;
            limits.listings = row.listings;
            std::mt19937 random(seed);
            limits.pick = random_pick;
            limits.pick_context = &random;
            FakeTree tree;
            build_tree(&tree);
            std::string got = walk_transcript(&tree, limits, arguments, &counts);
            EXPECT_EQ(got, expected) << row.what << ", seed " << seed;
            EXPECT_TRUE(counts.ahead);
            EXPECT_GT(counts.requests, 0u);
            // The bounds: bytes held ahead, and sources open at once (on
            // each thread, those held open past their fetch, and the walk's).
            // (The bound on bytes gives way to the one source the walk waits for.)
            EXPECT_LE(counts.most_bytes, row.budget + row.source_bytes) << row.what;
            EXPECT_LE(tree.most_open, std::max(row.threads, 1) + row.kept_open + 1) << row.what;
            EXPECT_EQ(tree.open_now, 0) << row.what;
            if (row.threads == 0) {
                EXPECT_NE(tree.answered, direct_tree.answered) << "not out of order: " << row.what;
            }
        }
    }
}

} // namespace
