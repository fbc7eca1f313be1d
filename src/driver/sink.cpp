// The name sink: batches of names carried from the walk to the store thread.
//
// The batches form a ring made when the sink starts. The walk fills the batch
// at `filling`; the store thread stores, in ring order, the `full` batches
// before it. A batch the thread has stored is empty again and is the next to
// fill, so handing a batch over never allocates.
//
// Between its name records a batch may hold stretches of sources read
// straight into it, which the store thread scans itself: so the walk hands
// over the scanning of whole files while the store thread has nothing else
// to do, and the two threads share the work as it comes.
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "../scan/scan.h"
#include "driver.h"

namespace {

// Batches in the ring: the one being filled and up to five waiting or being
// stored. Four were slower (the walk waited for the store thread between
// bursts); more only took memory.
const int kRing = 6;

// Stretches of sources a batch can hold.
const int kSegments = 256;

// A stretch of a source's bytes in a batch, between its name records.
struct SourceSegment {
    size_t at;
    size_t length;
    SegmentStart start;
    bool last; // no bytes of the source follow
};

// A batch on a cache line of its own: the walk updates the one it fills at
// every name, and that must not disturb the thread reading another. A batch
// carries at most one scanner state, for a segment that resumes a source.
struct alignas(64) RingBatch {
    NameBatch batch;
    int segments;
    bool resumes;
    Scanner resume;
    SourceSegment segment[kSegments];
};

} // namespace

struct NameSink {
    CommandTable *table;
    EnvironmentList *list;
    RingBatch ring[kRing];
    int filling;        // the batch the walk fills
    int full;           // batches before it that are waiting or being stored
    bool closing;       // no more batches will come
    bool threaded;      // the thread runs; otherwise batches are stored at once
    Scanner scanner;    // the store thread's, for the stretches of sources
    NameGroup found;    // names it found there, not yet stored
    RecentNames recent; // names it found there lately
    std::mutex lock;
    std::condition_variable changed;
    std::thread thread;
};

// Stores the name records of `batch` from byte `from` to byte `to`.
static void store_records(NameSink *sink, const NameBatch &batch, size_t from, size_t to)
{
    NameBatch records{batch.data + from, to - from, to - from};
    name_batch_store(&records, sink->table, sink->list);
}

// Scans a stretch of a source and stores the names found, as the walk would
// have had it scanned them itself.
static void scan_segment(NameSink *sink, RingBatch *slot, const SourceSegment &segment)
{
    if (segment.start == kSegmentBegins)
        scanner_init(&sink->scanner);
    else if (segment.start == kSegmentResumes)
        sink->scanner = slot->resume;
    unsigned char *bytes = slot->batch.data + segment.at;
    SourceBuffer buffer;
    source_buffer_init(&buffer, bytes, segment.length);
    source_buffer_refill(&buffer, segment.length, segment.last);
    for (;;) {
        ScanToken token = scanner_next(&sink->scanner, &buffer);
        if (token == kTokenMore || token == kTokenEnd)
            break;
        NameKind kind = token == kTokenCommand ? kKindCommand : kKindEnvironment;
        const char *name = sink->scanner.name;
        size_t length = sink->scanner.name_length;
        if (recent_name_seen(&sink->recent, kind, name, length))
            continue;
        name_group_add(&sink->found, sink->table, sink->list, kind, name, length);
        // A name gathered across stretches lies in the scanner, where the
        // next one may overwrite it: it is stored at once. The others lie in
        // the stretch, which stays until the batch is done.
        if (name == sink->scanner.command || name == sink->scanner.environment)
            name_group_store(&sink->found, sink->table, sink->list);
    }
    name_group_store(&sink->found, sink->table, sink->list);
}

// Stores everything a batch holds, in order, and empties it.
static void store_batch(NameSink *sink, RingBatch *slot)
{
    size_t from = 0;
    for (int i = 0; i < slot->segments; ++i) {
        const SourceSegment &segment = slot->segment[i];
        store_records(sink, slot->batch, from, segment.at);
        scan_segment(sink, slot, segment);
        from = segment.at + segment.length;
    }
    store_records(sink, slot->batch, from, slot->batch.used);
    slot->batch.used = 0;
    slot->segments = 0;
    slot->resumes = false;
}

static void store_loop(NameSink *sink)
{
    std::unique_lock<std::mutex> guard(sink->lock);
    for (;;) {
        sink->changed.wait(guard, [sink] { return sink->full > 0 || sink->closing; });
        if (sink->full == 0)
            return;
        RingBatch *slot = &sink->ring[(sink->filling - sink->full + kRing) % kRing];
        guard.unlock();
        store_batch(sink, slot);
        guard.lock();
        --sink->full;
        sink->changed.notify_all();
    }
}

NameSink *name_sink_start(CommandTable *table, EnvironmentList *list)
{
    NameSink *sink = new NameSink();
    sink->table = table;
    sink->list = list;
    for (RingBatch &slot : sink->ring) {
        name_batch_init(&slot.batch, kNameBatchCapacity);
        slot.segments = 0;
        slot.resumes = false;
    }
    sink->found = NameGroup{};
    sink->filling = 0;
    sink->full = 0;
    sink->closing = false;
    try {
        sink->thread = std::thread(store_loop, sink);
        sink->threaded = true;
    } catch (const std::system_error &) {
        sink->threaded = false;
    }
    return sink;
}

NameBatch *name_sink_batch(NameSink *sink)
{
    return &sink->ring[sink->filling].batch;
}

NameBatch *name_sink_flush(NameSink *sink)
{
    if (!sink->threaded) {
        store_batch(sink, &sink->ring[sink->filling]);
        return &sink->ring[sink->filling].batch;
    }
    std::unique_lock<std::mutex> guard(sink->lock);
    ++sink->full;
    sink->filling = (sink->filling + 1) % kRing;
    sink->changed.notify_all();
    sink->changed.wait(guard, [sink] { return sink->full < kRing; });
    return &sink->ring[sink->filling].batch;
}

bool name_sink_idle(NameSink *sink)
{
    // Idle enough when nothing waits behind the batch it may be storing.
    if (!sink->threaded)
        return false;
    std::lock_guard<std::mutex> guard(sink->lock);
    return sink->full <= 1;
}

unsigned char *name_sink_block(NameSink *sink, size_t least, SegmentStart start, size_t *room)
{
    // The last kRecentNameSlack bytes of a batch are never read into, so
    // that the names scanned in a stretch have the slack that
    // recent_name_seen() needs.
    RingBatch *slot = &sink->ring[sink->filling];
    if (slot->batch.capacity - slot->batch.used < least + kRecentNameSlack ||
        slot->segments == kSegments || (start == kSegmentResumes && slot->resumes)) {
        name_sink_flush(sink);
        slot = &sink->ring[sink->filling];
    }
    *room = slot->batch.capacity - slot->batch.used - kRecentNameSlack;
    return slot->batch.data + slot->batch.used;
}

void name_sink_read(NameSink *sink, size_t count, SegmentStart start, const Scanner *resume,
                    bool last)
{
    RingBatch *slot = &sink->ring[sink->filling];
    if (start == kSegmentResumes) {
        slot->resume = *resume;
        slot->resumes = true;
    }
    slot->segment[slot->segments++] = SourceSegment{slot->batch.used, count, start, last};
    slot->batch.used += count;
}

void name_sink_finish(NameSink *sink)
{
    name_sink_flush(sink);
    if (sink->threaded) {
        {
            std::lock_guard<std::mutex> guard(sink->lock);
            sink->closing = true;
            sink->changed.notify_all();
        }
        sink->thread.join();
    }
    for (RingBatch &slot : sink->ring)
        name_batch_release(&slot.batch);
    delete sink;
}
