// Read-ahead: the walk's order, and the system's answers fetched before the
// walk needs them.
//
// The walk's order is fixed by the listings alone: depth first, each
// directory in its listing order, entries whose name begins with '.' passed
// over, each directory once per argument. This room walks that order and
// hands out, in it, the events the run reports: each source to read, and
// each directory whose listing failed where the run says so. While the
// tree answers at once (a warm cache) it asks the system for one thing at a
// time, as it is needed. Once the walking thread is seen waiting for the
// system's answers (a cold cache, a network share), it asks ahead on I/O
// threads, many requests in flight: the listings of the directories below
// those listed, and the opening and first bytes of the sources the walk will
// come to. Only the walking thread plans; the I/O threads carry out the
// requests it hands them and nothing else.
//
// Whatever is fetched ahead, the walk sees what asking one thing at a time
// shows: a source is opened once and read to its end from that one open; a
// request that fails ahead (no handle, no memory, any error) is made again
// at the walk's turn, as if never fetched. Bounds: I/O threads, sources
// fetched ahead (each may hold a handle), bytes read ahead, and the memory
// that what is ahead holds (requests, paths, listings). Nothing here prints.
#ifndef QUILLMAP_AHEAD_H
#define QUILLMAP_AHEAD_H

#include <cstddef>
#include <string>

#include "../platform/platform.h"

// What the read-ahead asks of the system: the platform's calls, or a test's.
// Every call but `waited` may be made on several threads at once.
struct AheadIo {
    ListStatus (*list)(void *context, const std::string &directory, DirectoryListing *listing);
    OpenStatus (*open)(void *context, const std::string &path, SourceFile *file);
    long (*read)(void *context, SourceFile *file, unsigned char *data, size_t capacity, int *error);
    void (*close)(void *context, SourceFile *file);
    // Starts a thread (as thread_start() does, with a small stack); false
    // when no thread can be had.
    bool (*start_thread)(void *context, PlatformThread *thread);
    // True when the walking thread had to wait for the system (the call it
    // made since `mark` blocked): asking one thing at a time, the reading
    // ahead starts once the walk waits often.
    bool (*waited)(void *context, const WaitMark &mark);
    void *context;
};

// The platform's calls.
AheadIo ahead_system_io();

struct AheadLimits {
    int threads;         // I/O threads at most; 0: never read ahead (but see `pick`)
    int sources;         // sources fetched ahead of the walk at most (each may hold a handle)
    size_t source_bytes; // bytes of one source read ahead at most
    size_t budget;       // bytes read ahead at most, all sources together
    size_t held;         // bytes that the requests and listings ahead hold at most
    bool always;         // read ahead from the start, not once the walk waits
    // For tests: with no threads, the requests are carried out on the walking
    // thread when it waits for one, `pick` choosing which of the `waiting`
    // ones goes first (a scrambled order). Null: no reading ahead without
    // threads.
    size_t (*pick)(void *context, size_t waiting);
    void *pick_context;
};

// Limits for this process: threads and sources ahead within the files it may
// still open (the open-file limit less what is open already and what the run
// needs besides), bytes and memory ahead within a few tens of MiB.
AheadLimits ahead_default_limits();

// What the read-ahead did, for tests and benchmarks.
struct AheadCounts {
    bool ahead;             // it read ahead
    unsigned long requests; // requests made ahead (listings and sources)
    unsigned long redone;   // of those, failed ahead and made again at the walk's turn
    unsigned long passed;   // of those, listings the walk passed over (a directory walked before)
    int threads;            // I/O threads started
    size_t most_bytes;      // the most bytes read ahead and held at once
    size_t most_held;       // the most bytes that what was ahead held at once
    int most_open;          // the most sources open at once (ahead and the walk's)
};

struct Ahead;

Ahead *ahead_start(const AheadIo &io, const AheadLimits &limits);

// Begins the walk of `directory` (a path ending with the separator, or a
// bare drive): the events that follow are its.
void ahead_walk(Ahead *ahead, const std::string &directory);

// A request carried out ahead of the walk, or by the walk itself.
struct Request;

enum WalkEventKind {
    kEventListingFailed, // a directory whose listing failed where the run says so
    kEventSource,        // a source to read
};

struct WalkEvent {
    WalkEventKind kind;
    std::string path;
    ListStatus status; // kEventListingFailed: kListUnopened, kListBroken or kListNoMemory
    int error;         // kEventListingFailed: why, the system's error number
    Request *source;   // kEventSource: its request, for the calls below
};

// The walk's next event, into *event. Returns false at the end of the walk.
bool ahead_next(Ahead *ahead, WalkEvent *event);

// Opens the source of a kEventSource event (taking what was fetched ahead,
// if anything), and gives its size when opened.
OpenStatus ahead_open(Ahead *ahead, WalkEvent *event, unsigned long long *size);

// Reads on from the opened source, as source_read() does.
long ahead_read(Ahead *ahead, WalkEvent *event, unsigned char *data, size_t capacity, int *error);

// Done with the source of a kEventSource event (opened or not).
void ahead_done(Ahead *ahead, WalkEvent *event);

// True on an I/O thread: memory refused there is refused to the request
// (std::bad_alloc), which is then made again at the walk's turn, rather than
// the end of the run.
bool ahead_on_io_thread();

// Ends the I/O threads and frees everything. Returns what it counted.
AheadCounts ahead_finish(Ahead *ahead);

#endif
