// Tests of the read-ahead, in process, over a tree held in memory whose
// requests the test completes in an order of its choosing: reading ahead,
// with requests done late, out of order and failing, the walk must see
// exactly what it sees asking one thing at a time, within the bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <set>
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
    bool lies;      // its size says 0, whatever it holds
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
    // Refusals, on the I/O threads only: opens and listings past this many
    // handles (as when files run short), and memory for every listing.
    int io_handles = 1 << 20;
    bool io_memory_refused = false;
    bool threads_refused = false;
    bool waits = false; // every answer is one the walk waited for
    // Listings held back: `first` waits until `second` is listed, and `held`
    // until the walk is over, so that the walk passes over a directory
    // whose subdirectory's listing is still being made.
    std::string first, second, held;
    std::set<std::string> listed;
    bool walk_over = false;
    std::condition_variable changed;
};

// Refuses a request made on an I/O thread, as the tree is set to.
void refuse_on_io_thread(FakeTree *tree, bool listing)
{
    if (!ahead_on_io_thread())
        return;
    if (listing && tree->io_memory_refused)
        throw std::bad_alloc();
}

ListStatus fake_list(void *context, const std::string &path, DirectoryListing *listing)
{
    FakeTree *tree = static_cast<FakeTree *>(context);
    std::unique_lock<std::mutex> guard(tree->lock);
    tree->changed.wait(guard, [&] {
        return (path != tree->first || tree->listed.count(tree->second) != 0) &&
               (path != tree->held || tree->walk_over);
    });
    tree->listed.insert(path);
    tree->changed.notify_all();
    tree->answered.push_back("list " + path);
    refuse_on_io_thread(tree, true);
    if (ahead_on_io_thread() && tree->open_now >= tree->io_handles) {
        listing->error = EMFILE;
        return kListUnopened;
    }
    auto at = tree->directories.find(path);
    if (at == tree->directories.end()) {
        listing->error = ENOENT;
        return kListUnopened;
    }
    listing->identity = DirectoryIdentity{1, at->second.identity, true};
    listing->entries = at->second.entries;
    if (at->second.status != kListed)
        listing->error = EIO;
    return at->second.status;
}

OpenStatus fake_open(void *context, const std::string &path, SourceFile *file)
{
    FakeTree *tree = static_cast<FakeTree *>(context);
    std::lock_guard<std::mutex> guard(tree->lock);
    tree->answered.push_back("open " + path);
    auto at = tree->files.find(path);
    if (at == tree->files.end() || at->second.refused ||
        (ahead_on_io_thread() && tree->open_now >= tree->io_handles))
        return kOpenRefused;
    file->fd = static_cast<int>(tree->open_paths.size());
    file->size = at->second.lies ? 0 : at->second.bytes.size();
    tree->open_paths.push_back(path);
    tree->offsets.push_back(0);
    tree->most_open = std::max(tree->most_open, ++tree->open_now);
    return kOpened;
}

long fake_read(void *context, SourceFile *file, unsigned char *data, size_t capacity, int *error)
{
    FakeTree *tree = static_cast<FakeTree *>(context);
    std::lock_guard<std::mutex> guard(tree->lock);
    const FakeFile &source = tree->files[tree->open_paths[static_cast<size_t>(file->fd)]];
    size_t &offset = tree->offsets[static_cast<size_t>(file->fd)];
    if (offset >= source.fail_at) {
        *error = EIO;
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

bool fake_start_thread(void *context, PlatformThread *thread)
{
    return !static_cast<FakeTree *>(context)->threads_refused && thread_start(thread, 64 * 1024);
}

bool fake_waited(void *context, const WaitMark &)
{
    return static_cast<FakeTree *>(context)->waits;
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
                       size_t fail_at = std::string::npos, bool lies = false) {
        tree->files[path] = FakeFile{bytes, refused, fail_at, lies};
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
         {"join", kEntryDirectory},
         {"lies.tex", kEntryPlain},
         {"join2", kEntryDirectory},
         {"many", kEntryDirectory}});
    std::vector<DirectoryEntry> many;
    for (int n = 0; n < 8; ++n) {
        many.push_back({"m" + std::to_string(n) + ".tex", kEntryPlain});
        file(top + "many" + s + many.back().name, "\\many" + letter_name(static_cast<unsigned>(n)));
    }
    dir(top + "many" + s, 9, many);
    dir(top + "a" + s, 2,
        {{"a1.tex", kEntryPlain}, {"up", kEntryDirectory}, {"c", kEntryDirectory}});
    dir(top + "a" + s + "up" + s, 1, {{"x.tex", kEntryPlain}}); // the top again
    dir(top + "a" + s + "c" + s, 3, {{"deep.def", kEntryPlain}, {"refused.tex", kEntryPlain}});
    dir(top + ".hidden" + s, 4, {{"h.tex", kEntryPlain}});
    dir(top + "b" + s, 5,
        {{"fails.ltx", kEntryPlain}, {"b1.tex", kEntryPlain}, {"bsub", kEntryDirectory}});
    dir(top + "b" + s + "bsub" + s, 8, {{"b2.tex", kEntryPlain}});
    dir(top + "join2" + s, 5, {{"bsub", kEntryDirectory}}); // b again: passed over
    dir(top + "join2" + s + "bsub" + s, 8, {{"b2.tex", kEntryPlain}});
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
    file(top + "b" + s + "bsub" + s + "b2.tex", "\\bb");
    file(top + "lies.tex", text.substr(0, 40), false, std::string::npos, true);
    file(top + "broken" + s + "r1.tex", "\\r");
    file(top + "broken" + s + "sub" + s + "r2.tex", "\\rr");
}

// What the walk sees of `arguments`: every event, and every source's bytes
// as read in pieces of 7 bytes, or why it could not be opened or read.
std::string walk_transcript(FakeTree *tree, const AheadLimits &limits,
                            const std::vector<std::string> &arguments, AheadCounts *counts)
{
    Ahead *ahead = ahead_start(
        AheadIo{fake_list, fake_open, fake_read, fake_close, fake_start_thread, fake_waited, tree},
        limits);
    std::string transcript;
    for (const std::string &argument : arguments) {
        ahead_walk(ahead, argument);
        WalkEvent event;
        while (ahead_next(ahead, &event)) {
            if (event.kind == kEventListingFailed) {
                transcript += "cannot read " + event.path + ": " + std::to_string(event.status) +
                              " " + std::to_string(event.error) + "\n";
                continue;
            }
            unsigned long long size = 0;
            OpenStatus opened = ahead_open(ahead, &event, &size);
            transcript += "source " + event.path + " " + std::to_string(opened) + " " +
                          std::to_string(size) + ": ";
            int error = 0;
            unsigned char piece[7];
            for (long got; opened == kOpened &&
                           (got = ahead_read(ahead, &event, piece, sizeof piece, &error)) > 0;)
                transcript.append(reinterpret_cast<char *>(piece), static_cast<size_t>(got));
            transcript += " [" + std::to_string(error) + "]\n";
            ahead_done(ahead, &event);
        }
    }
    {
        std::lock_guard<std::mutex> guard(tree->lock);
        tree->walk_over = true;
        tree->changed.notify_all();
    }
    *counts = ahead_finish(ahead);
    return transcript;
}

// The order requests were made in.
size_t oldest_pick(void *, size_t)
{
    return 0;
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
    direct.threads = 0; // one thing at a time throughout
    AheadCounts counts;
    std::string expected = walk_transcript(&direct_tree, direct, arguments, &counts);
    EXPECT_FALSE(counts.ahead);
    EXPECT_EQ(direct_tree.most_open, 1);
    ASSERT_NE(expected.find("source t" + std::string(1, s) + "big.sty"), std::string::npos);
    ASSERT_NE(expected.find("cannot read missing"), std::string::npos);

    // Each row: the limits that reading ahead runs within, from the roomy to
    // the tiny, with no threads (the requests carried out when the walk
    // waits, in a random order) or with a few; and what the tree refuses.
    enum Twist { kNone, kHandles, kMemory, kThreads, kHeldBack, kOldestFirst };
    struct Row {
        const char *what;
        bool from_start; // else once the walk has waited 8 times
        int threads, sources;
        size_t source_bytes, budget, held;
        Twist refusal;
    } rows[] = {
        {"roomy, in turn", true, 0, 4096, 1 << 20, 64 << 20, 1 << 20, kNone},
        {"tiny, in turn", true, 0, 1, 5, 1 << 20, 1 << 20, kNone},
        {"small bytes, in turn", true, 0, 64, 9, 40, 1 << 20, kNone},
        {"little memory held, in turn", true, 0, 64, 1 << 20, 64 << 20, 900, kNone},
        {"roomy, threads", true, 4, 4096, 1 << 20, 64 << 20, 1 << 20, kNone},
        {"tiny, threads", true, 3, 2, 5, 12, 1 << 20, kNone},
        {"budget binds, threads", true, 3, 64, 40, 80, 1 << 20, kNone},
        {"part way, in turn", false, 0, 4096, 1 << 20, 64 << 20, 1 << 20, kNone},
        {"part way, oldest first", false, 0, 4096, 1 << 20, 64 << 20, 1 << 20, kOldestFirst},
        {"part way, tiny, threads", false, 2, 2, 5, 12, 1 << 20, kNone},
        {"handles run short, threads", true, 3, 64, 1 << 20, 64 << 20, 1 << 20, kHandles},
        {"memory refused, threads", true, 3, 64, 1 << 20, 64 << 20, 1 << 20, kMemory},
        {"threads refused", true, 4, 64, 1 << 20, 64 << 20, 1 << 20, kThreads},
        {"passed over while listed, threads", true, 3, 64, 1 << 20, 64 << 20, 1 << 20, kHeldBack},
    };
    unsigned long passed = 0, natural_redone = 0;
    for (const Row &row : rows) {
        for (unsigned seed = 1; seed <= (row.threads == 0 ? 6u : 2u); ++seed) {
            AheadLimits limits = ahead_default_limits();
            limits.always = row.from_start;
            limits.threads = row.threads;
            limits.sources = row.sources;
            limits.source_bytes = row.source_bytes;
            limits.budget = row.budget;
            limits.held = row.held;
            std::mt19937 random(seed);
            limits.pick = row.threads > 0               ? nullptr
                          : row.refusal == kOldestFirst ? oldest_pick
                                                        : random_pick;
            limits.pick_context = &random;
            FakeTree tree;
            build_tree(&tree);
            tree.waits = !row.from_start;
            tree.io_handles = row.refusal == kHandles ? 0 : tree.io_handles;
            tree.io_memory_refused = row.refusal == kMemory;
            tree.threads_refused = row.refusal == kThreads;
            if (row.refusal == kHeldBack) {
                // b waits for join2 (b again), which so has its subdirectory
                // requested first; that listing is held while the walk
                // passes join2 over.
                tree.first = std::string("t") + s + "b" + s;
                tree.second = std::string("t") + s + "join2" + s;
                tree.held = tree.second + "bsub" + s;
            }
            std::string got = walk_transcript(&tree, limits, arguments, &counts);
            EXPECT_EQ(got, expected) << row.what << ", seed " << seed;
            EXPECT_TRUE(counts.ahead) << row.what;
            EXPECT_GT(counts.requests, 0u) << row.what;
            EXPECT_EQ(counts.threads > 0, row.threads > 0 && row.refusal != kThreads) << row.what;
            // Requests refused ahead are made again: more than the tree's own
            // failures (a listing or an open that fails ahead fails again).
            if (row.refusal == kHandles || row.refusal == kMemory)
                EXPECT_GT(counts.redone, natural_redone) << row.what;
            else if (row.threads > 0 && row.sources == 4096)
                natural_redone = counts.redone;
            // The bounds: bytes read ahead, memory held ahead (past the
            // bound by one request and one listing at most), sources open at
            // once (those fetched ahead, and the walk's).
            EXPECT_LE(counts.most_bytes, row.budget) << row.what;
            EXPECT_LE(counts.most_held, row.held + 1024) << row.what;
            EXPECT_LE(tree.most_open, row.sources + std::max(row.threads, 1) + 1) << row.what;
            EXPECT_EQ(tree.open_now, 0) << row.what;
            // Each directory and source requested about once, a cycle of
            // links included.
            EXPECT_LT(counts.requests, 100u) << row.what;
            if (row.threads == 0) {
                EXPECT_NE(tree.answered, direct_tree.answered) << "not out of order: " << row.what;
            }
            // A source whose end came with its first bytes is closed at once:
            // only the one whose size says 0 waits open for the walk.
            if (row.source_bytes == 1 << 20) {
                EXPECT_LE(tree.most_open, std::max(row.threads, 1) + 2) << row.what;
            }
            // Started part way, the directories under way have their
            // subdirectories requested: listed before the walk comes to them.
            if (row.refusal == kOldestFirst) {
                auto at = [&](const std::string &what) {
                    return std::find(tree.answered.begin(), tree.answered.end(), what) -
                           tree.answered.begin();
                };
                EXPECT_LT(at("list t" + std::string(1, s) + "many" + s),
                          at("open t" + std::string(1, s) + "x.tex"));
            }
            passed += counts.passed;
        }
    }
    EXPECT_GT(passed, 0u); // listings under a directory walked before were passed over
}

} // namespace
