#include "name_index.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

uint64_t load64(const char *p)
{
    uint64_t word;
    memcpy(&word, p, sizeof word);
    return word;
}

uint64_t mix(uint64_t a, uint64_t b)
{
    // 64 x 64 -> 128-bit multiply, folded: a fast, well-spreading mixer.
    unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

const uint64_t kSeed0 = 0xa0761d6478bd642full;
const uint64_t kSeed1 = 0xe7037ed1a0b428dbull;

} // namespace

uint64_t name_index_hash(const char *name, size_t length)
{
    uint64_t h = kSeed0 ^ length;
    size_t i = 0;
    for (; i + 8 <= length; i += 8)
        h = mix(h ^ load64(name + i), kSeed1);
    uint64_t tail = 0;
    for (size_t shift = 0; i < length; ++i, shift += 8)
        tail |= static_cast<uint64_t>(static_cast<unsigned char>(name[i])) << shift;
    return mix(h ^ tail, kSeed1 ^ length);
}

bool name_index_contains(const NameIndex *index, const char *name, size_t length, uint64_t hash)
{
    if (index->capacity == 0)
        return false;
    size_t mask = index->capacity - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        const NameIndexSlot &slot = index->slot[i];
        if (slot.text == nullptr)
            return false;
        if (slot.hash == hash && memcmp(slot.text, name, length) == 0 && slot.text[length] == 0)
            return true;
    }
}

static void place(NameIndexSlot *slots, size_t capacity, const char *text, uint64_t hash)
{
    size_t mask = capacity - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots[i].text != nullptr)
        i = (i + 1) & mask;
    slots[i].text = text;
    slots[i].hash = hash;
}

bool name_index_reserve(NameIndex *index)
{
    if ((index->count + 1) * 4 <= index->capacity * 3)
        return true;
    size_t capacity = index->capacity == 0 ? 1024 : index->capacity * 2;
    // Zeroed by writing, not by calloc: calloc's fresh pages are mapped
    // to the shared zero page, so that probing a slot before it is written
    // would take a second fault (and a TLB flush) for every page. (malloc
    // and memset would not do: the compiler merges them into calloc.)
    NameIndexSlot *slots = new (std::nothrow) NameIndexSlot[capacity]();
    if (slots == nullptr)
        return false;
    for (size_t i = 0; i < index->capacity; ++i)
        if (index->slot[i].text != nullptr)
            place(slots, capacity, index->slot[i].text, index->slot[i].hash);
    delete[] index->slot;
    index->slot = slots;
    index->capacity = capacity;
    return true;
}

void name_index_insert(NameIndex *index, const char *text, uint64_t hash)
{
    place(index->slot, index->capacity, text, hash);
    ++index->count;
}

void name_index_free(NameIndex *index)
{
    delete[] index->slot;
    index->slot = nullptr;
    index->capacity = 0;
    index->count = 0;
}
