// The collection pipeline: everything between an open source and the stores.
//
// Sources are added one after another; their names reach the command table
// and the environment list in exactly the order a one-thread scan of the
// sources in turn would add them, so the stores end up as that scan leaves
// them. Behind this interface the work is split over two threads: the
// calling one reads and scans sources and carries the names it finds, in
// batches, through a ring to a store thread that adds them; and unless the
// store thread is far behind, the calling one reads the rest of a source
// straight into a batch, for the store thread to scan itself. Each thread
// remembers the short names it handed on lately and does not hand them on
// again. Without a thread (none could be started, or the limits say so),
// each batch is stored on the calling thread as it fills.
//
// Nothing here prints or knows of files: a source comes through a reader.
#ifndef QUILLMAP_COLLECT_H
#define QUILLMAP_COLLECT_H

#include <cstddef>
#include <string>

#include "../store/store.h"

// How large the pipeline's buffers are and when it hands work over. Tests
// make them tiny, so that every edge is reached by construction.
struct CollectLimits {
    size_t read_size;  // bytes the calling thread reads at a time
    size_t batch_size; // bytes of a batch (raised to hold the longest name)
    int ring_length;   // batches in the ring, at least 2
    // The store thread is free to take a source while fewer than this many
    // batches wait for it or are being stored (0: never).
    int free_below;
    int stretches;     // stretches of sources one batch can hold, at least 1
    size_t least_read; // fewest bytes read into a batch at a time, at least 1
    // A source of at most this many bytes is handed over whole to the store
    // thread, when it is free, rather than scanned here; so is the rest of
    // one begun here, once the rest is no more and the thread is free.
    unsigned long long hand_over;
    bool one_thread; // store on the calling thread, as when no thread starts
    // When set, answers "is the store thread idle?" in place of the ring, so
    // that a test decides where each source is scanned.
    bool (*idle)(void *context);
    void *idle_context;
};

// The limits a run uses.
CollectLimits collect_default_limits();

// One source, read from its start through `read`: up to `capacity` bytes
// into `data`; returns the count, 0 at the end, or -1 with the reason in
// *error. `size` is the source's size when opened: a short read that brings
// the total to it ends the source without another read.
struct SourceReader {
    long (*read)(void *context, unsigned char *data, size_t capacity, int *error);
    void *context;
    unsigned long long size;
};

// How often the pipeline took each of its rarer paths, for tests to see
// that the edges they aim at were reached.
struct CollectCounts {
    unsigned long handed_over;       // sources handed over to the store thread
    unsigned long resumed;           // of those, handed over part way (their rest)
    unsigned long flushed_stretches; // batches handed on early: stretch table full
    unsigned long cut_names;         // names the store thread gathered across stretches
    bool threaded;                   // the store thread ran
};

struct Collector;

// Starts a pipeline into `table` and `list` with the given limits.
Collector *collect_start(CommandTable *table, EnvironmentList *list, const CollectLimits &limits);

// Reads one source to its end and hands on its names. Returns true, or false
// when a read failed: the names before the failure are kept, as though the
// source ended there, and the reason is in *error.
bool collect_source(Collector *collector, const SourceReader &reader, int *error);

// Stores what is left, waits until every name is stored, ends the store
// thread and frees the pipeline. Returns what it counted.
CollectCounts collect_finish(Collector *collector);

#endif
