#include "pipeline.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

// Batches waiting for the store thread at most; more would only use memory,
// as the thread that stores is the slower one only on crowded stores.
const int kInFlight = 4;
const int kSpares = kInFlight + 2;

} // namespace

struct BatchHandoff {
    CommandTable *table;
    EnvironmentList *list;
    std::mutex lock;
    std::condition_variable changed;
    NameBatch waiting[kInFlight]; // a ring, oldest at `first`
    int first = 0;
    int count = 0;
    NameBatch spare[kSpares]; // emptied batches, ready to be filled again
    int spares = 0;
    bool closing = false; // no more batches will come
    bool failed = false;  // the store thread ran out of memory and stopped
    std::thread thread;
};

static void store_loop(BatchHandoff *handoff)
{
    std::unique_lock<std::mutex> guard(handoff->lock);
    for (;;) {
        handoff->changed.wait(guard, [handoff] { return handoff->count > 0 || handoff->closing; });
        if (handoff->count == 0)
            return;
        NameBatch batch = handoff->waiting[handoff->first];
        guard.unlock();
        int status = name_batch_store(&batch, handoff->table, handoff->list);
        guard.lock();
        handoff->first = (handoff->first + 1) % kInFlight;
        --handoff->count;
        if (handoff->spares < kSpares)
            handoff->spare[handoff->spares++] = batch;
        else
            name_batch_release(&batch);
        if (status < 0)
            handoff->failed = true;
        handoff->changed.notify_all();
        if (handoff->failed)
            return;
    }
}

BatchHandoff *store_thread_start(CommandTable *table, EnvironmentList *list)
{
    BatchHandoff *handoff = new (std::nothrow) BatchHandoff;
    if (handoff == nullptr)
        return nullptr;
    handoff->table = table;
    handoff->list = list;
    try {
        handoff->thread = std::thread(store_loop, handoff);
    } catch (const std::system_error &) {
        delete handoff;
        return nullptr;
    }
    return handoff;
}

bool store_thread_hand(BatchHandoff *handoff, NameBatch *batch)
{
    std::unique_lock<std::mutex> guard(handoff->lock);
    handoff->changed.wait(guard,
                          [handoff] { return handoff->count < kInFlight || handoff->failed; });
    if (handoff->failed)
        return false;
    handoff->waiting[(handoff->first + handoff->count) % kInFlight] = *batch;
    ++handoff->count;
    handoff->changed.notify_all();
    if (handoff->spares > 0) {
        *batch = handoff->spare[--handoff->spares];
        return true;
    }
    guard.unlock();
    return name_batch_init(batch, kNameBatchCapacity);
}

int store_thread_finish(BatchHandoff *handoff)
{
    {
        std::lock_guard<std::mutex> guard(handoff->lock);
        handoff->closing = true;
        handoff->changed.notify_all();
    }
    handoff->thread.join();
    int status = handoff->failed ? -1 : 0;
    // Batches still waiting exist only when the thread failed; their names
    // are dropped with the run.
    for (int i = 0; i < handoff->count; ++i)
        name_batch_release(&handoff->waiting[(handoff->first + i) % kInFlight]);
    for (int i = 0; i < handoff->spares; ++i)
        name_batch_release(&handoff->spare[i]);
    delete handoff;
    return status;
}
