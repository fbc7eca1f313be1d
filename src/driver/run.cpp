// The run sequence.
#include <cstdio>
#include <new>

#include "../report/report.h"
#include "driver.h"
#include "listing.h"

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

// Walks every argument, then writes the reports. Returns the exit status.
int run(int argc, char **argv, CommandTable *table, EnvironmentList *list)
{
    for (int i = 1; i < argc; ++i)
        if (walk_tree(directory_path(argv[i]), table, list) < 0)
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
