// Run driver and directory walk.
#ifndef QUILLMAP_DRIVER_H
#define QUILLMAP_DRIVER_H

#include <string>

#include "../store/name_batch.h"
#include "../store/store.h"

struct BatchHandoff;

// Where the walk sends the names it finds: a batch that, when full, goes
// either straight into the stores or to the store thread.
struct NameSink {
    CommandTable *table;
    EnvironmentList *list;
    NameBatch batch;       // names found and not yet handed on
    BatchHandoff *handoff; // the store thread, or null to store on this thread
};

// Hands the names in the sink's batch on, leaving the batch empty. Returns 0,
// or -1 when memory ran out.
int name_sink_flush(NameSink *sink);

// Walks the tree below `directory`, a path ending with the separator,
// depth-first in the platform's listing order: entries whose name begins with
// '.' are passed over, directories (and links to directories) are walked at
// once, plain files are scanned into the sink, and pipes, sockets and devices
// are passed over. A directory already being walked higher up the same
// descent is not entered again, so cycles of links end. Returns 0 after the
// last entry, 1 when the directory cannot be listed (silently skipped), and
// -1 when memory ran out (the walk stops at once). Names may still wait in
// the sink's batch afterwards: flush it when the walk is done.
int walk_tree(const std::string &directory, NameSink *sink);

// The whole run: usage lines, removal of the old store-order reports, the walk
// of every argument, the reports, release. Returns the process exit status:
// 0, or 1 when a report could not be written or memory ran out.
int run_quillmap(int argc, char **argv);

#endif
