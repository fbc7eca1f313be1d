// The run sequence.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "../platform/platform.h"
#include "../report/report.h"
#include "driver.h"

void out_of_memory()
{
    // The one answer to running out of memory, on whichever thread it
    // happens: every allocation of the run goes through operator new, which
    // calls this, and so does the walk when the system refuses memory for a
    // listing, an open or a read. The reports are all allocated for before
    // the first is opened, and each is written to a temporary file that
    // takes its place only when whole: the temporary files are removed, and
    // every report is left as it was.
    // On a thread that reads ahead, the memory is refused to that request
    // alone, which the walk then makes itself.
    if (ahead_on_io_thread())
        throw std::bad_alloc();
    static const char message[] = "quillmap: out of memory\n";
#ifdef _WIN32
    fputs(message, stderr); // the console's own writes would take memory
#else
    message_write(message, sizeof message - 1);
#endif
    report_streams_abandon();
    unlock_working_directory();
    std::_Exit(1);
}

int run_quillmap(int argc, char **argv)
{
    std::set_new_handler(out_of_memory);
    platform_start();
    if (argc <= 1) {
        puts("usage:");
        puts("quillmap directory");
    }
    int why = 0;
    DirectoryLock lock = lock_working_directory(false, &why);
    if (lock == kLockBusy) {
        say("Waiting for another run of quillmap in this directory to end.\n");
        lock = lock_working_directory(true, &why);
    }
    if (lock != kLockHeld) {
        // Without the lock another run could write the reports at once:
        // none is touched.
        say("quillmap: cannot lock the working directory: %s\n", error_text(why).c_str());
        return 1;
    }
    StaleReports stale = remove_store_order_reports();

    CommandTable *table = command_table_new();
    EnvironmentList list{};
    Collector *collector = collect_start(table, &list, collect_default_limits());
    Ahead *ahead = ahead_start(ahead_system_io(), ahead_default_limits());
    int status = 0;
    for (int i = 1; i < argc; ++i)
        status |= walk_tree(directory_path(argv[i]), ahead, collector);
    AheadCounts counts = ahead_finish(ahead);
    // For benchmarks only: what the reading ahead did, asked for by setting
    // QUILLMAP_COUNTS in the environment.
    if (getenv("QUILLMAP_COUNTS") != nullptr)
        say("quillmap: read ahead: %s, %d I/O threads, %lu requests ahead, %lu made again\n",
            counts.ahead ? "yes" : "no", counts.threads, counts.requests, counts.redone);
    collect_finish(collector);
    status |= write_reports(table, &list, stale);
    command_table_free(table);
    environment_free(&list);
    unlock_working_directory();
    return status;
}
