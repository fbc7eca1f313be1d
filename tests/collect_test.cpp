// Tests of the collection pipeline, in process, at limits small enough that
// every edge is reached by construction: each run is held to a one-thread
// reference (the scanner alone over each whole source, its names added to
// fresh stores in turn), and the pipeline's counts show that the edge a row
// aims at was taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "collect/collect.h"
#include "collect/recent_names.h"
#include "scan/scan.h"
#include "test_support.h"

namespace {

// A source in memory, read as a file would be but with the short reads and
// the failure a test chooses.
struct MemorySource {
    std::string bytes;
    std::vector<size_t> reads; // the sizes of successive reads, cycled; empty: as asked
    size_t fail_at;            // a read that starts here fails; npos: none
    size_t at;
    size_t next;
};

long read_memory(void *context, unsigned char *data, size_t capacity, int *error)
{
    MemorySource *source = static_cast<MemorySource *>(context);
    if (source->at == source->fail_at) {
        *error = EIO;
        return -1;
    }
    size_t count = std::min(capacity, source->bytes.size() - source->at);
    if (!source->reads.empty())
        count = std::min(count, source->reads[source->next++ % source->reads.size()]);
    if (source->fail_at != std::string::npos)
        count = std::min(count, source->fail_at - source->at);
    memcpy(data, source->bytes.data() + source->at, count);
    source->at += count;
    return static_cast<long>(count);
}

// The idle/busy answers a test gives, cycled.
struct IdleScript {
    std::vector<bool> answers;
    size_t next;
};

bool scripted_idle(void *context)
{
    IdleScript *script = static_cast<IdleScript *>(context);
    return script->answers[script->next++ % script->answers.size()];
}

// The stores' contents: the table in its order, the list from its head.
struct Stored {
    std::vector<std::string> commands, environments;
    bool operator==(const Stored &other) const
    {
        return commands == other.commands && environments == other.environments;
    }
};

Stored stored_of(CommandTable *table, EnvironmentList *list)
{
    Stored stored;
    int count = 0;
    NameArray names = command_table_flatten(table, &count);
    stored.commands.assign(names, names + count);
    name_array_free(names);
    count = environment_list_count(list);
    names = environment_flatten(list, count);
    stored.environments.assign(names, names + count);
    name_array_free(names);
    return stored;
}

// The reference: each source scanned whole by the scanner alone (up to
// `ends[i]` bytes), every name added to fresh stores in turn.
Stored reference(const std::vector<std::string> &sources, const std::vector<size_t> &ends)
{
    CommandTable *table = command_table_new();
    EnvironmentList list{};
    for (size_t i = 0; i < sources.size(); ++i) {
        std::string bytes = sources[i].substr(0, ends[i]);
        SourceBuffer buffer;
        source_buffer_init(&buffer, reinterpret_cast<unsigned char *>(&bytes[0]), bytes.size() + 1);
        source_buffer_refill(&buffer, bytes.size(), true);
        Scanner scanner;
        scanner_init(&scanner);
        for (ScanToken token; (token = scanner_next(&scanner, &buffer)) != kTokenEnd;) {
            std::string name(scanner.name, scanner.name_length);
            if (token == kTokenCommand)
                store_command(table, name);
            else
                store_environment(&list, name);
        }
    }
    Stored stored = stored_of(table, &list);
    command_table_free(table);
    environment_free(&list);
    return stored;
}

struct Collected {
    Stored stored;
    CollectCounts counts;
    std::vector<int> errors; // per source: 0, or why it failed
};

// Collects `sources` through the pipeline with `limits`, each read in
// `reads` (cycled) and failing at `fail_at[i]` (npos: never).
Collected collect(const std::vector<std::string> &sources, const CollectLimits &limits,
                  const std::vector<size_t> &reads, const std::vector<size_t> &fail_at)
{
    CommandTable *table = command_table_new();
    EnvironmentList list{};
    Collector *collector = collect_start(table, &list, limits);
    Collected result;
    for (size_t i = 0; i < sources.size(); ++i) {
        MemorySource source{sources[i], reads, fail_at[i], 0, 0};
        int error = 0;
        bool read = collect_source(collector, SourceReader{read_memory, &source, sources[i].size()},
                                   &error);
        EXPECT_EQ(read, error == 0);
        result.errors.push_back(read ? 0 : error);
    }
    result.counts = collect_finish(collector);
    result.stored = stored_of(table, &list);
    command_table_free(table);
    environment_free(&list);
    return result;
}

// Random TeX-like sources: names of the lengths that sit on the edges of the
// recent-names memory and of a record's length bytes, names cut at the
// scanner's limit, keywords with text before their brace, escapes, repeats
// near and far, and one-bucket names.
std::vector<std::string> random_sources(unsigned seed, int count, size_t largest)
{
    std::mt19937 random(seed);
    const size_t lengths[] = {1, 2, 7, 8, 15, 16, 17, 31, 32, 33, 255, 256, 257, 1023, 1100};
    std::vector<std::string> sources;
    for (int s = 0; s < count; ++s) {
        std::string text;
        size_t size = random() % (largest + 1);
        while (text.size() < size) {
            switch (random() % 8) {
            case 0:
                text += "\\begin" + std::string(random() % 3, ' ') + "{" +
                        letter_name(random() % 40) + (random() % 2 ? "}" : "*}");
                break;
            case 1:
                text += "\\newenvironment{" + letter_name(random() % 300) + "}";
                break;
            case 2: {
                size_t length = lengths[random() % (sizeof lengths / sizeof lengths[0])];
                std::string name(length, 'a');
                for (char &c : name)
                    c = LetterSet[random() % 53];
                text += "\\" + name;
                break;
            }
            case 3:
                text += random() % 2 ? "\\Aa" : "\\BB";
                break;
            case 4:
                text += "\\\\x\\{ %" + std::string(random() % 20, ' ');
                break;
            default:
                text += "\\" + letter_name(random() % 64) + (random() % 2 ? " " : "");
            }
        }
        sources.push_back(text);
    }
    return sources;
}

CollectLimits tiny_limits()
{
    CollectLimits limits = collect_default_limits();
    limits.read_size = 7;
    limits.batch_size = 0; // raised to the longest record
    limits.ring_length = 2;
    limits.stretches = 3;
    limits.least_read = 1;
    limits.hand_over = 40;
    return limits;
}

const size_t npos = std::string::npos;

TEST(Collect, GivesTheOneThreadStoresAtEveryLimit)
{
    // Each row: the limits, the reads a source gives, where the store thread
    // is said to be idle (where the ring decides, by timing, no edge is
    // claimed), and the edges its counts must show were reached.
    enum Edge { kHandedOver = 1, kFullTable = 2, kCut = 4, kResumed = 8 };
    struct Row {
        const char *what;
        size_t read_size, batch_size;
        int ring_length, free_below, stretches;
        size_t least_read;
        unsigned long long hand_over;
        bool one_thread;
        std::vector<size_t> reads;
        std::vector<bool> idle; // empty: the ring decides
        int edges;
    } rows[] = {
        {"the run's own limits",
         kDefaultBufferSize,
         256 * 1024,
         16,
         11,
         256,
         4096,
         1024 * 1024,
         false,
         {},
         {},
         0},
        {"every source handed over, one to three bytes a stretch",
         7,
         0,
         2,
         1,
         3,
         1,
         1u << 30,
         false,
         {1, 2, 3},
         {true},
         kHandedOver | kFullTable | kCut},
        {"every source scanned here, one-byte reads",
         1,
         0,
         2,
         1,
         3,
         1,
         1u << 30,
         false,
         {1},
         {false},
         0},
        {"by turns, one stretch a batch",
         3,
         0,
         3,
         1,
         1,
         1,
         1u << 30,
         false,
         {3, 1},
         {true, false, false},
         kHandedOver | kFullTable | kCut},
        {"large sources begun here, their rest handed over",
         5,
         0,
         2,
         1,
         64,
         1,
         1500,
         false,
         {2, 5, 1},
         {true},
         kHandedOver | kCut | kResumed},
        {"the one-thread fallback, handing over",
         4,
         0,
         2,
         1,
         2,
         1,
         1u << 30,
         true,
         {1, 4},
         {true, true, false},
         kHandedOver | kFullTable | kCut},
        {"the one-thread fallback, scanning here", 9, 0, 2, 1, 4, 1, 1u << 30, true, {}, {}, 0},
        {"the rest handed over part way, several a batch",
         7,
         4096,
         3,
         1,
         64,
         1,
         1u << 30,
         false,
         {7},
         {false, true},
         kHandedOver | kCut | kResumed},
        {"the ring decides", 11, 0, 3, 2, 2, 8, 2000, false, {5, 11}, {}, 0},
    };
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::vector<std::string> sources = random_sources(seed, 24, 3000);
        sources.push_back(""); // an empty source
        std::vector<size_t> ends(sources.size(), npos);
        Stored expected = reference(sources, ends);
        for (const Row &row : rows) {
            CollectLimits limits = collect_default_limits();
            limits.read_size = row.read_size;
            limits.batch_size = row.batch_size;
            limits.ring_length = row.ring_length;
            limits.free_below = row.free_below;
            limits.stretches = row.stretches;
            limits.least_read = row.least_read;
            limits.hand_over = row.hand_over;
            limits.one_thread = row.one_thread;
            IdleScript script{row.idle, 0};
            if (!row.idle.empty()) {
                limits.idle = scripted_idle;
                limits.idle_context = &script;
            }
            Collected got = collect(sources, limits, row.reads, ends);
            EXPECT_TRUE(got.stored == expected) << row.what << ", seed " << seed;
            EXPECT_EQ(got.counts.threaded, !row.one_thread) << row.what;
            const CollectCounts &n = got.counts;
            int reached = (n.handed_over > 0 ? kHandedOver : 0) |
                          (n.flushed_stretches > 0 ? kFullTable : 0) |
                          (n.cut_names > 0 ? kCut : 0) | (n.resumed > 0 ? kResumed : 0);
            EXPECT_EQ(reached & row.edges, row.edges) << row.what << ", seed " << seed;
        }
    }
}

TEST(Collect, AReadErrorEndsTheSourceAndKeepsTheNamesBefore)
{
    // The failure comes in the middle of a stretch handed over, in the
    // middle of a block read here, and at the very start; the sources after
    // it are read whole.
    std::vector<std::string> sources = random_sources(7, 6, 400);
    std::vector<size_t> fail_at = {npos, 133, npos, 0, 250, npos};
    for (bool idle : {true, false}) {
        CollectLimits limits = tiny_limits();
        limits.hand_over = 1u << 30;
        IdleScript script{{idle}, 0};
        limits.idle = scripted_idle;
        limits.idle_context = &script;
        Collected got = collect(sources, limits, {2, 9, 4}, fail_at);
        EXPECT_TRUE(got.stored == reference(sources, fail_at)) << idle;
        for (size_t i = 0; i < sources.size(); ++i)
            EXPECT_EQ(got.errors[i], fail_at[i] == npos ? 0 : EIO) << i;
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
        EXPECT_EQ(recent_name_seen(recent.get(), kKindCommand, again.data(), length),
                  length <= kRecentLongMax)
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

} // namespace
