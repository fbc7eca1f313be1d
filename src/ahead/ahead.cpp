// Read-ahead: the walk's cursor, the requests fetched ahead of it, and the
// I/O threads that carry them out.
//
// The cursor walks the tree depth first over the listings, as the walk
// always has, and turns it into events in a queue. Reading directly, the
// cursor moves only when the walk asks for the next event, and the walk
// opens and reads each source itself. Reading ahead, the cursor runs on as
// far as the bounds allow: every directory it comes to and every source has
// a fetch, a request carried out on an I/O thread; a listing, once fetched,
// has the listings of its subdirectories fetched too. The walk takes the
// events in order and waits only for the fetch at their head.
#include "ahead.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../scan/scan.h"

// A request carried out ahead of the walk, or (reading directly) the state of
// a source the walk opens itself.
struct Fetch {
    bool is_listing;
    std::string path;
    std::vector<unsigned> order; // a listing's place in the walk: entry numbers from the top
    bool done = false;
    bool abandoned = false; // a listing the walk will not come to: freed when done
    // A listing: what came, and the fetches of its subdirectories made from it.
    ListStatus status = kListed;
    DirectoryListing listing;
    std::vector<Fetch *> children;
    // A source.
    bool queued = false;
    OpenStatus opened = kOpenRefused;
    SourceFile file{};
    bool open = false;   // `file` is open
    bool kept = false;   // held open past the fetch, counted in kept_open
    bool reopen = false; // closed after `bytes`: the rest is read from a new open
    bool ended = false;  // no bytes follow `bytes`
    bool failed = false; // a read failed after `bytes`
    bool no_memory = false;
    std::string error;
    std::unique_ptr<unsigned char[]> bytes; // not cleared when made: the reads fill it
    size_t length = 0;                      // of `bytes`, read
    size_t given = 0;                       // of `bytes`, handed to the walk
};

namespace {

typedef std::pair<unsigned long long, unsigned long long> Identity;

// One directory on the cursor's stack.
struct Level {
    std::string path;
    std::vector<unsigned> order; // its place in the walk, as Fetch::order
    Fetch *fetch; // its listing fetched ahead, or null: listed when the cursor comes to it
    bool top;
    bool listed;
    DirectoryListing listing;
    size_t next;
};

} // namespace

struct Ahead {
    AheadIo io;
    AheadLimits limits;
    // The walking thread's: the cursor and the events it made.
    std::vector<Level> stack;
    std::set<Identity> entered;
    std::deque<WalkEvent> events;
    unsigned long answers = 0, slow = 0, very_slow = 0; // in the current stretch
    // Shared with the I/O threads, under `lock`.
    std::mutex lock;
    std::condition_variable work; // a fetch waits, or the threads are to end
    std::condition_variable done; // the fetch the walk waits for is done
    Fetch *awaited = nullptr;     // that fetch
    bool ahead = false;
    bool closing = false;
    std::deque<Fetch *> waiting; // the listings first: each lets the cursor on
    size_t waiting_listings = 0;
    std::map<std::string, Fetch *> listings; // listings fetched ahead, by path
    std::map<std::string, Fetch *> sources;  // sources fetched from a listing, not yet met
    std::set<Identity> expanded;             // listings whose subdirectories were fetched
    int listings_ahead = 0;                  // listing fetches the cursor has not taken
    size_t entries_ahead = 0;                // entries in those that are done
    int sources_ahead = 0;                   // source fetches the walk is not done with
    int kept_open = 0;                       // sources held open past their fetch
    int open_now = 0;
    size_t bytes_now = 0;
    std::vector<std::thread> threads;
    int idle = 0;
    AheadCounts counts{};
};

namespace {

typedef std::chrono::steady_clock Clock;

void expand(Ahead *a, Fetch *parent, const std::string &path, const DirectoryListing &listing,
            size_t from, const std::vector<unsigned> &order);

// Notes how long an answer took, reading directly. Once a quarter of the
// answers in a stretch of 256 came slower than limits.slow_seconds, or 8 of
// them slower than 30 times that, the tree is cold or remote: the reading
// ahead starts. Measured on the corpus (docs/benchmarks.md): warm, 1% of the
// answers take 30 us or more (large directories) and 1 in 5,000 a
// millisecond; cold, 60% take 30 us or more; over a share every one takes
// the share's delay.
void note_answer(Ahead *a, Clock::time_point since)
{
    double took = std::chrono::duration<double>(Clock::now() - since).count();
    a->slow += took >= a->limits.slow_seconds;
    a->very_slow += took >= 30 * a->limits.slow_seconds;
    bool cold = a->slow * 4 >= 256 || a->very_slow >= 8;
    if (cold && !a->ahead) {
        // From now on the cursor runs ahead; the directories it is in, listed
        // already, have the listings of their subdirectories fetched too.
        std::lock_guard<std::mutex> guard(a->lock);
        a->ahead = true;
        for (const Level &level : a->stack)
            if (level.listed)
                expand(a, nullptr, level.path, level.listing, level.next, level.order);
    }
    if (++a->answers == 256)
        a->answers = a->slow = a->very_slow = 0;
}

void run_fetch(Ahead *a, Fetch *fetch);

// Counts a source opened on the walking thread.
void count_open(Ahead *a)
{
    std::lock_guard<std::mutex> guard(a->lock);
    a->counts.most_open = std::max(a->counts.most_open, ++a->open_now);
}

// True when the first waiting fetch may run (the lock held): a listing, the
// source the walk waits for, or a source that room in the budget is left for.
// What a source reads ahead is taken from the budget before it is opened
// (limits.source_bytes, given back once its size is known), so that the
// budget holds however many run at once.
// Takes room in the budget for a source about to be fetched (the lock held).
void reserve(Ahead *a)
{
    a->bytes_now += a->limits.source_bytes;
    a->counts.most_bytes = std::max(a->counts.most_bytes, a->bytes_now);
}

bool runnable(Ahead *a)
{
    if (a->waiting.empty())
        return false;
    const Fetch *first = a->waiting.front();
    return first->is_listing || first == a->awaited ||
           a->bytes_now + a->limits.source_bytes <= a->limits.budget;
}

// Takes the waiting fetch at `at` out of the queue (the lock held).
Fetch *take_waiting(Ahead *a, size_t at)
{
    Fetch *fetch = a->waiting[at];
    a->waiting.erase(a->waiting.begin() + static_cast<long>(at));
    a->waiting_listings -= fetch->is_listing;
    return fetch;
}

void worker(Ahead *a)
{
    std::unique_lock<std::mutex> guard(a->lock);
    for (;;) {
        a->work.wait(guard, [a] { return a->closing || runnable(a); });
        if (a->waiting.empty() || !runnable(a))
            return;
        Fetch *fetch = take_waiting(a, 0);
        if (!fetch->is_listing)
            reserve(a);
        --a->idle;
        guard.unlock();
        run_fetch(a, fetch);
        guard.lock();
        ++a->idle;
    }
}

// Queues a fetch (the lock held), starting another I/O thread when none is
// free: the threads grow with the requests that wait, not with the cores.
void submit(Ahead *a, Fetch *fetch)
{
    fetch->queued = true;
    if (fetch->is_listing) {
        // Listings wait in the walk's order: the nearest the cursor first.
        auto end = a->waiting.begin() + static_cast<long>(a->waiting_listings++);
        auto at =
            std::upper_bound(a->waiting.begin(), end, fetch,
                             [](const Fetch *x, const Fetch *y) { return x->order < y->order; });
        a->waiting.insert(at, fetch);
    } else {
        auto at = std::upper_bound(
            a->waiting.begin() + static_cast<long>(a->waiting_listings), a->waiting.end(), fetch,
            [](const Fetch *x, const Fetch *y) { return x->order < y->order; });
        a->waiting.insert(at, fetch);
    }
    ++a->counts.requests;
    if (a->idle == 0 && static_cast<int>(a->threads.size()) < a->limits.threads) {
        try {
            a->threads.emplace_back(worker, a);
            ++a->idle;
            a->counts.most_threads = static_cast<int>(a->threads.size());
        } catch (const std::system_error &) {
            // No thread: the fetch waits for one that runs, or for the walk.
        }
    }
    a->work.notify_one();
}

// Fetches the listings of the subdirectories in `listing` of `path`, from
// its entry `from` on, as far as the bound allows (the lock held), each
// once, and not below a directory whose subdirectories were fetched already
// (a cycle of links).
void expand(Ahead *a, Fetch *parent, const std::string &path, const DirectoryListing &listing,
            size_t from, const std::vector<unsigned> &order)
{
    const DirectoryIdentity &id = listing.identity;
    if (id.known && !a->expanded.insert({id.volume, id.file}).second)
        return;
    for (size_t i = from; i < listing.entries.size(); ++i) {
        const DirectoryEntry &entry = listing.entries[i];
        if (entry.name[0] == '.')
            continue;
        bool source = entry.kind == kEntryPlain && is_source_file(entry.name.c_str());
        if (source ? a->sources_ahead >= a->limits.sources
                   : entry.kind != kEntryDirectory || a->listings_ahead >= a->limits.listings ||
                         a->entries_ahead >= a->limits.entries)
            continue;
        // A subdirectory's listing, or a source: fetched too, for the cursor
        // to find when it comes to it.
        std::string fetched = path + entry.name + (source ? "" : std::string(1, kPathSeparator));
        std::map<std::string, Fetch *> &ahead = source ? a->sources : a->listings;
        if (ahead.count(fetched) != 0)
            continue;
        Fetch *fetch = new Fetch();
        fetch->is_listing = !source;
        fetch->path = fetched;
        fetch->order = order;
        fetch->order.push_back(static_cast<unsigned>(i));
        ahead[fetched] = fetch;
        ++(source ? a->sources_ahead : a->listings_ahead);
        if (parent != nullptr)
            parent->children.push_back(fetch);
        submit(a, fetch);
    }
}

// Closes a source fetched ahead and gives back what it held (the lock held).
void release_source(Ahead *a, Fetch *fetch)
{
    if (fetch->open) {
        a->io.close(a->io.context, &fetch->file);
        fetch->open = false;
        --a->open_now;
    }
    if (fetch->kept)
        --a->kept_open;
    a->bytes_now -= fetch->length;
    --a->sources_ahead;
    a->work.notify_one(); // room in the budget
}

// Forgets a fetch that the walk will not come to, and those made from it
// (the lock held).
void discard(Ahead *a, Fetch *fetch)
{
    std::map<std::string, Fetch *> &fetched = fetch->is_listing ? a->listings : a->sources;
    auto at = fetched.find(fetch->path);
    if (at == fetched.end() || at->second != fetch)
        return; // taken by the cursor already: the walk has it
    fetched.erase(at);
    for (Fetch *child : fetch->children)
        discard(a, child);
    fetch->children.clear();
    auto queued = std::find(a->waiting.begin(), a->waiting.end(), fetch);
    if (queued != a->waiting.end()) {
        take_waiting(a, static_cast<size_t>(queued - a->waiting.begin()));
        fetch->done = true;
    }
    if (fetch->is_listing)
        --a->listings_ahead;
    if (fetch->is_listing && fetch->done)
        a->entries_ahead -= fetch->listing.entries.size();
    if (!fetch->done) {
        fetch->abandoned = true;
        return;
    }
    if (!fetch->is_listing)
        release_source(a, fetch);
    delete fetch;
}

// Opens a source and reads its first bytes ahead (limits.source_bytes at
// most), keeping it open for the rest if the bound allows.
void fetch_source(Ahead *a, Fetch *fetch)
{
    fetch->opened = a->io.open(a->io.context, fetch->path, &fetch->file);
    unsigned long long size = fetch->opened == kOpened ? fetch->file.size : 0;
    size_t want = static_cast<size_t>(std::min<unsigned long long>(size, a->limits.source_bytes));
    {
        std::lock_guard<std::mutex> guard(a->lock);
        a->bytes_now -= a->limits.source_bytes - want; // the room taken, down to its size
        if (fetch->opened != kOpened) {
            a->work.notify_all();
            return;
        }
        a->counts.most_open = std::max(a->counts.most_open, ++a->open_now);
    }
    fetch->open = true;
    fetch->bytes.reset(new unsigned char[want]);
    size_t got = 0;
    while (got < want) {
        long count = a->io.read(a->io.context, &fetch->file, fetch->bytes.get() + got, want - got,
                                &fetch->error);
        if (count <= 0) {
            fetch->ended = count == 0;
            fetch->failed = count < 0;
            fetch->no_memory = count == kReadNoMemory;
            break;
        }
        got += static_cast<size_t>(count);
    }
    fetch->length = got;
    if (got == size)
        fetch->ended = true; // all the bytes it had when opened: as a short read that reaches it
    bool rest = !fetch->ended && !fetch->failed;
    std::lock_guard<std::mutex> guard(a->lock);
    a->bytes_now -= want - got;
    if (rest && a->kept_open < a->limits.kept_open) {
        ++a->kept_open;
        fetch->kept = true;
        return;
    }
    fetch->reopen = rest;
    a->io.close(a->io.context, &fetch->file);
    fetch->open = false;
    --a->open_now;
}

void run_fetch(Ahead *a, Fetch *fetch)
{
    if (fetch->is_listing)
        fetch->status = a->io.list(a->io.context, fetch->path, &fetch->listing);
    else
        fetch_source(a, fetch);
    std::lock_guard<std::mutex> guard(a->lock);
    fetch->done = true;
    if (fetch->is_listing)
        a->entries_ahead += fetch->listing.entries.size();
    if (fetch->abandoned) {
        if (!fetch->is_listing)
            release_source(a, fetch);
        else
            a->entries_ahead -= fetch->listing.entries.size();
        delete fetch;
    } else if (fetch->is_listing && fetch->status != kListUnopened &&
               fetch->status != kListNoMemory) {
        expand(a, fetch, fetch->path, fetch->listing, 0, fetch->order);
    }
    // Only the walk waits, and only for one fetch: it is woken for that one.
    if (fetch == a->awaited)
        a->done.notify_all();
}

// Waits until `fetch` is done, or with no threads carries out waiting
// fetches on this thread, in the order limits.pick chooses, until it is.
// Returns false, not waiting, when `wait` is false and it is not done.
bool finish_fetch(Ahead *a, Fetch *fetch, bool wait)
{
    std::unique_lock<std::mutex> guard(a->lock);
    if (!fetch->done && wait) {
        a->awaited = fetch;
        a->work.notify_all(); // it may run past the budget
    }
    if (!fetch->done && wait && !a->threads.empty()) {
        // The walk waits for it: it goes before the fetches for later.
        auto queued = std::find(a->waiting.begin(), a->waiting.end(), fetch);
        if (queued != a->waiting.end() && queued != a->waiting.begin()) {
            take_waiting(a, static_cast<size_t>(queued - a->waiting.begin()));
            a->waiting.push_front(fetch);
            a->waiting_listings += fetch->is_listing;
        }
    }
    while (!fetch->done) {
        if (!wait)
            return false;
        if (a->threads.empty() && !a->waiting.empty()) {
            size_t at =
                a->limits.pick != nullptr
                    ? a->limits.pick(a->limits.pick_context, a->waiting.size()) % a->waiting.size()
                    : 0;
            // Past the budget, only the fetch waited for runs.
            const Fetch *picked = a->waiting[at];
            if (!picked->is_listing && picked != fetch &&
                a->bytes_now + a->limits.source_bytes > a->limits.budget)
                at = static_cast<size_t>(std::find(a->waiting.begin(), a->waiting.end(), fetch) -
                                         a->waiting.begin());
            Fetch *next = take_waiting(a, at);
            if (!next->is_listing)
                reserve(a);
            guard.unlock();
            run_fetch(a, next);
            guard.lock();
            continue;
        }
        a->done.wait(guard);
    }
    a->awaited = nullptr;
    return true;
}

// Pushes the directory `path` onto the cursor's stack, with its listing
// fetched ahead where that began or can begin.
// Takes the fetch made early for `path` out of `fetched`, or gives null. Only
// reading ahead makes any: reading directly, no lock is taken.
Fetch *take_fetched(Ahead *a, std::map<std::string, Fetch *> &fetched, const std::string &path)
{
    if (!a->ahead)
        return nullptr;
    std::lock_guard<std::mutex> guard(a->lock);
    auto at = fetched.find(path);
    if (at == fetched.end())
        return nullptr;
    Fetch *fetch = at->second;
    fetched.erase(at);
    return fetch;
}

void push_level(Ahead *a, const std::string &path, bool top, std::vector<unsigned> order)
{
    Fetch *fetch = take_fetched(a, a->listings, path);
    if (fetch == nullptr && a->ahead) {
        fetch = new Fetch();
        fetch->is_listing = true;
        fetch->path = path;
        fetch->order = order;
        std::lock_guard<std::mutex> guard(a->lock);
        ++a->listings_ahead;
        submit(a, fetch);
    }
    a->stack.push_back(Level{path, std::move(order), fetch, top, false, {}, 0});
}

// Takes the listing of the directory on top of the stack: fetched ahead
// (waiting for it when `wait`) or from the system now. Says a listing that
// failed where the run says so, and passes over a directory that cannot be
// opened or was walked before. Returns false when the listing has not come.
bool take_listing(Ahead *a, bool wait)
{
    Level &level = a->stack.back();
    ListStatus status;
    if (level.fetch != nullptr) {
        if (!finish_fetch(a, level.fetch, wait))
            return false;
        std::lock_guard<std::mutex> guard(a->lock);
        status = level.fetch->status;
        a->entries_ahead -= level.fetch->listing.entries.size();
        level.listing = std::move(level.fetch->listing);
        --a->listings_ahead;
        if (status == kListUnopened || status == kListNoMemory)
            for (Fetch *child : level.fetch->children)
                discard(a, child);
        level.fetch->children.clear();
        delete level.fetch;
        level.fetch = nullptr;
    } else {
        Clock::time_point since = Clock::now();
        status = a->io.list(a->io.context, level.path, &level.listing);
        note_answer(a, since);
    }
    if (status == kListNoMemory || (status != kListed && (level.top || status == kListBroken)))
        a->events.push_back(
            WalkEvent{kEventListingFailed, level.path, status, level.listing.error, nullptr});
    const DirectoryIdentity &id = level.listing.identity;
    bool walked = id.known && !a->entered.insert({id.volume, id.file}).second;
    if (status == kListUnopened || status == kListNoMemory || walked) {
        if (walked) {
            // Its subdirectories' listings and its sources, fetched ahead,
            // are not wanted.
            std::lock_guard<std::mutex> guard(a->lock);
            for (const DirectoryEntry &entry : level.listing.entries) {
                auto at = a->listings.find(level.path + entry.name + kPathSeparator);
                if (at != a->listings.end())
                    discard(a, at->second);
                at = a->sources.find(level.path + entry.name);
                if (at != a->sources.end())
                    discard(a, at->second);
            }
        }
        a->stack.pop_back();
        return true;
    }
    level.listed = true;
    level.next = 0;
    if (a->ahead) {
        std::lock_guard<std::mutex> guard(a->lock);
        expand(a, nullptr, level.path, level.listing, 0, level.order);
    }
    return true;
}

// Moves the cursor one step. Returns false when it cannot move without
// waiting (and `wait` is false), or when the source it came to would pass
// the bound on sources read ahead.
bool step(Ahead *a, bool wait)
{
    Level &level = a->stack.back();
    if (!level.listed)
        return take_listing(a, wait);
    if (level.next == level.listing.entries.size()) {
        a->stack.pop_back();
        return true;
    }
    const DirectoryEntry &entry = level.listing.entries[level.next];
    if (entry.name[0] == '.' || (entry.kind != kEntryDirectory && entry.kind != kEntryPlain)) {
        ++level.next;
        return true;
    }
    if (entry.kind == kEntryDirectory) {
        std::vector<unsigned> order = level.order;
        order.push_back(static_cast<unsigned>(level.next++));
        push_level(a, level.path + entry.name + kPathSeparator, false, order); // `level` may move
        return true;
    }
    // The last dot of the whole path is the name's, when it has one; when it
    // has none, what follows the last dot holds a separator and marks no
    // source: the name alone decides.
    if (!is_source_file(entry.name.c_str())) {
        ++level.next;
        return true;
    }
    std::string path = level.path + entry.name;
    Fetch *fetch = take_fetched(a, a->sources, path);
    if (fetch == nullptr) {
        std::unique_lock<std::mutex> guard(a->lock, std::defer_lock);
        if (a->ahead) {
            guard.lock();
            // The bound gives way only to the one source the walk waits for.
            if (a->sources_ahead >= a->limits.sources && !a->events.empty())
                return false;
        }
        fetch = new Fetch();
        fetch->is_listing = false;
        fetch->path = path;
        if (a->ahead) {
            fetch->order = level.order;
            fetch->order.push_back(static_cast<unsigned>(level.next));
            ++a->sources_ahead;
            submit(a, fetch);
        }
    }
    ++level.next;
    a->events.push_back(WalkEvent{kEventSource, path, kListed, {}, fetch});
    return true;
}

} // namespace

AheadLimits ahead_default_limits()
{
    AheadLimits limits{};
    // Measured on a cold disk and over a file system that answers after 2 ms
    // (docs/benchmarks.md): from 8 to 64 threads gave the same times on the
    // cold disk; 24, with the sources held open, stays within ulimit -n 64.
    // What counts is how far ahead the listings reach: 1,024 listings and
    // 4,096 sources ahead took about 0.65 times the floor cold; 8,192 and
    // 16,384 (the whole corpus) about half.
    limits.threads = 24;
    limits.sources = 16384;
    limits.source_bytes = 1024 * 1024;
    limits.budget = 48 * 1024 * 1024; // the run peaks near 100 MiB on the corpus
    limits.kept_open = 16;            // with the threads' own, within ulimit -n 64
    limits.listings = 8192;
    limits.entries = 1 << 20; // some tens of MiB of names at most
    limits.slow_seconds = 0.00003;
    return limits;
}

Ahead *ahead_start(const AheadIo &io, const AheadLimits &limits)
{
    Ahead *a = new Ahead();
    a->io = io;
    a->limits = limits;
    a->ahead = limits.always;
    return a;
}

void ahead_walk(Ahead *a, const std::string &directory)
{
    a->entered.clear();
    {
        std::lock_guard<std::mutex> guard(a->lock);
        a->expanded.clear();
    }
    push_level(a, directory, true, {});
}

bool ahead_next(Ahead *a, WalkEvent *event)
{
    for (;;) {
        if (a->ahead)
            while (!a->stack.empty() && step(a, false)) {
            }
        if (!a->events.empty()) {
            *event = std::move(a->events.front());
            a->events.pop_front();
            return true;
        }
        if (a->stack.empty())
            return false;
        step(a, true);
    }
}

OpenStatus ahead_open(Ahead *a, WalkEvent *event, unsigned long long *size)
{
    Fetch *fetch = event->fetch;
    if (fetch->queued)
        finish_fetch(a, fetch, true);
    if (!fetch->queued) {
        Clock::time_point since = Clock::now();
        fetch->opened = a->io.open(a->io.context, fetch->path, &fetch->file);
        note_answer(a, since);
        fetch->open = fetch->opened == kOpened;
        if (fetch->open)
            count_open(a);
    }
    *size = fetch->file.size;
    return fetch->opened;
}

long ahead_read(Ahead *a, WalkEvent *event, unsigned char *data, size_t capacity,
                std::string *error)
{
    Fetch *fetch = event->fetch;
    if (fetch->given < fetch->length) {
        size_t count = std::min(capacity, fetch->length - fetch->given);
        memcpy(data, fetch->bytes.get() + fetch->given, count);
        fetch->given += count;
        return static_cast<long>(count);
    }
    if (fetch->ended)
        return 0;
    if (fetch->failed) {
        *error = fetch->error;
        return fetch->no_memory ? kReadNoMemory : -1;
    }
    if (fetch->reopen) {
        // Held open no longer: opened again, the bytes read ahead passed over.
        fetch->reopen = false;
        if (a->io.open(a->io.context, fetch->path, &fetch->file) != kOpened) {
            *error = "cannot be opened again";
            return -1;
        }
        fetch->open = true;
        count_open(a);
        for (size_t skip = fetch->length; skip > 0;) {
            long count =
                a->io.read(a->io.context, &fetch->file, data, std::min(capacity, skip), error);
            if (count <= 0)
                return count;
            skip -= static_cast<size_t>(count);
        }
    }
    Clock::time_point since = Clock::now();
    long count = a->io.read(a->io.context, &fetch->file, data, capacity, error);
    if (!a->ahead)
        note_answer(a, since);
    return count;
}

void ahead_done(Ahead *a, WalkEvent *event)
{
    Fetch *fetch = event->fetch;
    if (fetch->open)
        a->io.close(a->io.context, &fetch->file);
    {
        std::lock_guard<std::mutex> guard(a->lock);
        if (fetch->open)
            --a->open_now;
        if (fetch->kept)
            --a->kept_open;
        if (fetch->queued) {
            a->bytes_now -= fetch->length;
            --a->sources_ahead;
            a->work.notify_one(); // room in the budget
        }
    }
    delete fetch;
    event->fetch = nullptr;
}

AheadCounts ahead_finish(Ahead *a)
{
    {
        std::lock_guard<std::mutex> guard(a->lock);
        a->closing = true;
        a->work.notify_all();
    }
    for (std::thread &thread : a->threads)
        thread.join();
    // Only a walk that ended early leaves fetches behind.
    for (auto &entry : a->listings)
        delete entry.second;
    for (auto &entry : a->sources) {
        release_source(a, entry.second);
        delete entry.second;
    }
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

long system_read(void *, SourceFile *file, unsigned char *data, size_t capacity, std::string *error)
{
    return source_read(file, data, capacity, error);
}

void system_close(void *, SourceFile *file)
{
    source_close(file);
}

} // namespace

AheadIo ahead_system_io()
{
    return AheadIo{system_list, system_open, system_read, system_close, nullptr};
}
