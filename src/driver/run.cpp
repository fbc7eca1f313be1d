// The run sequence.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "../report/report.h"
#include "driver.h"
#include "platform.h"

namespace {

// The one answer to running out of memory, on whichever thread it happens:
// every allocation of the run goes through operator new, which calls this.
// The reports are all allocated for before the first is opened, so none is
// left half-made.
void out_of_memory()
{
    fputs("quillmap: out of memory\n", stderr);
    fflush(stderr);
    std::_Exit(1);
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

} // namespace

int run_quillmap(int argc, char **argv)
{
    std::set_new_handler(out_of_memory);
    if (argc <= 1) {
        puts("usage:");
        puts("quillmap directory");
    }
    remove("command.all");
    remove("environment.all");

    CommandTable *table = command_table_new();
    EnvironmentList list{};
    NameSink *sink = name_sink_start(table, &list);
    for (int i = 1; i < argc; ++i)
        walk_tree(directory_path(argv[i]), sink);
    name_sink_finish(sink);
    int status = write_reports(table, &list);
    command_table_free(table);
    environment_free(&list);
    return status;
}
