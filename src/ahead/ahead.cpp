// Read-ahead: one planner, the walking thread, and I/O threads that carry
// out its numbered requests.
//
// The walking thread owns the cursor: a depth-first walk over the listings
// that turns the tree into events in a queue. Reading directly, the cursor
// moves only when the walk asks for the next event, and each listing, open
// and read is made at once, on the walking thread. Reading ahead, the cursor
// runs on as far as the bounds allow, and every directory it will come to and
// every source it passes gets a request: when a listing comes back, the
// walking thread makes the requests for its subdirectories' listings, so
// that many are in flight at once. The I/O threads take the requests in the
// order they were made, carry each out, and hand it back; the walk waits
// only for the request at its head.
//
// Who owns what: a request's first fields are the planner's, set before it
// is queued and only read after; its results are written by the one thread
// that carries it out and published by `done` becoming true; then they
// are the walking thread's. The queue, the list of requests handed back and
// the threads' count are shared, under `lock`. Every request that enters the
// queue comes back through `returned` once, carried out or cancelled, and is
// freed only after that, by the walking thread.
#include "ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "../scan/scan.h"

// The read-ahead's invariants, checked in every build: a broken one ends
// the process, naming the check.
#define AHEAD_CHECK(condition)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "quillmap: read-ahead check failed: %s (%s:%d)\n", #condition,         \
                    __FILE__, __LINE__);                                                           \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

struct Request {
    // The planner's, set before the request is queued.
    bool is_listing;
    std::string path;
    bool queued = false; // made ahead; else the walk's own, carried out directly
    // Written by the thread that carries it out, published by `done`.
    std::atomic<bool> done{false};
    bool redo = false; // failed ahead: made again at the walk's turn
    ListStatus status = kListed;
    DirectoryListing listing;
    OpenStatus opened = kOpenRefused;
    SourceFile file{};
    std::unique_ptr<unsigned char[]> bytes; // the first bytes of a source, read ahead
    size_t want = 0;                        // of `bytes`, room (taken from the budget)
    size_t length = 0;                      // of `bytes`, read
    bool ended = false;                     // the source ends after `bytes`: it is closed
    // The walking thread's.
    bool open = false;                // `file` is open
    size_t given = 0;                 // of `bytes`, handed to the walk
    bool returned = false;            // came back from the queue
    Request *next_returned = nullptr; // in Ahead::returned (under its lock)
    bool abandoned = false;           // the walk will not come to it: freed once returned
    size_t held = 0;                  // bytes counted for it in Ahead::held
    std::vector<Request *> children;  // a listing's: each entry's listing requested, or null
};

namespace {

typedef std::pair<unsigned long long, unsigned long long> Identity;

// One directory on the cursor's stack.
struct Level {
    std::string path;
    Request *request; // its listing requested ahead, or null: listed when the cursor comes to it
    bool top;
    bool listed;
    DirectoryListing listing;
    size_t next;
    std::vector<Request *> children; // from the request: its subdirectories' listings
};

thread_local bool io_thread = false;

// Samples of whether the walk waited for the system, taken every call at
// first and then every kSampleEvery calls: kStartAfter waits among kWindow
// samples start the reading ahead.
const unsigned kSampleEvery = 64, kSampleAllFor = 64, kWindow = 64, kStartAfter = 8;

} // namespace

struct Ahead {
    AheadIo io;
    AheadLimits limits;
    bool ahead = false;
    // The walking thread's: the cursor, its events, and the counts of what
    // is ahead.
    std::vector<Level> stack;
    std::set<Identity> entered; // directories walked, in this argument's walk
    std::deque<WalkEvent> events;
    std::vector<Request *> batch; // made, not yet queued
    int listings_ahead = 0;       // listing requests neither taken by the walk nor freed
    int sources_ahead = 0;        // source requests the walk is not done with
    size_t bytes = 0;             // bytes taken from the budget
    size_t held = 0;              // bytes that the requests and their listings hold
    int in_queue = 0;             // requests queued and not yet returned
    unsigned long calls = 0, samples = 0, waits = 0;
    AheadCounts counts{};
    // Shared with the I/O threads, under `lock`.
    std::mutex lock;
    std::condition_variable work; // requests are queued, or the threads are to end
    std::condition_variable done; // the request the walk waits for is done
    std::deque<Request *> queue;
    Request *returned =
        nullptr; // handed back, newest first: linked, so that handing back allocates nothing
    Request *awaited = nullptr;
    int idle = 0;
    bool closing = false;
    std::vector<PlatformThread> threads;
};

namespace {

Request *request_new(Ahead *a, bool is_listing, const std::string &path)
{
    Request *r = new Request();
    r->is_listing = is_listing;
    r->path = path;
    r->held = sizeof(Request) + path.capacity();
    a->held += r->held;
    a->counts.most_held = std::max(a->counts.most_held, a->held);
    return r;
}

void request_free(Ahead *a, Request *r)
{
    AHEAD_CHECK(a->held >= r->held);
    a->held -= r->held;
    delete r;
}

// Opens a source ahead and reads its first bytes (limits.source_bytes at
// most, and no more than its size says). A source whose end came within them
// is closed at once: the walk reads it from the bytes alone. Any failure
// leaves the request to be made again at the walk's turn, with nothing open.
void fetch_source(Ahead *a, Request *r)
{
    r->opened = a->io.open(a->io.context, r->path, &r->file);
    if (r->opened != kOpened) {
        r->redo = true;
        return;
    }
    r->want =
        static_cast<size_t>(std::min<unsigned long long>(r->file.size, a->limits.source_bytes));
    // One byte more than the size says, to see the end (or that the size
    // said too little).
    size_t room = r->want + (r->want == r->file.size ? 1 : 0);
    try {
        r->bytes.reset(new unsigned char[room]);
    } catch (const std::bad_alloc &) {
        r->want = 0;
        a->io.close(a->io.context, &r->file);
        throw;
    }
    int error = 0;
    while (r->length < room) {
        long count = a->io.read(a->io.context, &r->file, r->bytes.get() + r->length,
                                room - r->length, &error);
        if (count < 0) {
            // Read again from the start at the walk's turn, failing there as
            // it fails here, or not.
            a->io.close(a->io.context, &r->file);
            r->redo = true;
            r->length = 0;
            return;
        }
        if (count == 0) {
            r->ended = true;
            a->io.close(a->io.context, &r->file);
            return;
        }
        r->length += static_cast<size_t>(count);
    }
}

// Carries out a request taken from the queue. Memory refused leaves it to be
// made again at the walk's turn.
void carry_out(Ahead *a, Request *r)
{
    try {
        if (r->is_listing) {
            r->status = a->io.list(a->io.context, r->path, &r->listing);
            r->redo = r->status != kListed;
        } else {
            fetch_source(a, r);
        }
    } catch (const std::bad_alloc &) {
        r->listing = DirectoryListing{};
        r->redo = true;
    }
}

// Hands a request back (the lock held) and wakes the walk if it waits for it.
void hand_back(Ahead *a, Request *r)
{
    r->next_returned = a->returned;
    a->returned = r;
    r->done.store(true, std::memory_order_release);
    if (r == a->awaited)
        a->done.notify_one();
}

void io_thread_run(void *argument)
{
    Ahead *a = static_cast<Ahead *>(argument);
    io_thread = true;
    std::unique_lock<std::mutex> guard(a->lock);
    for (;;) {
        while (!a->closing && a->queue.empty()) {
            ++a->idle;
            a->work.wait(guard);
            --a->idle;
        }
        if (a->queue.empty())
            break; // closing
        Request *r = a->queue.front();
        a->queue.pop_front();
        guard.unlock();
        carry_out(a, r);
        guard.lock();
        hand_back(a, r);
    }
}

// Queues the requests made since the last call, waking an idle thread for
// each, and starting threads while none is idle and the limit allows.
void submit_batch(Ahead *a)
{
    if (a->batch.empty())
        return;
    std::lock_guard<std::mutex> guard(a->lock);
    for (Request *r : a->batch) {
        r->queued = true;
        a->queue.push_back(r);
        ++a->in_queue;
        ++a->counts.requests;
    }
    for (size_t i = 0; i < a->batch.size() && static_cast<int>(i) < a->idle; ++i)
        a->work.notify_one();
    size_t waiting = a->queue.size();
    while (static_cast<size_t>(a->idle) < waiting &&
           static_cast<int>(a->threads.size()) < a->limits.threads) {
        // The threads' records were made room for at the start: they stay
        // where they are while the threads run.
        a->threads.push_back(PlatformThread{io_thread_run, a, 0});
        if (!a->io.start_thread(a->io.context, &a->threads.back())) {
            a->threads.pop_back();
            a->limits.threads = static_cast<int>(a->threads.size()); // no more to be had
            break;
        }
        a->counts.threads = static_cast<int>(a->threads.size());
        waiting -= std::min(waiting, size_t{16}); // a thread goes through many
    }
    a->batch.clear();
}

void discard(Ahead *a, Request *r);

// Requests the listings of the subdirectories of `listing` from its entry
// `from` on, as far as the bound on memory allows, into *children. (Below a
// cycle of links, the requests end where the walk passes the cycle over.)
void expand(Ahead *a, const std::string &path, const DirectoryListing &listing, size_t from,
            std::vector<Request *> *children)
{
    children->assign(listing.entries.size(), nullptr);
    for (size_t i = from; i < listing.entries.size(); ++i) {
        const DirectoryEntry &entry = listing.entries[i];
        if (entry.name[0] == '.' || entry.kind != kEntryDirectory)
            continue;
        if (a->held >= a->limits.held)
            return;
        Request *r = request_new(a, true, path + entry.name + kPathSeparator);
        ++a->listings_ahead;
        (*children)[i] = r;
        a->batch.push_back(r);
    }
}

// Takes back the requests handed back since the last call: a listing's
// subdirectories are requested, a source's unused room in the budget given
// back, and what the walk will not come to freed.
void take_returned(Ahead *a)
{
    Request *newest;
    {
        std::lock_guard<std::mutex> guard(a->lock);
        newest = a->returned;
        a->returned = nullptr;
    }
    // The list turned round in place, oldest first.
    Request *oldest = nullptr;
    while (newest != nullptr) {
        Request *older = newest->next_returned;
        newest->next_returned = oldest;
        oldest = newest;
        newest = older;
    }
    for (Request *next = oldest, *r; (r = next) != nullptr;) {
        next = r->next_returned; // before `r` may be freed
        AHEAD_CHECK(!r->returned && a->in_queue > 0);
        r->returned = true;
        --a->in_queue;
        if (!r->is_listing) {
            AHEAD_CHECK(a->bytes >= a->limits.source_bytes - r->want);
            a->bytes -= a->limits.source_bytes - r->want;
        } else if (!r->abandoned && !r->redo) {
            size_t entries = r->listing.entries.capacity() * sizeof(DirectoryEntry);
            for (const DirectoryEntry &entry : r->listing.entries)
                entries += entry.name.capacity();
            r->held += entries;
            a->held += entries;
            a->counts.most_held = std::max(a->counts.most_held, a->held);
            expand(a, r->path, r->listing, 0, &r->children);
        }
        if (r->abandoned)
            discard(a, r);
    }
    submit_batch(a);
}

// Forgets a listing request that the walk will not come to, with those made
// from it: freed now if it has come back, else when it comes back.
void discard(Ahead *a, Request *r)
{
    for (Request *child : r->children)
        if (child != nullptr)
            discard(a, child);
    r->children.clear();
    if (!r->abandoned) {
        r->abandoned = true;
        --a->listings_ahead;
        ++a->counts.passed;
    }
    if (r->returned)
        request_free(a, r);
}

// Carries out one queued request on the walking thread, when no I/O thread
// is there to (the lock held): the one `limits.pick` chooses, else `r`.
void carry_out_here(Ahead *a, Request *r, std::unique_lock<std::mutex> &guard)
{
    AHEAD_CHECK(!a->queue.empty());
    size_t at = a->limits.pick != nullptr
                    ? a->limits.pick(a->limits.pick_context, a->queue.size()) % a->queue.size()
                    : static_cast<size_t>(std::find(a->queue.begin(), a->queue.end(), r) -
                                          a->queue.begin());
    Request *next = a->queue[at];
    a->queue.erase(a->queue.begin() + static_cast<long>(at));
    guard.unlock();
    carry_out(a, next);
    guard.lock();
    hand_back(a, next);
}

// Waits until the queued request `r` is done (carrying out requests here
// when there is no I/O thread), and takes back what came back.
void wait_for(Ahead *a, Request *r)
{
    AHEAD_CHECK(r->queued); // every request is queued before the walk can wait for it
    {
        std::unique_lock<std::mutex> guard(a->lock);
        while (!r->done.load(std::memory_order_acquire)) {
            if (a->threads.empty()) {
                carry_out_here(a, r, guard);
                continue;
            }
            a->awaited = r;
            a->done.wait(guard);
        }
        a->awaited = nullptr;
    }
    take_returned(a);
}

// Notes whether the walk waited for the answer to the call it made since
// `mark`, and starts reading ahead once it waits often.
void note_answer(Ahead *a, const WaitMark &mark)
{
    if (!a->io.waited(a->io.context, mark))
        return;
    if (++a->waits >= kStartAfter)
        a->ahead = true;
}

// Whether the next direct call of the walk is sampled: taken as it goes.
bool sample(Ahead *a)
{
    if (a->ahead || (a->limits.threads == 0 && a->limits.pick == nullptr))
        return false;
    ++a->calls;
    if (a->calls > kSampleAllFor && a->calls % kSampleEvery != 0)
        return false;
    if (++a->samples % kWindow == 0)
        a->waits = 0;
    return true;
}

ListStatus list_directly(Ahead *a, const std::string &path, DirectoryListing *listing)
{
    bool sampled = sample(a);
    WaitMark mark = sampled ? wait_mark() : WaitMark{};
    ListStatus status = a->io.list(a->io.context, path, listing);
    if (sampled)
        note_answer(a, mark);
    return status;
}

// Pushes the directory `path` onto the cursor's stack, with its listing
// requested (`request`, or a new one if reading ahead and the bounds allow).
void push_level(Ahead *a, const std::string &path, bool top, Request *request)
{
    if (request == nullptr && a->ahead && a->held < a->limits.held) {
        request = request_new(a, true, path);
        ++a->listings_ahead;
        a->batch.push_back(request);
    }
    a->stack.push_back(Level{path, request, top, false, {}, 0, {}});
}

// Takes the listing of the directory on top of the stack: requested ahead
// (waiting for it when `wait`; made again if it failed there) or from the
// system now. Says a listing that failed where the run says so, and passes
// over a directory that cannot be opened or was walked before. Returns false
// when the listing has not come.
bool take_listing(Ahead *a, bool wait)
{
    Level *level = &a->stack.back();
    ListStatus status = kListed;
    if (level->request != nullptr) {
        Request *r = level->request;
        if (!r->done.load(std::memory_order_acquire) && !wait)
            return false;
        wait_for(a, r);
        --a->listings_ahead;
        if (r->redo) {
            ++a->counts.redone;
        } else {
            level->listing = std::move(r->listing);
            level->children = std::move(r->children);
        }
        bool redo = r->redo;
        request_free(a, r);
        level->request = nullptr;
        if (redo)
            status = list_directly(a, level->path, &level->listing);
    } else {
        status = list_directly(a, level->path, &level->listing);
    }
    if (status == kListNoMemory || (status != kListed && (level->top || status == kListBroken)))
        a->events.push_back(
            WalkEvent{kEventListingFailed, level->path, status, level->listing.error, nullptr});
    const DirectoryIdentity &id = level->listing.identity;
    bool walked = id.known && !a->entered.insert({id.volume, id.file}).second;
    if (status == kListUnopened || status == kListNoMemory || walked) {
        for (Request *child : level->children)
            if (child != nullptr)
                discard(a, child);
        a->stack.pop_back();
        return true;
    }
    level->listed = true;
    level->next = 0;
    return true;
}

// Moves the cursor one step. Returns false when it cannot move without
// waiting (and `wait` is false), or when the source it came to would pass
// a bound on what is ahead.
bool step(Ahead *a, bool wait)
{
    Level &level = a->stack.back();
    if (!level.listed)
        return take_listing(a, wait);
    // Reading ahead, a directory under way has its subdirectories' listings
    // requested (when it was listed ahead, as its listing came back).
    if (a->ahead && level.children.empty())
        expand(a, level.path, level.listing, level.next, &level.children);
    if (level.next == level.listing.entries.size()) {
        AHEAD_CHECK(std::all_of(level.children.begin(), level.children.end(),
                                [](const Request *r) { return r == nullptr; }));
        a->stack.pop_back();
        return true;
    }
    size_t i = level.next;
    const DirectoryEntry &entry = level.listing.entries[i];
    if (entry.name[0] == '.' || (entry.kind != kEntryDirectory && entry.kind != kEntryPlain) ||
        (entry.kind == kEntryPlain && !is_source_file(entry.name.c_str()))) {
        ++level.next;
        return true;
    }
    if (entry.kind == kEntryDirectory) {
        Request *child = i < level.children.size() ? level.children[i] : nullptr;
        if (child != nullptr)
            level.children[i] = nullptr;
        ++level.next;
        push_level(a, level.path + entry.name + kPathSeparator, false, child); // `level` may move
        return true;
    }
    Request *r = nullptr;
    if (a->ahead) {
        bool room = a->sources_ahead < a->limits.sources &&
                    a->bytes + a->limits.source_bytes <= a->limits.budget &&
                    a->held < a->limits.held;
        if (!room && !a->events.empty())
            return false; // the walk is not waiting: the source waits for room
        if (room) {
            r = request_new(a, false, level.path + entry.name);
            ++a->sources_ahead;
            a->bytes += a->limits.source_bytes;
            a->counts.most_bytes = std::max(a->counts.most_bytes, a->bytes);
            a->batch.push_back(r);
        }
    }
    if (r == nullptr)
        r = request_new(a, false, level.path + entry.name);
    ++level.next;
    a->events.push_back(WalkEvent{kEventSource, r->path, kListed, 0, r});
    return true;
}

} // namespace

AheadLimits ahead_default_limits()
{
    AheadLimits limits{};
    // Files this process may still open, less a reserve for the run's own
    // (the walk's listing and source, the reports and their directory's
    // listing): each I/O thread may hold one more while it works, and each
    // source fetched ahead one while it waits for the walk. Measured on a
    // cold disk and over a file system that answers after 2 ms
    // (docs/benchmarks.md): 16 threads keep the disk as busy as more.
    int spare = std::max(0, files_available() - 8);
    limits.threads = std::min(16, spare / 3);
    limits.sources = std::min(1024, spare - limits.threads);
    limits.source_bytes = 256 * 1024;
    limits.budget = 32 * 1024 * 1024;
    limits.held = 16 * 1024 * 1024;
    return limits;
}

Ahead *ahead_start(const AheadIo &io, const AheadLimits &limits)
{
    Ahead *a = new Ahead();
    a->io = io;
    a->limits = limits;
    a->ahead = limits.always && (limits.threads > 0 || limits.pick != nullptr);
    a->threads.reserve(static_cast<size_t>(std::max(limits.threads, 0)));
    return a;
}

void ahead_walk(Ahead *a, const std::string &directory)
{
    a->entered.clear();
    push_level(a, directory, true, nullptr);
}

bool ahead_next(Ahead *a, WalkEvent *event)
{
    for (;;) {
        if (a->ahead) {
            take_returned(a);
            while (!a->stack.empty() && step(a, false)) {
            }
            submit_batch(a);
        }
        if (!a->events.empty()) {
            *event = std::move(a->events.front());
            a->events.pop_front();
            return true;
        }
        if (a->stack.empty()) {
            // The walk is over: nothing it made is left ahead.
            AHEAD_CHECK(a->listings_ahead == 0 && a->sources_ahead == 0 && a->bytes == 0);
            return false;
        }
        step(a, true);
    }
}

OpenStatus ahead_open(Ahead *a, WalkEvent *event, unsigned long long *size)
{
    Request *r = event->source;
    if (r->queued) {
        wait_for(a, r);
        r->open = !r->redo && !r->ended;
        a->counts.redone += r->redo;
    }
    if (!r->open && (!r->queued || r->redo)) {
        bool sampled = sample(a);
        WaitMark mark = sampled ? wait_mark() : WaitMark{};
        r->opened = a->io.open(a->io.context, r->path, &r->file);
        if (sampled)
            note_answer(a, mark);
        r->open = r->opened == kOpened;
    }
    *size = r->file.size;
    return r->opened;
}

long ahead_read(Ahead *a, WalkEvent *event, unsigned char *data, size_t capacity, int *error)
{
    Request *r = event->source;
    size_t count = 0;
    if (r->given < r->length) {
        count = std::min(capacity, r->length - r->given);
        memcpy(data, r->bytes.get() + r->given, count);
        r->given += count;
        if (count == capacity)
            return static_cast<long>(count);
    }
    if (r->ended)
        return static_cast<long>(count);
    // The rest from the same open, as one read of it would give: a read
    // that fails after bytes were given fails again at the next call.
    bool sampled = count == 0 && sample(a);
    WaitMark mark = sampled ? wait_mark() : WaitMark{};
    long got = a->io.read(a->io.context, &r->file, data + count, capacity - count, error);
    if (sampled)
        note_answer(a, mark);
    if (count == 0 || got < 0)
        return count > 0 ? static_cast<long>(count) : got;
    return static_cast<long>(count) + got;
}

void ahead_done(Ahead *a, WalkEvent *event)
{
    Request *r = event->source;
    if (r->open)
        a->io.close(a->io.context, &r->file);
    if (r->queued) {
        AHEAD_CHECK(r->returned && a->sources_ahead > 0 && a->bytes >= r->want);
        --a->sources_ahead;
        a->bytes -= r->want;
    }
    request_free(a, r);
    event->source = nullptr;
}

bool ahead_on_io_thread()
{
    return io_thread;
}

AheadCounts ahead_finish(Ahead *a)
{
    {
        std::lock_guard<std::mutex> guard(a->lock);
        a->closing = true;
        a->work.notify_all();
    }
    for (PlatformThread &thread : a->threads)
        thread_join(&thread);
    {
        // Without threads, what the walk passed over may still wait in the
        // queue.
        std::unique_lock<std::mutex> guard(a->lock);
        while (!a->queue.empty())
            carry_out_here(a, a->queue.front(), guard);
    }
    take_returned(a);
    // Every request came back and was freed: nothing is held.
    AHEAD_CHECK(a->in_queue == 0 && a->queue.empty() && a->held == 0 && a->bytes == 0);
    AheadCounts counts = a->counts;
    counts.ahead = a->ahead;
    delete a;
    return counts;
}

namespace {

ListStatus system_list(void *, const std::string &directory, DirectoryListing *listing)
{
    return list_directory(directory, listing);
}

OpenStatus system_open(void *, const std::string &path, SourceFile *file)
{
    return source_open(path, file);
}

long system_read(void *, SourceFile *file, unsigned char *data, size_t capacity, int *error)
{
    return source_read(file, data, capacity, error);
}

void system_close(void *, SourceFile *file)
{
    source_close(file);
}

bool system_start_thread(void *, PlatformThread *thread)
{
    return thread_start(thread, 256 * 1024);
}

bool system_waited(void *, const WaitMark &mark)
{
    return waited_since(mark);
}

} // namespace

AheadIo ahead_system_io()
{
    return AheadIo{system_list,         system_open,   system_read, system_close,
                   system_start_thread, system_waited, nullptr};
}
