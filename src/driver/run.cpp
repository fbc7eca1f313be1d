// The run sequence.
#include <cstdio>
#include <new>

#include "../report/report.h"
#include "driver.h"
#include "listing.h"
#include "pipeline.h"

namespace {

int out_of_memory()
{
    fputs("quillmap: out of memory\n", stderr);
    return 1;
}

// Turns a command-line argument into a directory path ending with the
// separator. An empty argument stands for the current directory.
std::string directory_path(const char *argument)
{
    std::string directory = argument;
    if (directory.empty())
        directory = ".";
    if (directory.back() != kPathSeparator)
        directory += kPathSeparator;
    return directory;
}

// Walks every argument, the names going to a store thread when one can be
// started. Returns 0, or -1 when memory ran out.
int collect(int argc, char **argv, CommandTable *table, EnvironmentList *list)
{
    NameSink sink{table, list, {}, nullptr};
    if (!name_batch_init(&sink.batch, kNameBatchCapacity))
        return -1;
    sink.handoff = store_thread_start(table, list);
    int status = 0;
    try {
        for (int i = 1; i < argc && status == 0; ++i)
            status = walk_tree(directory_path(argv[i]), &sink) < 0 ? -1 : 0;
        if (status == 0)
            status = name_sink_flush(&sink);
    } catch (const std::bad_alloc &) {
        status = -1;
    }
    if (sink.handoff != nullptr && store_thread_finish(sink.handoff) < 0)
        status = -1;
    name_batch_release(&sink.batch);
    return status;
}

// Collects the names, then writes the reports. Returns the exit status.
int run(int argc, char **argv, CommandTable *table, EnvironmentList *list)
{
    if (collect(argc, argv, table, list) < 0)
        return out_of_memory();
    int written = write_reports(table, list);
    if (written < 0)
        return out_of_memory();
    return written;
}

} // namespace

int run_quillmap(int argc, char **argv)
{
    if (argc <= 1) {
        puts("usage:");
        puts("quillmap directory");
    }
    remove("command.all");
    remove("environment.all");

    CommandTable *table = command_table_new();
    if (table == nullptr)
        return out_of_memory();
    EnvironmentList list{};
    int status;
    try {
        status = run(argc, argv, table, &list);
    } catch (const std::bad_alloc &) {
        status = out_of_memory();
    }
    command_table_free(table);
    environment_free(&list);
    return status;
}
