// Read-ahead: the walk's order, and the system's answers fetched before the
// walk needs them.
//
// The walk's order is fixed by the listings alone: depth first, each
// directory in its listing order, entries whose name begins with '.' passed
// over, each directory once per argument. This room walks that order and
// hands out, in it, the events the run reports: each source to read, and
// each directory whose listing failed where the run says so. While the tree
// answers at once (a warm cache) it asks the system for one thing at a time,
// as it is needed. Once the answers come slowly (a cold cache, a network
// share), it asks ahead on I/O threads, many requests in flight: the
// listings of the directories below those listed, and the first bytes of the
// sources the walk will come to. The events still come in the walk's order,
// with the same contents as when asked for one at a time.
//
// Bounds: sources read ahead, bytes of each, listings ahead, sources held
// open, threads. Nothing here prints.
#ifndef QUILLMAP_AHEAD_H
#define QUILLMAP_AHEAD_H

#include <cstddef>
#include <string>

#include "../platform/platform.h"

// What the read-ahead asks of the system: the platform's calls, or a test's.
// The calls may be made on several threads at once.
struct AheadIo {
    ListStatus (*list)(void *context, const std::string &directory, DirectoryListing *listing);
    OpenStatus (*open)(void *context, const std::string &path, SourceFile *file);
    long (*read)(void *context, SourceFile *file, unsigned char *data, size_t capacity,
                 std::string *error);
    void (*close)(void *context, SourceFile *file);
    void *context;
};

// The platform's calls.
AheadIo ahead_system_io();

struct AheadLimits {
    int threads;         // I/O threads at most, started as requests wait; 0: see `pick`
    int sources;         // sources read ahead of the walk at most
    size_t source_bytes; // bytes of one source read ahead at most
    size_t budget;       // bytes read ahead at most, all sources together
    int kept_open;       // sources held open for their bytes after those at most
    int listings;        // listings fetched ahead of the walk at most
    size_t entries;      // entries in the listings fetched ahead at most
    // An answer slower than this, often enough (see ahead.cpp), starts the
    // reading ahead; `always` starts it at once.
    double slow_seconds;
    bool always;
    // With no threads, the requests are carried out on the calling thread
    // when it waits for one: `pick` chooses which of the `waiting` ones goes
    // first (a test's scrambled order); null: the oldest.
    size_t (*pick)(void *context, size_t waiting);
    void *pick_context;
};

AheadLimits ahead_default_limits();

// What the read-ahead did, for tests and benchmarks.
struct AheadCounts {
    bool ahead;             // it read ahead
    unsigned long requests; // requests carried out ahead (listings and sources)
    size_t most_bytes;      // the most bytes held ahead at once
    int most_open;          // the most sources held open at once, on all threads
    int most_threads;       // I/O threads started
};

struct Ahead;

Ahead *ahead_start(const AheadIo &io, const AheadLimits &limits);

// Begins the walk of `directory` (a path ending with the separator, or a
// bare drive): the events that follow are its.
void ahead_walk(Ahead *ahead, const std::string &directory);

// A source read ahead, or being read.
struct Fetch;

enum WalkEventKind {
    kEventListingFailed, // a directory whose listing failed where the run says so
    kEventSource,        // a source to read
};

struct WalkEvent {
    WalkEventKind kind;
    std::string path;
    ListStatus status; // kEventListingFailed: kListUnopened, kListBroken or kListNoMemory
    std::string error; // kEventListingFailed: why
    Fetch *fetch;      // kEventSource: what was read ahead, for the calls below
};

// The walk's next event, into *event. Returns false at the end of the walk.
bool ahead_next(Ahead *ahead, WalkEvent *event);

// Opens the source of a kEventSource event (taking what was read ahead, if
// anything), and gives its size when opened.
OpenStatus ahead_open(Ahead *ahead, WalkEvent *event, unsigned long long *size);

// Reads on from the opened source, as source_read() does.
long ahead_read(Ahead *ahead, WalkEvent *event, unsigned char *data, size_t capacity,
                std::string *error);

// Done with the source of a kEventSource event (opened or not).
void ahead_done(Ahead *ahead, WalkEvent *event);

// Ends the I/O threads and frees everything. Returns what it counted.
AheadCounts ahead_finish(Ahead *ahead);

#endif
