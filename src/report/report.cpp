// The report phase.
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

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
    if (file->error != 0)
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

// Writes the `count` names of `names` into the report `name`, opened for
// appending or truncated (binary: the CR LF line ends are written as bytes),
// and closes it, keeping the first error of the open, the writes or the
// close. The names may lie all over memory: each is fetched some lines ahead.
void report_write(ReportFile *file, const char *name, bool append, NameArray names, int count)
{
    file->name = name;
    file->used = 0;
    errno = 0;
    file->stream = report_file_open(name, append);
    file->error = file->stream == nullptr ? (errno != 0 ? errno : EIO) : 0;
    if (file->stream == nullptr)
        return;
    const int ahead = 16;
    for (int i = 0; i < count; ++i) {
        if (i + ahead < count)
            __builtin_prefetch(names[i + ahead]);
        report_line(file, names[i]);
    }
    report_flush(file);
    errno = 0;
    if (fclose(file->stream) != 0 && file->error == 0)
        file->error = errno != 0 ? errno : EIO;
}

// Gives the message of a report that failed and counts it in *failures.
void report_end(const ReportFile &file, int *failures)
{
    if (file.error == 0)
        return;
    fprintf(stderr, "Cannot write %s: %s\n", file.name, strerror(file.error));
    ++*failures;
}

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
// the whole array.
void sort_from(SortKey *keys, size_t count, size_t limit, size_t depth)
{
    std::sort(keys, keys + count,
              [](const SortKey &a, const SortKey &b) { return a.word < b.word; });
    for (size_t i = 0; i < count;) {
        size_t j = i + 1;
        while (j < count && keys[j].word == keys[i].word)
            ++j;
        if (j - i > 1 && (keys[i].word & 0xff) != 0) {
            fill_words(keys + i, j - i, limit - i, depth + 8);
            sort_from(keys + i, j - i, limit - i, depth + 8);
        }
        i = j;
    }
}

// The four reports of a run, in the order of their messages.
struct ReportSet {
    ReportFile environment_all;
    ReportFile command_all;
    ReportFile command_lst;
    ReportFile environment_lst;
};

// Writes the two store-order reports. Run on a helper thread while the
// calling thread sorts the names for the other two.
void write_store_order_reports(const CommandTable *table, const EnvironmentList *list,
                               StaleReports stale, ReportSet *reports)
{
    int commands = 0, environments = environment_list_count(list);
    NameArray command_all = command_table_flatten(table, &commands);
    NameArray environment_all = environment_flatten(list, environments);
    // A report left unwritten keeps its name and the reason for its message.
    reports->environment_all.name = "environment.all";
    reports->environment_all.error = stale.environment_all;
    reports->command_all.name = "command.all";
    reports->command_all.error = stale.command_all;
    if (environments > 0 && stale.environment_all == 0)
        report_write(&reports->environment_all, "environment.all", true, environment_all,
                     environments);
    if (stale.command_all == 0)
        report_write(&reports->command_all, "command.all", true, command_all, commands);
    name_array_free(environment_all);
    name_array_free(command_all);
}

} // namespace

void sort_names(NameArray names, int count, SortKey *keys)
{
    size_t n = static_cast<size_t>(count);
    for (size_t i = 0; i < n; ++i)
        keys[i].name = names[i];
    fill_words(keys, n, n, 0);
    sort_from(keys, n, n, 0);
    for (size_t i = 0; i < n; ++i)
        names[i] = keys[i].name;
}

int name_order(const void *a, const void *b)
{
    int order = strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
    return (order > 0) - (order < 0);
}

StaleReports remove_store_order_reports()
{
    StaleReports stale{0, 0};
    if (remove("command.all") != 0 && errno != ENOENT)
        stale.command_all = errno;
    if (remove("environment.all") != 0 && errno != ENOENT)
        stale.environment_all = errno;
    return stale;
}

int write_reports(const CommandTable *table, const EnvironmentList *list, StaleReports stale)
{
    // The names to sort, the sort's keys and the report blocks are allocated
    // first, and the helper thread takes its arrays before it opens a report;
    // the sorted reports are opened once it has ended. So running out of
    // memory, which ends the run, leaves every report as it was.
    int commands = 0, environments = environment_list_count(list);
    // The sort needs no order, so its names come in the order they lie in
    // memory, which reads them one after another.
    NameArray command_lst = command_table_names(table, &commands);
    NameArray environment_lst = environment_flatten(list, environments);
    std::unique_ptr<SortKey[]> keys(new SortKey[std::max({commands, environments, 1})]);
    // Four blocks of 32 KiB: too large for a stack frame on every platform.
    std::unique_ptr<ReportSet> reports(new ReportSet);

    std::thread writer;
    try {
        writer = std::thread(write_store_order_reports, table, list, stale, reports.get());
    } catch (const std::system_error &) {
        write_store_order_reports(table, list, stale, reports.get());
    }
    sort_names(command_lst, commands, keys.get());
    sort_names(environment_lst, environments, keys.get());
    if (writer.joinable())
        writer.join();
    report_write(&reports->command_lst, "command.lst", false, command_lst, commands);
    report_write(&reports->environment_lst, "environment.lst", false, environment_lst,
                 environments);
    name_array_free(environment_lst);
    name_array_free(command_lst);

    int failures = 0;
    report_end(reports->environment_all, &failures);
    report_end(reports->command_all, &failures);
    report_end(reports->command_lst, &failures);
    report_end(reports->environment_lst, &failures);
    return failures > 0 ? 1 : 0;
}
