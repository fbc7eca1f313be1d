// The name sink: batches of names carried from the walk to the store thread.
//
// The batches form a ring made when the sink starts. The walk fills the batch
// at `filling`; the store thread stores, in ring order, the `full` batches
// before it. A batch the thread has stored is empty again and is the next to
// fill, so handing a batch over never allocates.
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "driver.h"

namespace {

// Batches in the ring: the one being filled and up to three waiting or being
// stored. More would only take memory, as the store thread falls behind only
// on crowded stores.
const int kRing = 6;

// A batch on a cache line of its own: the walk updates the one it fills at
// every name, and that must not disturb the thread reading another.
struct alignas(64) RingBatch {
    NameBatch batch;
};

} // namespace

struct NameSink {
    CommandTable *table;
    EnvironmentList *list;
    RingBatch ring[kRing];
    int filling;   // the batch the walk fills
    int full;      // batches before it that are waiting or being stored
    bool closing;  // no more batches will come
    bool threaded; // the thread runs; otherwise batches are stored at once
    std::mutex lock;
    std::condition_variable changed;
    std::thread thread;
};

static void store_loop(NameSink *sink)
{
    std::unique_lock<std::mutex> guard(sink->lock);
    for (;;) {
        sink->changed.wait(guard, [sink] { return sink->full > 0 || sink->closing; });
        if (sink->full == 0)
            return;
        NameBatch *batch = &sink->ring[(sink->filling - sink->full + kRing) % kRing].batch;
        guard.unlock();
        name_batch_store(batch, sink->table, sink->list);
        guard.lock();
        --sink->full;
        sink->changed.notify_all();
    }
}

NameSink *name_sink_start(CommandTable *table, EnvironmentList *list)
{
    NameSink *sink = new NameSink;
    sink->table = table;
    sink->list = list;
    for (RingBatch &slot : sink->ring)
        name_batch_init(&slot.batch, kNameBatchCapacity);
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
        name_batch_store(&sink->ring[sink->filling].batch, sink->table, sink->list);
        return &sink->ring[sink->filling].batch;
    }
    std::unique_lock<std::mutex> guard(sink->lock);
    ++sink->full;
    sink->filling = (sink->filling + 1) % kRing;
    sink->changed.notify_all();
    sink->changed.wait(guard, [sink] { return sink->full < kRing; });
    return &sink->ring[sink->filling].batch;
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
