// The store thread: while the walk lists directories, reads and scans files
// on the main thread, a second thread adds the names found to the stores.
// Batches travel in the order they were filled, so the stores end up exactly
// as a one-thread run leaves them.
#ifndef QUILLMAP_PIPELINE_H
#define QUILLMAP_PIPELINE_H

#include "../store/name_batch.h"
#include "../store/store.h"

struct BatchHandoff;

// Starts a thread that stores the batches handed to it, in order. Returns
// null when no thread (or no memory for it) can be had; the caller then
// stores the batches itself.
BatchHandoff *store_thread_start(CommandTable *table, EnvironmentList *list);

// Hands the names in *batch to the store thread and puts an empty batch in
// its place, waiting while the thread is several batches behind. Returns
// false when the store thread has run out of memory, or no empty batch can be
// had.
bool store_thread_hand(BatchHandoff *handoff, NameBatch *batch);

// Waits until every batch handed over is stored, ends the thread and frees
// the handoff. Returns 0, or -1 when memory ran out on the store thread.
int store_thread_finish(BatchHandoff *handoff);

#endif
