// The report phase.
#include "report.h"

#include "../platform/platform.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// A name being sorted, with the eight bytes from the current sort depth
// packed big-endian (zero after the name's end).
struct SortKey {
    uint64_t word;
    const char *name;
};

// One report file being written. Lines are gathered in `block` and written a
// block at a time. The first error met is kept, so that one message names it
// however many writes fail after it; report_end() gives that message, so that
// files written on different threads report in a fixed order.
struct ReportFile {
    const char *name = nullptr;
    ReportStream stream{-1, false, false, {}, {}, false, 0, 0};
    bool open = false;
    int error = 0;
    size_t used = 0;
    char block[32 * 1024];
};

// Writes out the lines gathered so far.
void report_flush(ReportFile *file)
{
    if (file->used == 0 || file->error != 0)
        return;
    file->error = report_stream_write(&file->stream, file->block, file->used);
    file->used = 0;
}

void report_line(ReportFile *file, const char *text)
{
    if (file->error != 0)
        return;
    // Names are cut at 1,023 bytes when scanned: every line fits a block.
    size_t length = strlen(text);
    assert(length + 2 <= sizeof file->block);
    if (file->used + length + 2 > sizeof file->block)
        report_flush(file);
    memcpy(file->block + file->used, text, length);
    memcpy(file->block + file->used + length, "\r\n", 2);
    file->used += length + 2;
}

// Opens the report `name` (binary: the CR LF line ends are written as
// bytes), keeping the reason when it cannot be opened. The report itself is
// not touched until it is closed whole.
void report_open(ReportFile *file, const char *name)
{
    file->name = name;
    file->used = 0;
    file->error = report_stream_open(name, &file->stream);
    file->open = file->error == 0;
}

// Writes the `count` names of `names` into the opened report, keeping the
// first error; does nothing when the report did not open. The names may lie
// all over memory: each is fetched some lines ahead.
void report_lines(ReportFile *file, const NameArray names, int count)
{
    if (!file->open)
        return;
    const int ahead = 16;
    for (int i = 0; i < count; ++i) {
        if (i + ahead < count)
            __builtin_prefetch(names[i + ahead]);
        report_line(file, names[i]);
    }
}

// Writes out what is gathered and ends the writing of the report, keeping the
// first error of the writes or the end; does nothing when the report did not
// open. The report takes its place later, in report_commit().
void report_finish(ReportFile *file)
{
    if (!file->open)
        return;
    report_flush(file);
    int error = report_stream_finish(&file->stream);
    if (file->error == 0)
        file->error = error;
}

// The written report takes the old one's place; after a failure, the old one
// is left as it was. Keeps the first error.
void report_commit(ReportFile *file)
{
    if (!file->open)
        return;
    int error = report_stream_close(&file->stream, file->error == 0);
    if (file->error == 0)
        file->error = error;
    file->open = false;
}

// Writes the `count` names of `names` into the opened report and closes it.
void report_fill(ReportFile *file, NameArray names, int count)
{
    report_lines(file, names, count);
    report_finish(file);
}

// Gives the message of a report that failed and counts it in *failures.
void report_end(const ReportFile &file, int *failures)
{
    if (file.error == 0)
        return;
    char line[256];
    int length = snprintf(line, sizeof line, "Cannot write %s: %s\n", file.name,
                          report_error_text(file.error));
    if (length > 0)
        message_write(line, std::min(static_cast<size_t>(length), sizeof line - 1));
    ++*failures;
}

// The eight bytes of `name` from `depth` (a multiple of kNameWord) on, the
// first highest; the caller knows that the name is at least `depth` bytes
// long. Stored names are padded with zero bytes to a name word, so the
// bytes past the name's end are zero: one that ends right at `depth` gives
// 0, and a word whose lowest byte is not zero holds no end.
uint64_t word_at(const char *name, size_t depth)
{
    static_assert(kNameWord == sizeof(uint64_t), "a sort word is a name word");
    uint64_t word;
    memcpy(&word, name + depth, sizeof word);
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
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

// Levels with fewer keys than this are left to a comparison sort.
const size_t kRadixMin = 1024;

// The radix sort takes a word eleven bits at a time: six digits, the last of
// nine bits. Its counts (48 KiB) stay in the nearest cache, and a pass
// scatters the keys to at most 2048 places.
enum { kDigitBits = 11, kDigits = 6, kDigitValues = 1 << kDigitBits };

} // namespace

// Room for sorting `keys` names: the keys, as many again for the radix sort's
// passes, and a count for each value of each digit.
struct SortRoom {
    explicit SortRoom(size_t keys) : key(new SortKey[2 * keys]), spare(key + keys) {}
    ~SortRoom() { delete[] key; }
    SortRoom(const SortRoom &) = delete;
    SortRoom &operator=(const SortRoom &) = delete;
    SortKey *key;
    SortKey *spare;
    uint32_t counts[kDigits * kDigitValues];
};

namespace {

uint32_t digit_of(uint64_t word, int digit)
{
    return static_cast<uint32_t>(word >> (kDigitBits * digit)) & (kDigitValues - 1);
}

// Sorts keys[0, count) by their words with a least-significant-digit radix
// sort through `spare` (room for `count` keys) and `counts` (kDigits x
// kDigitValues), passing over the digits that all keys share. Stable, and
// linear in `count` whatever the words.
void radix_sort_words(SortKey *keys, size_t count, SortKey *spare, uint32_t *counts)
{
    std::fill(counts, counts + kDigits * kDigitValues, 0);
    for (size_t i = 0; i < count; ++i)
        for (int digit = 0; digit < kDigits; ++digit)
            ++counts[digit * kDigitValues + digit_of(keys[i].word, digit)];
    SortKey *from = keys;
    SortKey *to = spare;
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

// Where a sort puts its names as it finishes them, and whom it tells.
struct SortProgress {
    NameArray names;
    void (*sorted)(void *context, int count); // or null
    void *context;
    size_t told; // names told of so far
};

// Sorts keys[0, count), whose names agree on their first `depth` bytes and
// whose words hold the next eight, by those words; then each run that agrees
// on them too (and has not ended in them: a word whose last byte is zero
// holds the name's end) by the eight after. Each name is read once per level,
// however long the prefixes that names share, and the order is exactly
// the reports' byte order. `limit` is the number of keys from keys[0] to the end of
// the whole array; `room` is the sort's working space. At the top level,
// `progress` takes each run's names once the run is sorted, and is told
// every few thousand names and at the end.
void sort_from(SortKey *keys, size_t count, size_t limit, size_t depth, SortRoom *room,
               SortProgress *progress)
{
    const size_t kTellStep = 8192;
    if (count >= kRadixMin)
        radix_sort_words(keys, count, room->spare, room->counts);
    else
        std::sort(keys, keys + count,
                  [](const SortKey &a, const SortKey &b) { return a.word < b.word; });
    for (size_t i = 0; i < count;) {
        size_t j = i + 1;
        while (j < count && keys[j].word == keys[i].word)
            ++j;
        if (j - i > 1 && (keys[i].word & 0xff) != 0) {
            fill_words(keys + i, j - i, limit - i, depth + 8);
            sort_from(keys + i, j - i, limit - i, depth + 8, room, nullptr);
        }
        if (progress != nullptr) {
            for (size_t k = i; k < j; ++k)
                progress->names[k] = keys[k].name;
            if (progress->sorted != nullptr && (j - progress->told >= kTellStep || j == count)) {
                progress->sorted(progress->context, static_cast<int>(j));
                progress->told = j;
            }
        }
        i = j;
    }
}

// The four reports of a run, in the order of their messages, and what the
// two threads of the report phase tell each other: the calling thread that
// it has taken all the memory it needs (until then no report may be opened)
// and how far it has sorted the names of the sorted reports, which the
// helper thread writes as they come.
struct ReportSet {
    ReportFile environment_all;
    ReportFile command_all;
    ReportFile command_lst;
    ReportFile environment_lst;
    std::mutex lock;
    std::condition_variable changed;
    bool allocated = false;
    NameArray command_lst_names = nullptr; // the names, sorted as far as told
    int commands = 0;
    int commands_sorted = 0;
    NameArray environment_lst_names = nullptr;
    int environments = 0;
    bool environments_sorted = false;
};

// Tells the helper thread that the first `count` command names are sorted.
void tell_commands_sorted(void *context, int count)
{
    ReportSet *reports = static_cast<ReportSet *>(context);
    std::lock_guard<std::mutex> guard(reports->lock);
    reports->commands_sorted = count;
    reports->changed.notify_all();
}

// Waits until more than `written` command names are sorted and returns how
// many are.
int wait_commands_sorted(ReportSet *reports, int written)
{
    std::unique_lock<std::mutex> guard(reports->lock);
    reports->changed.wait(guard, [&] { return reports->commands_sorted > written; });
    return reports->commands_sorted;
}

// Writes the four reports, on a helper thread while the calling thread sorts
// the names: the store-order ones first, then the sorted ones as the sort
// finishes them. All four are opened first, once every other allocation of
// the phase is made.
void write_each_report(const CommandTable *table, const EnvironmentList *list, StaleReports stale,
                       ReportSet *reports)
{
    int commands = 0, environments = environment_list_count(list);
    NameArray command_all = command_table_flatten(table, &commands);
    NameArray environment_all = environment_flatten(list, environments);
    {
        std::unique_lock<std::mutex> guard(reports->lock);
        reports->changed.wait(guard, [reports] { return reports->allocated; });
    }
    // Every report is opened (its temporary file made: opening takes memory)
    // before the first takes its place.
    report_open(&reports->command_lst, "command.lst");
    report_open(&reports->environment_lst, "environment.lst");
    // A report left unwritten keeps its name and the reason for its message.
    reports->environment_all.name = "environment.all";
    reports->environment_all.error = stale.environment_all;
    reports->command_all.name = "command.all";
    reports->command_all.error = stale.command_all;
    if (environments > 0 && stale.environment_all == 0)
        report_open(&reports->environment_all, "environment.all");
    if (stale.command_all == 0)
        report_open(&reports->command_all, "command.all");
    report_fill(&reports->environment_all, environment_all, environments);
    report_fill(&reports->command_all, command_all, commands);
    name_array_free(environment_all);
    name_array_free(command_all);

    for (int written = 0; written < reports->commands;) {
        int sorted = wait_commands_sorted(reports, written);
        report_lines(&reports->command_lst, reports->command_lst_names + written, sorted - written);
        written = sorted;
    }
    report_finish(&reports->command_lst);
    {
        std::unique_lock<std::mutex> guard(reports->lock);
        reports->changed.wait(guard, [reports] { return reports->environments_sorted; });
    }
    report_fill(&reports->environment_lst, reports->environment_lst_names, reports->environments);
}

} // namespace

SortRoom *sort_room_new(int count)
{
    return new SortRoom(static_cast<size_t>(count > 0 ? count : 1));
}

void sort_room_free(SortRoom *room)
{
    delete room;
}

void sort_names(NameArray names, int count, SortRoom *room, void (*sorted)(void *, int),
                void *context)
{
    size_t n = static_cast<size_t>(count);
    SortKey *keys = room->key;
    uintptr_t places = 0;
    for (size_t i = 0; i < n; ++i) {
        keys[i].name = names[i];
        places |= reinterpret_cast<uintptr_t>(names[i]);
    }
    // The words are read whole: a name off a name word is no stored name.
    if ((places & (kNameWord - 1)) != 0) {
        fputs("quillmap: internal error: a name to sort is not as the stores keep names\n", stderr);
        abort();
    }
    fill_words(keys, n, n, 0);
    SortProgress progress{names, sorted, context, 0};
    sort_from(keys, n, n, 0, room, &progress);
}

StaleReports remove_store_order_reports()
{
    // What runs that were killed while they wrote their reports left beside
    // them.
    static const char *const reports[] = {"environment.all", "command.all", "command.lst",
                                          "environment.lst"};
    report_leftovers_remove(reports, 4);
    StaleReports stale{0, 0};
    if (remove("command.all") != 0 && errno != ENOENT)
        stale.command_all = errno;
    if (remove("environment.all") != 0 && errno != ENOENT)
        stale.environment_all = errno;
    return stale;
}

int write_reports(const CommandTable *table, const EnvironmentList *list, StaleReports stale)
{
    // The helper thread takes its arrays, and this one the names to sort and
    // the sort's keys, before any report is opened. So running out of memory,
    // which ends the run, leaves every report as it was. The report blocks
    // come first, as the helper writes into them: four blocks of 32 KiB, too
    // large for a stack frame on every platform.
    std::unique_ptr<ReportSet> reports(new ReportSet);
    std::thread writer;
    try {
        writer = std::thread(write_each_report, table, list, stale, reports.get());
    } catch (const std::system_error &) {
        // No thread: the reports are written below, once the names are sorted.
    }
    int commands = 0, environments = environment_list_count(list);
    // The sort needs no order, so its names come in the order they lie in
    // memory, which reads them one after another.
    NameArray command_lst = command_table_names(table, &commands);
    NameArray environment_lst = environment_flatten(list, environments);
    std::unique_ptr<SortRoom, void (*)(SortRoom *)> room(
        sort_room_new(std::max(commands, environments)), sort_room_free);
    {
        std::lock_guard<std::mutex> guard(reports->lock);
        reports->command_lst_names = command_lst;
        reports->commands = commands;
        reports->environment_lst_names = environment_lst;
        reports->environments = environments;
        reports->allocated = true;
        reports->changed.notify_all();
    }
    sort_names(command_lst, commands, room.get(), tell_commands_sorted, reports.get());
    sort_names(environment_lst, environments, room.get());
    {
        std::lock_guard<std::mutex> guard(reports->lock);
        reports->environments_sorted = true;
        reports->changed.notify_all();
    }
    // The sort's room is given back while the helper still writes, not
    // when the process ends.
    room.reset();
    if (writer.joinable())
        writer.join();
    else
        write_each_report(table, list, stale, reports.get());
    // Only now, with all four whole, do they take their places, one right
    // after another: a run killed at any other moment leaves every report as
    // one run wrote it.
    report_commit(&reports->environment_all);
    report_commit(&reports->command_all);
    report_commit(&reports->command_lst);
    report_commit(&reports->environment_lst);
    name_array_free(environment_lst);
    name_array_free(command_lst);

    int failures = 0;
    report_end(reports->environment_all, &failures);
    report_end(reports->command_all, &failures);
    report_end(reports->command_lst, &failures);
    report_end(reports->environment_lst, &failures);
    return failures > 0 ? 1 : 0;
}
