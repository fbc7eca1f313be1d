// The run sequence.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "../platform/platform.h"
#include "../report/report.h"
#include "driver.h"

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

} // namespace

int run_quillmap(int argc, char **argv)
{
    std::set_new_handler(out_of_memory);
    platform_start();
    if (argc <= 1) {
        puts("usage:");
        puts("quillmap directory");
    }
    if (lock_working_directory(false) == kLockBusy) {
        say("Waiting for another run of quillmap in this directory to end.\n");
        lock_working_directory(true);
    }
    StaleReports stale = remove_store_order_reports();

    CommandTable *table = command_table_new();
    EnvironmentList list{};
    Collector *collector = collect_start(table, &list, collect_default_limits());
    int status = 0;
    for (int i = 1; i < argc; ++i)
        status |= walk_tree(directory_path(argv[i]), collector);
    collect_finish(collector);
    status |= write_reports(table, &list, stale);
    command_table_free(table);
    environment_free(&list);
    return status;
}
