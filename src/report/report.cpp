// The report phase.
#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One report file being written. The first error met is kept, so that one
// message names it however many writes fail after it.
struct ReportFile {
    const char *name;
    FILE *stream;
    int error;
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
    errno = 0;
    file->stream = fopen(name, mode);
    if (file->stream == nullptr) {
        file->error = errno != 0 ? errno : EIO;
        report_failed(*file, failures);
    }
}

void report_line(ReportFile *file, const char *text)
{
    if (file->stream == nullptr || file->error != 0)
        return;
    size_t length = strlen(text);
    errno = 0;
    if (fwrite(text, 1, length, file->stream) != length || fwrite("\r\n", 1, 2, file->stream) != 2)
        file->error = errno != 0 ? errno : EIO;
}

// Closes the file, which flushes what is buffered, and reports the first
// error of the writes or of the close.
void report_close(ReportFile *file, int *failures)
{
    if (file->stream == nullptr)
        return;
    errno = 0;
    if (fclose(file->stream) != 0 && file->error == 0)
        file->error = errno != 0 ? errno : EIO;
    file->stream = nullptr;
    if (file->error != 0)
        report_failed(*file, failures);
}

} // namespace

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

int write_reports(const CommandTable *table, const EnvironmentList *list)
{
    int failures = 0;
    int environment_count = write_environment_all(list, &failures);
    write_command_all(table, &failures);

    int command_count = 0;
    NameArray commands = command_table_flatten(table, &command_count);
    NameArray environments = environment_flatten(list, environment_count);
    if (commands == nullptr || environments == nullptr) {
        free(commands);
        free(environments);
        return -1;
    }
    qsort(commands, static_cast<size_t>(command_count), sizeof *commands, name_order);
    qsort(environments, static_cast<size_t>(environment_count), sizeof *environments, name_order);

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
