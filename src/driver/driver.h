// Run driver: the run sequence, the directory walk, and the hand-off of the
// names found to the stores.
#ifndef QUILLMAP_DRIVER_H
#define QUILLMAP_DRIVER_H

#include <string>

#include "../store/store.h"

// Where the walk sends the names it finds: batches that, once full, a second
// thread adds to the stores in the order they were filled, so that the stores
// end up exactly as a one-thread run leaves them. Without a thread (none could
// be started) the batches are stored at once on the caller's.
struct NameSink;

// Makes the sink and its batches and starts its thread.
NameSink *name_sink_start(CommandTable *table, EnvironmentList *list);

// The batch to append names to.
NameBatch *name_sink_batch(NameSink *sink);

// Hands the batch being filled over to be stored and returns the empty batch
// to fill next, waiting while the store thread is all batches behind.
NameBatch *name_sink_flush(NameSink *sink);

// Stores what is left, waits until every name is stored, ends the thread and
// frees the sink.
void name_sink_finish(NameSink *sink);

// Returns 1 when the text after the last '.' of `path` equals one of the
// source extensions, byte for byte; 0 otherwise (also when there is no dot).
int is_source_file(const char *path);

// The accepted file extensions, ended by a null entry.
extern const char *const SourceExtensionTable[];

// Walks the tree below `directory`, a path ending with the separator,
// depth-first in the platform's listing order: entries whose name begins with
// '.' are passed over, directories (and links to directories) are walked at
// once, and each plain file whose extension marks a source is announced on
// standard error and scanned into the sink. A directory already being walked
// higher up the same descent is not entered again, so cycles of links end.
// Returns 0 after the last entry, 1 when the directory cannot be listed
// (silently skipped).
int walk_tree(const std::string &directory, NameSink *sink);

// The whole run: usage lines, removal of the old store-order reports, the walk
// of every argument, the reports, release. Returns the process exit status:
// 0, or 1 when a report could not be written. When memory runs out, anywhere,
// "quillmap: out of memory" is written and the process ends with status 1.
int run_quillmap(int argc, char **argv);

#endif
