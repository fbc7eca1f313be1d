// The report phase.
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// One report file being written. Lines are gathered in `block` and written a
// block at a time. The first error met is kept, so that one message names it
// however many writes fail after it; report_end() gives that message, so that
// files written on different threads report in a fixed order.
struct ReportFile {
    const char *name;
    FILE *stream;
    int error;
    size_t used;
    char block[32 * 1024];
};

// Opens `name` with `mode` (binary: the CR LF line ends are written as bytes).
// On failure keeps the error and leaves the stream null.
void report_open(ReportFile *file, const char *name, const char *mode)
{
    file->name = name;
    file->error = 0;
    file->used = 0;
    errno = 0;
    file->stream = fopen(name, mode);
    if (file->stream == nullptr)
        file->error = errno != 0 ? errno : EIO;
}

// Writes out the lines gathered so far.
void report_flush(ReportFile *file)
{
    if (file->used == 0 || file->error != 0)
        return;
    errno = 0;
    if (fwrite(file->block, 1, file->used, file->stream) != file->used)
        file->error = errno != 0 ? errno : EIO;
    file->used = 0;
}

void report_line(ReportFile *file, const char *text)
{
    if (file->stream == nullptr || file->error != 0)
        return;
    size_t length = strlen(text);
    if (file->used + length + 2 > sizeof file->block) {
        report_flush(file);
        if (length + 2 > sizeof file->block) { // a name longer than a block goes alone
            errno = 0;
            if (fwrite(text, 1, length, file->stream) != length ||
                fwrite("\r\n", 1, 2, file->stream) != 2)
                file->error = errno != 0 ? errno : EIO;
            return;
        }
    }
    memcpy(file->block + file->used, text, length);
    memcpy(file->block + file->used + length, "\r\n", 2);
    file->used += length + 2;
}

// Writes out what is gathered and closes the file, which flushes the stream,
// keeping the first error of the writes or of the close.
void report_close(ReportFile *file)
{
    if (file->stream == nullptr)
        return;
    report_flush(file);
    errno = 0;
    if (fclose(file->stream) != 0 && file->error == 0)
        file->error = errno != 0 ? errno : EIO;
    file->stream = nullptr;
}

// Gives the message of a report that failed and counts it in *failures.
void report_end(const ReportFile &file, int *failures)
{
    if (file.error == 0)
        return;
    fprintf(stderr, "Cannot write %s: %s\n", file.name, strerror(file.error));
    ++*failures;
}

// Writes "environment.all" into `file` unless the list is empty (the file is
// then neither opened nor failed). Returns the number of names.
int environment_all_lines(const EnvironmentList *list, ReportFile *file)
{
    file->name = "environment.all";
    file->stream = nullptr;
    file->error = 0;
    if (list->head == nullptr)
        return 0;
    report_open(file, file->name, "ab");
    int count = 0;
    for (const NameNode *node = list->head; node != nullptr; node = node->next, ++count)
        report_line(file, node->text);
    report_close(file);
    return count;
}

// Writes "command.all" into `file` in table order. The chains are walked
// several at a time, a node of each in turn: each step along a chain waits
// for a node to come from memory, and steps along different chains can wait
// together. Each chain's first kLaneDepth nodes are gathered that way, then
// written, then the rest of the chain (only crowded buckets have any).
void command_all_lines(const CommandTable *table, ReportFile *file)
{
    enum { kLanes = 16, kLaneDepth = 64 };
    static_assert(kBucketCount % kLanes == 0, "the lanes must divide the buckets");
    report_open(file, "command.all", "ab");
    const NameNode *gathered[kLanes][kLaneDepth];
    const NameNode *rest[kLanes];
    int depth[kLanes];
    for (int first = 0; first < kBucketCount; first += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) {
            rest[lane] = table->bucket[first + lane];
            depth[lane] = 0;
        }
        for (bool moved = true; moved;) {
            moved = false;
            for (int lane = 0; lane < kLanes; ++lane) {
                if (rest[lane] == nullptr || depth[lane] == kLaneDepth)
                    continue;
                gathered[lane][depth[lane]++] = rest[lane];
                rest[lane] = rest[lane]->next;
                moved = true;
            }
        }
        for (int lane = 0; lane < kLanes; ++lane) {
            for (int i = 0; i < depth[lane]; ++i)
                report_line(file, gathered[lane][i]->text);
            for (const NameNode *node = rest[lane]; node != nullptr; node = node->next)
                report_line(file, node->text);
        }
    }
    report_close(file);
}

// Writes the names of a sorted array into the ".lst" report `name`. The
// names lie all over memory: each is fetched some lines ahead.
void sorted_lines(NameArray names, int count, const char *name, ReportFile *file)
{
    const int ahead = 16;
    report_open(file, name, "wb");
    for (int i = 0; i < count; ++i) {
        if (i + ahead < count)
            __builtin_prefetch(names[i + ahead]);
        report_line(file, names[i]);
    }
    report_close(file);
}

// A name with the eight bytes from the current sort depth packed big-endian
// (zero after the name's end), so that comparing words as integers orders
// names as name_order() does on those bytes.
struct SortKey {
    uint64_t word;
    const char *name;
};

// Packs the bytes of `name` from `depth` on; the caller knows that the name
// is at least `depth` bytes long. A name that ends right at `depth` gives 0.
uint64_t word_at(const char *name, size_t depth)
{
    const char *p = name + depth;
    uint64_t word = 0;
    int i = 0;
    for (; i < 8 && p[i] != 0; ++i)
        word = word << 8 | static_cast<unsigned char>(p[i]);
    return i == 0 ? 0 : word << (8 * (8 - i));
}

// Levels with fewer keys than this are left to a comparison sort.
const size_t kRadixMin = 1024;

// The radix sort takes a word eleven bits at a time: six digits, the last of
// nine bits. Its counts (48 KiB) stay in the nearest cache, and a pass
// scatters the keys to at most 2048 places.
enum { kDigitBits = 11, kDigits = 6, kDigitValues = 1 << kDigitBits };

// Room for a radix sort of the largest level: as many keys again, and a count
// for each value of each digit.
struct SortScratch {
    std::vector<SortKey> keys;
    std::vector<uint32_t> counts; // kDigits x kDigitValues
};

uint32_t digit_of(uint64_t word, int digit)
{
    return static_cast<uint32_t>(word >> (kDigitBits * digit)) & (kDigitValues - 1);
}

// Sorts keys[0, count) by their words with a least-significant-digit radix
// sort, passing over the digits that all keys share. One pass counts every
// digit of every word. Stable, and linear in `count` whatever the words.
void radix_sort_words(SortKey *keys, size_t count, SortScratch *scratch)
{
    uint32_t *counts = scratch->counts.data();
    std::fill(scratch->counts.begin(), scratch->counts.end(), 0);
    for (size_t i = 0; i < count; ++i)
        for (int digit = 0; digit < kDigits; ++digit)
            ++counts[digit * kDigitValues + digit_of(keys[i].word, digit)];
    SortKey *from = keys;
    SortKey *to = scratch->keys.data();
    for (int digit = 0; digit < kDigits; ++digit) {
        uint32_t *count_of = counts + digit * kDigitValues;
        if (count_of[digit_of(keys[0].word, digit)] == count)
            continue; // every key has this digit: the pass would change nothing
        uint32_t start = 0;
        for (size_t value = 0; value < kDigitValues; ++value) {
            uint32_t n = count_of[value];
            count_of[value] = start;
            start += n;
        }
        for (size_t i = 0; i < count; ++i)
            to[count_of[digit_of(from[i].word, digit)]++] = from[i];
        std::swap(from, to);
    }
    if (from != keys)
        std::copy(from, from + count, keys);
}

// Fills the words of keys[0, count) with the bytes of their names from
// `depth` on. The names lie all over memory, so each is fetched some places
// ahead, past `count` too (up to `limit` keys), since the keys after these
// are usually the next ones filled.
void fill_words(SortKey *keys, size_t count, size_t limit, size_t depth)
{
    const size_t ahead = 16;
    for (size_t i = 0; i < count; ++i) {
        if (i + ahead < limit)
            __builtin_prefetch(keys[i + ahead].name + depth);
        keys[i].word = word_at(keys[i].name, depth);
    }
}

// Sorts keys[0, count), whose names agree on their first `depth` bytes and
// whose words hold the next eight, by those words; then each run that agrees
// on them too (and has not ended in them: a word whose last byte is zero
// holds the name's end) by the eight after. Each name is read once per level,
// however long the prefixes that names share, and the order is exactly
// name_order()'s. `limit` is the number of keys from keys[0] to the end of
// the whole array. A large level is radix sorted when there is scratch room.
void sort_from(SortKey *keys, size_t count, size_t limit, size_t depth, SortScratch *scratch)
{
    if (scratch != nullptr && count >= kRadixMin)
        radix_sort_words(keys, count, scratch);
    else
        std::sort(keys, keys + count,
                  [](const SortKey &a, const SortKey &b) { return a.word < b.word; });
    for (size_t i = 0; i < count;) {
        size_t j = i + 1;
        while (j < count && keys[j].word == keys[i].word)
            ++j;
        if (j - i > 1 && (keys[i].word & 0xff) != 0) {
            fill_words(keys + i, j - i, limit - i, depth + 8);
            sort_from(keys + i, j - i, limit - i, depth + 8, scratch);
        }
        i = j;
    }
}

} // namespace

bool sort_names(NameArray names, int count)
{
    std::vector<SortKey> keys;
    try {
        keys.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int i = 0; i < count; ++i)
        keys[static_cast<size_t>(i)].name = names[i];
    // Without room for the radix sort, the sort is only slower.
    SortScratch scratch;
    SortScratch *room = &scratch;
    try {
        if (keys.size() >= kRadixMin) {
            scratch.keys.resize(keys.size());
            scratch.counts.resize(kDigits * kDigitValues);
        }
    } catch (const std::bad_alloc &) {
        room = nullptr;
    }
    fill_words(keys.data(), keys.size(), keys.size(), 0);
    sort_from(keys.data(), keys.size(), keys.size(), 0, room);
    for (int i = 0; i < count; ++i)
        names[i] = keys[static_cast<size_t>(i)].name;
    return true;
}

int write_environment_all(const EnvironmentList *list, int *failures)
{
    ReportFile file;
    int count = environment_all_lines(list, &file);
    report_end(file, failures);
    return count;
}

void write_command_all(const CommandTable *table, int *failures)
{
    ReportFile file;
    command_all_lines(table, &file);
    report_end(file, failures);
}

int name_order(const void *a, const void *b)
{
    int order = strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
    return (order > 0) - (order < 0);
}

namespace {

// The four reports of a run, in the order of their messages.
struct ReportSet {
    ReportFile environment_all;
    ReportFile command_all;
    ReportFile command_lst;
    ReportFile environment_lst;
};

// Writes the two store-order reports. Run on a helper thread while the
// calling thread gathers and sorts the names for the sorted ones.
void write_store_order_reports(const CommandTable *table, const EnvironmentList *list,
                               ReportSet *reports)
{
    environment_all_lines(list, &reports->environment_all);
    command_all_lines(table, &reports->command_all);
}

} // namespace

int write_reports(const CommandTable *table, const EnvironmentList *list)
{
    // Four blocks of 32 KiB: too large for a stack frame on every platform.
    std::unique_ptr<ReportSet> reports(new (std::nothrow) ReportSet);
    if (reports == nullptr)
        return -1;
    std::thread writer;
    try {
        writer = std::thread(write_store_order_reports, table, list, reports.get());
    } catch (const std::system_error &) {
        write_store_order_reports(table, list, reports.get());
    }

    // The sort does not need table order, so the names come from the index.
    int command_count = 0;
    int environment_count = environment_list_count(list);
    NameArray commands = command_table_names(table, &command_count);
    NameArray environments = environment_flatten(list, environment_count);
    bool sorted = commands != nullptr && environments != nullptr &&
                  sort_names(commands, command_count) &&
                  sort_names(environments, environment_count);
    if (sorted) {
        sorted_lines(commands, command_count, "command.lst", &reports->command_lst);
        sorted_lines(environments, environment_count, "environment.lst", &reports->environment_lst);
    }
    if (writer.joinable())
        writer.join();
    free(environments);
    free(commands);

    int failures = 0;
    report_end(reports->environment_all, &failures);
    report_end(reports->command_all, &failures);
    if (!sorted)
        return -1;
    report_end(reports->command_lst, &failures);
    report_end(reports->environment_lst, &failures);
    return failures > 0 ? 1 : 0;
}
