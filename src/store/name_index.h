// An index beside a name store: an open-addressing hash set of the store's
// nodes, so that "is this name stored already?" is answered without walking a
// chain or a list. It orders nothing; the stores keep their own order.
#ifndef QUILLMAP_NAME_INDEX_H
#define QUILLMAP_NAME_INDEX_H

#include <cstddef>
#include <cstdint>

struct NameIndexSlot {
    const char *text; // a stored name, owned by its node; null while the slot is free
    uint64_t hash;    // name_index_hash() of the text
};

struct NameIndex {
    NameIndexSlot *slot; // `capacity` slots, a power of two, or null while empty
    size_t capacity;
    size_t count;
};

// A 64-bit hash of the `length` bytes at `name`, spread well over all bits
// (unlike the store's bucket hash, whose collisions are easy to make).
uint64_t name_index_hash(const char *name, size_t length);

// Returns true when the index holds the name of `length` bytes at `name`
// (which needs no terminating zero) with the given hash.
bool name_index_contains(const NameIndex *index, const char *name, size_t length, uint64_t hash);

// Asks the processor to fetch the slot where a search for `hash` begins, so
// that a search made a little later need not wait for memory. Changes nothing.
inline void name_index_prefetch(const NameIndex *index, uint64_t hash)
{
    if (index->capacity != 0)
        __builtin_prefetch(&index->slot[static_cast<size_t>(hash) & (index->capacity - 1)]);
}

// Makes room for one more node, growing the slot array when it is three
// quarters full. Returns false, with the index unchanged, when memory runs
// out.
bool name_index_reserve(NameIndex *index);

// Enters `text`, a stored name not in the index yet, under `hash`. The caller
// has reserved room for it.
void name_index_insert(NameIndex *index, const char *text, uint64_t hash);

// Frees the slot array and leaves the index empty; the names are untouched.
void name_index_free(NameIndex *index);

#endif
