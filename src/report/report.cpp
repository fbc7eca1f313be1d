// The report phase.
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// One report file being written. Lines are gathered in `block` and written a
// block at a time. The first error met is kept, so that one message names it
// however many writes fail after it.
struct ReportFile {
    const char *name;
    FILE *stream;
    int error;
    size_t used;
    char block[32 * 1024];
};

void report_failed(const ReportFile &file, int *failures)
{
    fprintf(stderr, "Cannot write %s: %s\n", file.name, strerror(file.error));
    ++*failures;
}

// Opens `name` with `mode` (binary: the CR LF line ends are written as bytes).
// On failure reports it and leaves the stream null.
void report_open(ReportFile *file, const char *name, const char *mode, int *failures)
{
    file->name = name;
    file->error = 0;
    file->used = 0;
    errno = 0;
    file->stream = fopen(name, mode);
    if (file->stream == nullptr) {
        file->error = errno != 0 ? errno : EIO;
        report_failed(*file, failures);
    }
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
// and reports the first error of the writes or of the close.
void report_close(ReportFile *file, int *failures)
{
    if (file->stream == nullptr)
        return;
    report_flush(file);
    errno = 0;
    if (fclose(file->stream) != 0 && file->error == 0)
        file->error = errno != 0 ? errno : EIO;
    file->stream = nullptr;
    if (file->error != 0)
        report_failed(*file, failures);
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

// Sorts keys[0, count), whose names agree on their first `depth` bytes, by
// the next eight bytes, then each run that agrees on those too (and has not
// ended in them: a word whose last byte is zero holds the name's end) by the
// eight after. Each name is read once per level, however long the prefixes
// that names share, and the order is exactly name_order()'s.
void sort_from(SortKey *keys, size_t count, size_t depth)
{
    // The names lie all over memory: each is fetched some places ahead.
    const size_t ahead = 16;
    for (size_t i = 0; i < count; ++i) {
        if (i + ahead < count)
            __builtin_prefetch(keys[i + ahead].name + depth);
        keys[i].word = word_at(keys[i].name, depth);
    }
    std::sort(keys, keys + count,
              [](const SortKey &a, const SortKey &b) { return a.word < b.word; });
    for (size_t i = 0; i < count;) {
        size_t j = i + 1;
        while (j < count && keys[j].word == keys[i].word)
            ++j;
        if (j - i > 1 && (keys[i].word & 0xff) != 0)
            sort_from(keys + i, j - i, depth + 8);
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
    sort_from(keys.data(), keys.size(), 0);
    for (int i = 0; i < count; ++i)
        names[i] = keys[static_cast<size_t>(i)].name;
    return true;
}

int write_environment_all(const EnvironmentList *list, int *failures)
{
    if (list->head == nullptr)
        return 0;
    ReportFile file;
    report_open(&file, "environment.all", "ab", failures);
    int count = 0;
    for (const NameNode *node = list->head; node != nullptr; node = node->next, ++count)
        report_line(&file, node->text);
    report_close(&file, failures);
    return count;
}

void write_command_all(const CommandTable *table, int *failures)
{
    ReportFile file;
    report_open(&file, "command.all", "ab", failures);
    for (int b = 0; b < kBucketCount; ++b)
        for (const NameNode *node = table->bucket[b]; node != nullptr; node = node->next)
            report_line(&file, node->text);
    report_close(&file, failures);
}

int name_order(const void *a, const void *b)
{
    int order = strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
    return (order > 0) - (order < 0);
}

// Writes the two store-order reports. Run on a helper thread while the
// calling thread gathers and sorts the names for the sorted ones.
static void write_store_order_reports(const CommandTable *table, const EnvironmentList *list,
                                      int *failures)
{
    write_environment_all(list, failures);
    write_command_all(table, failures);
}

int write_reports(const CommandTable *table, const EnvironmentList *list)
{
    int all_failures = 0;
    std::thread writer;
    try {
        writer = std::thread(write_store_order_reports, table, list, &all_failures);
    } catch (const std::system_error &) {
        write_store_order_reports(table, list, &all_failures);
    }

    // The sort does not need table order, so the names come from the index.
    int command_count = 0;
    int environment_count = environment_list_count(list);
    NameArray commands = command_table_names(table, &command_count);
    NameArray environments = environment_flatten(list, environment_count);
    bool sorted = commands != nullptr && environments != nullptr &&
                  sort_names(commands, command_count) &&
                  sort_names(environments, environment_count);
    if (writer.joinable())
        writer.join();
    if (!sorted) {
        free(commands);
        free(environments);
        return -1;
    }

    int failures = all_failures;
    ReportFile command_lst;
    ReportFile environment_lst;
    report_open(&command_lst, "command.lst", "wb", &failures);
    report_open(&environment_lst, "environment.lst", "wb", &failures);
    for (int i = 0; i < command_count; ++i)
        report_line(&command_lst, commands[i]);
    for (int i = 0; i < environment_count; ++i)
        report_line(&environment_lst, environments[i]);
    report_close(&command_lst, &failures);
    report_close(&environment_lst, &failures);

    free(environments);
    free(commands);
    return failures > 0 ? 1 : 0;
}
