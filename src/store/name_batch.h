// Name batches: names found by the scanner and not yet stored, in the order
// found. A batch lets the scanning of files and the storing of names run on
// two threads while the stores see exactly the sequence of a one-thread run.
#ifndef QUILLMAP_NAME_BATCH_H
#define QUILLMAP_NAME_BATCH_H

#include <cstddef>

struct CommandTable;
struct EnvironmentList;

enum NameKind { kKindCommand = 'c', kKindEnvironment = 'e' };

// Records of a kind byte, the name's length in two bytes (low first), and the
// name's bytes.
struct NameBatch {
    unsigned char *data;
    size_t used;
    size_t capacity;
};

enum { kNameBatchCapacity = 256 * 1024 };

// Allocates an empty batch of `capacity` bytes. Returns false when memory
// runs out.
bool name_batch_init(NameBatch *batch, size_t capacity);
void name_batch_release(NameBatch *batch);

// True when a record for a name of `length` bytes still fits.
inline bool name_batch_has_room(const NameBatch *batch, size_t length)
{
    return batch->capacity - batch->used >= 3 + length;
}

// Appends one name (at most 65535 bytes) of the given kind; the caller has
// checked that it fits.
void name_batch_append(NameBatch *batch, NameKind kind, const char *name, size_t length);

// Adds every name of the batch to the stores, in order, and empties the
// batch. Returns 0, or -1 when memory ran out (the names before the failing
// one are stored).
int name_batch_store(NameBatch *batch, CommandTable *table, EnvironmentList *list);

#endif
