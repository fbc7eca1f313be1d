// The collection pipeline: the ring of batches, the store thread, and the
// scanning of sources on both threads.
//
// The batches form a ring made when the pipeline starts. The calling thread
// fills the batch at `filling`; the store thread stores, in ring order, the
// `full` batches before it. A batch stored is empty again and is the next to
// fill, so handing a batch on never allocates.
//
// A batch holds name records (a kind byte, the name's length in two bytes,
// low first, and the name's bytes) and, between them, stretches of sources
// read straight into it, which the store thread scans itself.
#include "collect.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "../scan/scan.h"
#include "recent_names.h"

// An invariant whose breach would store wrong names. Checked in every build:
// each check sits on a path taken once per stretch, batch or cut name, never
// per byte, and costs nothing that can be measured.
#define COLLECT_CHECK(condition)                                                                   \
    ((condition) ? static_cast<void>(0) : collect_check_failed(#condition, __LINE__))

namespace {

[[noreturn]] void collect_check_failed(const char *condition, int line)
{
    fprintf(stderr, "quillmap: internal error: %s (collect.cpp:%d)\n", condition, line);
    abort();
}

enum { kRecordHead = 3 };

// The longest record a batch must take: a command name cut at its limit.
const size_t kLongestRecord = kRecordHead + kCommandNameMax;
static_assert(kEnvironmentNameMax <= kCommandNameMax, "the longest record is a command's");
static_assert(kCommandNameMax < 65536, "a record's length has two bytes");

// The recent-names memory reads whole words from a name's first byte; a name
// gathered across stretches lies at the start of one of the scanner's own
// buffers, which must be as long as those words reach.
static_assert(sizeof(Scanner::environment) >= kRecentNameSlack &&
                  sizeof(Scanner::command) >= kRecentNameSlack,
              "the scanner's name buffers must cover the words the memory reads");

// A stretch of a source's bytes in a batch, between its name records.
struct Stretch {
    size_t at;
    size_t length;
    bool first;   // it begins a source; otherwise it goes on from the last stretch
    bool resumes; // it goes on from the scanner state its batch holds
    bool last;    // no bytes of the source follow
};

// A batch on a cache line of its own: the calling thread updates the one it
// fills at every name, and that must not disturb the thread reading another.
// `data` has kRecentNameSlack bytes past `capacity`, never filled, so that
// the names scanned in a stretch have the slack the recent-names memory
// reads.
struct alignas(64) RingBatch {
    unsigned char *data;
    size_t used;
    size_t capacity;
    Stretch *stretch; // the table of stretches, limits.stretches long
    int stretches;
    Scanner resume; // the calling thread's scanner, for the one stretch that resumes
};

} // namespace

// Each thread's own fields lie on cache lines of their own, so that what one
// writes at every name does not disturb what the other reads.
struct Collector {
    CommandTable *table;
    EnvironmentList *list;
    CollectLimits limits;
    RingBatch *ring;
    bool threaded; // the store thread runs; otherwise batches are stored at once
    // The calling thread's read block (read_size bytes and the slack) and
    // memory of names handed on.
    unsigned char *block;
    RecentNames *recent;
    unsigned long handed_over, resumed, flushed_stretches; // for the counts
    // The store thread's scanner for the stretches, the names it found there
    // and not yet stored, and its own memory of names.
    alignas(64) Scanner scanner;
    NameGroup found;
    bool cut_in_group; // `found` holds a name that lies in `scanner`
    RecentNames *store_recent;
    unsigned long cut_names;
    // Shared, under `lock`.
    alignas(64) std::mutex lock;
    std::condition_variable changed;
    int filling;  // the batch the calling thread fills
    int full;     // batches before it that are waiting or being stored
    bool closing; // no more batches will come
    std::thread thread;
};

namespace {

// Adds the name records of data[from, to) to the group of found names.
void add_records(Collector *c, const unsigned char *data, size_t from, size_t to)
{
    for (size_t at = from; at < to;) {
        const unsigned char *p = data + at;
        size_t length = p[1] | static_cast<size_t>(p[2]) << 8;
        name_group_add(&c->found, c->table, c->list, static_cast<NameKind>(p[0]),
                       reinterpret_cast<const char *>(p + kRecordHead), length);
        at += kRecordHead + length;
    }
}

// Scans a stretch of a source and adds the names found, as the calling
// thread would have had it scanned them itself.
void scan_stretch(Collector *c, RingBatch *slot, const Stretch &stretch)
{
    if (stretch.first)
        scanner_init(&c->scanner);
    else if (stretch.resumes)
        c->scanner = slot->resume;
    SourceBuffer buffer;
    source_buffer_init(&buffer, slot->data + stretch.at, stretch.length);
    source_buffer_refill(&buffer, stretch.length, stretch.last);
    for (;;) {
        // The next token may overwrite a name gathered in the scanner: none
        // may wait in the group then.
        if (c->found.count == 0)
            c->cut_in_group = false;
        COLLECT_CHECK(!c->cut_in_group);
        ScanToken token = scanner_next(&c->scanner, &buffer);
        if (token == kTokenMore || token == kTokenEnd)
            break;
        NameKind kind = token == kTokenCommand ? kKindCommand : kKindEnvironment;
        const char *name = c->scanner.name;
        size_t length = c->scanner.name_length;
        if (recent_name_seen(c->store_recent, kind, name, length))
            continue;
        name_group_add(&c->found, c->table, c->list, kind, name, length);
        // A name gathered across stretches lies in the scanner, where the
        // next one may overwrite it: it is stored at once. The others lie in
        // the stretch, which stays until the batch is stored.
        if (name == c->scanner.command || name == c->scanner.environment) {
            ++c->cut_names;
            c->cut_in_group = true;
            name_group_store(&c->found, c->table, c->list);
        }
    }
}

// Stores everything a batch holds, in order, and empties it.
void store_batch(Collector *c, RingBatch *slot)
{
    size_t from = 0;
    for (int i = 0; i < slot->stretches; ++i) {
        const Stretch &stretch = slot->stretch[i];
        add_records(c, slot->data, from, stretch.at);
        scan_stretch(c, slot, stretch);
        from = stretch.at + stretch.length;
    }
    add_records(c, slot->data, from, slot->used);
    name_group_store(&c->found, c->table, c->list);
    c->cut_in_group = false;
    slot->used = 0;
    slot->stretches = 0;
}

void store_loop(Collector *c)
{
    std::unique_lock<std::mutex> guard(c->lock);
    for (;;) {
        c->changed.wait(guard, [c] { return c->full > 0 || c->closing; });
        if (c->full == 0)
            return;
        const int n = c->limits.ring_length;
        RingBatch *slot = &c->ring[(c->filling - c->full + n) % n];
        guard.unlock();
        store_batch(c, slot);
        guard.lock();
        --c->full;
        c->changed.notify_all();
    }
}

RingBatch *filling(Collector *c)
{
    return &c->ring[c->filling];
}

// Hands the batch being filled on to be stored and makes the next one the
// batch to fill, waiting while the store thread is all batches behind.
// Without the thread the batch is stored here and filled again.
void hand_on(Collector *c)
{
    if (!c->threaded) {
        store_batch(c, filling(c));
        return;
    }
    std::unique_lock<std::mutex> guard(c->lock);
    ++c->full;
    c->filling = (c->filling + 1) % c->limits.ring_length;
    c->changed.notify_all();
    c->changed.wait(guard, [c] { return c->full < c->limits.ring_length; });
}

// True when the store thread is free to take a source: fewer than
// limits.free_below batches wait for it or are being stored, so a source
// handed to it now is scanned there before the calling thread runs out of
// batches to fill. The limits' hook answers instead when it is set.
bool store_thread_free(Collector *c)
{
    if (c->limits.idle != nullptr)
        return c->limits.idle(c->limits.idle_context);
    if (!c->threaded)
        return false;
    std::lock_guard<std::mutex> guard(c->lock);
    return c->full < c->limits.free_below;
}

void append_name(Collector *c, NameKind kind, const char *name, size_t length)
{
    RingBatch *slot = filling(c);
    if (slot->capacity - slot->used < kRecordHead + length) {
        hand_on(c);
        slot = filling(c);
    }
    unsigned char *p = slot->data + slot->used;
    p[0] = static_cast<unsigned char>(kind);
    p[1] = static_cast<unsigned char>(length & 0xff);
    p[2] = static_cast<unsigned char>(length >> 8);
    memcpy(p + kRecordHead, name, length);
    slot->used += kRecordHead + length;
}

// Where to read the next bytes of a source that the store thread is to scan:
// room in the batch being filled, at least limits.least_read bytes, and its
// size in *room. The batch is handed on first when it has less room or when
// its table of stretches is full.
unsigned char *stretch_room(Collector *c, size_t *room)
{
    RingBatch *slot = filling(c);
    bool table_full = slot->stretches == c->limits.stretches;
    if (table_full || slot->capacity - slot->used < c->limits.least_read) {
        c->flushed_stretches += table_full;
        hand_on(c);
        slot = filling(c);
    }
    *room = slot->capacity - slot->used;
    return slot->data + slot->used;
}

// True when a stretch of the batch goes on from the batch's scanner state,
// which a batch holds for one stretch only.
bool holds_resume(const RingBatch *slot)
{
    for (int i = 0; i < slot->stretches; ++i)
        if (slot->stretch[i].resumes)
            return true;
    return false;
}

// Records the `count` bytes just read at stretch_room() as the next stretch
// of the source: `first` says it begins the source, `resumes` that it goes on
// from the batch's scanner state, `last` that no more follow.
void add_stretch(Collector *c, size_t count, bool first, bool resumes, bool last)
{
    RingBatch *slot = filling(c);
    COLLECT_CHECK(slot->stretches < c->limits.stretches && (!resumes || !holds_resume(slot)));
    slot->stretch[slot->stretches++] = Stretch{slot->used, count, first, resumes, last};
    slot->used += count;
}

// One source being read: how far, and whether a read failed.
struct Reading {
    const SourceReader *reader;
    unsigned long long total;
    int *error;
    bool failed;
};

// Reads the next bytes of the source into the `room` bytes at `at` and
// returns how many came. *ended says that no more follow: the read gave
// nothing or failed (the names before are kept, as at an end), or it was
// short and brought the total to the size the source had when opened, which
// ends it without another read (most sources fit in one read).
size_t read_on(Reading *reading, unsigned char *at, size_t room, bool *ended)
{
    const SourceReader &reader = *reading->reader;
    long got = reader.read(reader.context, at, room, reading->error);
    COLLECT_CHECK(got <= static_cast<long>(room));
    if (got < 0)
        reading->failed = true;
    size_t count = got > 0 ? static_cast<size_t>(got) : 0;
    reading->total += count;
    *ended = count == 0 || (count < room && reading->total == reader.size);
    return count;
}

// Reads the rest of a source straight into the batches, for the store thread
// to scan: from its start, or, given `resume`, on from this thread's scanner,
// which has consumed every byte read so far. The same reads as scanning here
// makes, ending the same way.
bool hand_over(Collector *c, Reading *reading, const Scanner *resume)
{
    ++c->handed_over;
    c->resumed += resume != nullptr;
    for (bool first = true;; first = false) {
        size_t room;
        unsigned char *at = stretch_room(c, &room);
        bool resumes = first && resume != nullptr;
        if (resumes) {
            if (holds_resume(filling(c))) { // another source's: one a batch
                hand_on(c);
                at = stretch_room(c, &room);
            }
            filling(c)->resume = *resume;
        }
        bool last;
        size_t count = read_on(reading, at, room, &last);
        add_stretch(c, count, first && resume == nullptr, resumes, last);
        if (last)
            return !reading->failed;
    }
}

} // namespace

CollectLimits collect_default_limits()
{
    CollectLimits limits{};
    limits.read_size = kDefaultBufferSize;
    // Batches of 256 KiB, sixteen in the ring: the one being filled and up
    // to fifteen waiting or being stored. The store thread takes sources
    // whole while fewer than eleven wait, so the calling thread mostly
    // lists, opens and reads, and scans only while the store thread is far
    // behind: the calling thread's own work is what bounds a run. Six in the
    // ring, with sources handed over only while at most one waited, was 3 to
    // 4% slower (docs/benchmarks.md).
    limits.batch_size = 256 * 1024;
    limits.ring_length = 16;
    limits.free_below = 11;
    limits.stretches = 256;
    limits.least_read = 4096;
    // A source of up to four batches is handed over, or the rest of one
    // once no more is left; a larger rest is kept here: handed over, it
    // would keep the store thread busy alone while this one waited for room
    // in the ring. Handing over the rest part way shares the large sources'
    // scanning between the threads (docs/benchmarks.md).
    limits.hand_over = 4 * limits.batch_size;
    return limits;
}

Collector *collect_start(CommandTable *table, EnvironmentList *list, const CollectLimits &limits)
{
    Collector *c = new Collector();
    c->table = table;
    c->list = list;
    c->limits = limits;
    COLLECT_CHECK(limits.read_size >= 1 && limits.ring_length >= 2 && limits.stretches >= 1 &&
                  limits.least_read >= 1);
    if (c->limits.batch_size < kLongestRecord)
        c->limits.batch_size = kLongestRecord;
    if (c->limits.batch_size < limits.least_read)
        c->limits.batch_size = limits.least_read;
    c->ring = new RingBatch[static_cast<size_t>(limits.ring_length)];
    for (int i = 0; i < limits.ring_length; ++i) {
        RingBatch &slot = c->ring[i];
        slot.data = new unsigned char[c->limits.batch_size + kRecentNameSlack];
        slot.used = 0;
        slot.capacity = c->limits.batch_size;
        slot.stretch = new Stretch[static_cast<size_t>(limits.stretches)];
        slot.stretches = 0;
    }
    c->block = new unsigned char[limits.read_size + kRecentNameSlack];
    c->recent = new RecentNames();
    c->store_recent = new RecentNames();
    c->found = NameGroup{};
    c->threaded = false;
    if (!limits.one_thread) {
        try {
            c->thread = std::thread(store_loop, c);
            c->threaded = true;
        } catch (const std::system_error &) {
            // No thread: each batch is stored as it fills.
        }
    }
    return c;
}

bool collect_source(Collector *c, const SourceReader &reader, int *error)
{
    Reading reading{&reader, 0, error, false};
    SourceBuffer buffer;
    source_buffer_init(&buffer, c->block, c->limits.read_size);
    Scanner scanner;
    scanner_init(&scanner);
    // A source is handed over whole while the store thread is free, to be
    // scanned there, or the rest of one that this thread began, once the
    // store thread is free and the rest is small; the rest are scanned here.
    // So the two threads share the scanning as the work comes.
    for (;;) {
        ScanToken token = scanner_next(&scanner, &buffer);
        if (token == kTokenEnd)
            return !reading.failed;
        if (token == kTokenMore) {
            // A source that outgrew its size wraps past any bound: kept here.
            unsigned long long rest = reader.size - reading.total;
            if (rest <= c->limits.hand_over && store_thread_free(c))
                return hand_over(c, &reading, reading.total == 0 ? nullptr : &scanner);
            bool ended;
            size_t count = read_on(&reading, buffer.data, buffer.capacity, &ended);
            source_buffer_refill(&buffer, count, ended);
            continue;
        }
        NameKind kind = token == kTokenCommand ? kKindCommand : kKindEnvironment;
        if (!recent_name_seen(c->recent, kind, scanner.name, scanner.name_length))
            append_name(c, kind, scanner.name, scanner.name_length);
    }
}

CollectCounts collect_finish(Collector *c)
{
    hand_on(c);
    if (c->threaded) {
        {
            std::lock_guard<std::mutex> guard(c->lock);
            c->closing = true;
            c->changed.notify_all();
        }
        c->thread.join();
    }
    CollectCounts counts{c->handed_over, c->resumed, c->flushed_stretches, c->cut_names,
                         c->threaded};
    for (int i = 0; i < c->limits.ring_length; ++i) {
        delete[] c->ring[i].data;
        delete[] c->ring[i].stretch;
    }
    delete[] c->ring;
    delete[] c->block;
    delete c->recent;
    delete c->store_recent;
    delete c;
    return counts;
}
