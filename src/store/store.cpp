// Name stores: the command table (names in the order of their 5120 buckets,
// first seen first within one), a newest-first linked list for environment
// names, and the groups through which names are added to them.
#include "store.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// name_hash() of the `length` bytes at `name`. Four bytes are taken a step:
// h * 31^4 + b0 * 31^3 + b1 * 31^2 + b2 * 31 + b3 is what four steps of
// h * 31 + b give in 32-bit arithmetic, but its products do not wait for one
// another, so a long name costs a quarter of the chained multiplications.
unsigned name_hash_sized(const char *name, size_t length)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
    const uint32_t p1 = 31u, p2 = p1 * 31u, p3 = p2 * 31u, p4 = p3 * 31u;
    uint32_t h = 0;
    size_t i = 0;
    for (; i + 4 <= length; i += 4)
        h = h * p4 + p[i] * p3 + p[i + 1] * p2 + p[i + 2] * p1 + p[i + 3];
    for (; i < length; ++i)
        h = h * 31u + p[i];
    return h % kBucketCount;
}

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

// A 64-bit hash of the `length` bytes at `name`, spread well over all bits
// (unlike the bucket hash, whose collisions are easy to make).
uint64_t index_hash(const char *name, size_t length)
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

// Returns true when the index holds the name of `length` bytes at `name`
// (which needs no terminating zero) with the given hash.
bool index_contains(const NameIndex *index, const char *name, size_t length, uint64_t hash)
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

// Enters `text` under `hash` in the first free slot from where its search
// begins.
void place(NameIndexSlot *slots, size_t capacity, const char *text, uint64_t hash)
{
    size_t mask = capacity - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots[i].text != nullptr)
        i = (i + 1) & mask;
    slots[i].text = text;
    slots[i].hash = hash;
}

// Makes room for one more name, growing the slot array when it is three
// quarters full.
void index_reserve(NameIndex *index)
{
    if ((index->count + 1) * 4 <= index->capacity * 3)
        return;
    size_t capacity = index->capacity == 0 ? 1024 : index->capacity * 2;
    // Zeroed by writing, not by calloc: calloc's fresh pages are mapped
    // to the shared zero page, so that probing a slot before it is written
    // would take a second fault (and a TLB flush) for every page. (malloc
    // and memset would not do: the compiler merges them into calloc.)
    NameIndexSlot *slots = new NameIndexSlot[capacity]();
    for (size_t i = 0; i < index->capacity; ++i)
        if (index->slot[i].text != nullptr)
            place(slots, capacity, index->slot[i].text, index->slot[i].hash);
    delete[] index->slot;
    index->slot = slots;
    index->capacity = capacity;
}

// Frees the slot array and leaves the index empty; the names are untouched.
void index_free(NameIndex *index)
{
    delete[] index->slot;
    index->slot = nullptr;
    index->capacity = 0;
    index->count = 0;
}

// Asks the processor to fetch the slot where a search for `hash` begins, so
// that a search made a little later need not wait for memory.
void index_prefetch(const NameIndex *index, uint64_t hash)
{
    if (index->capacity != 0)
        __builtin_prefetch(&index->slot[static_cast<size_t>(hash) & (index->capacity - 1)]);
}

const size_t kPoolChunkSize = size_t{256} * 1024;

// The start of every pool chunk: the next older chunk, and the end of the
// nodes in this one once a newer chunk is begun (the newest chunk's nodes end
// at the pool's cursor). The nodes follow at kChunkHeaderSize.
struct ChunkHeader {
    char *older;
    char *end;
};
const size_t kChunkHeaderSize =
    (sizeof(ChunkHeader) + alignof(max_align_t) - 1) & ~(alignof(max_align_t) - 1);

static_assert(sizeof(NameNode) % kNameWord == 0 && kChunkHeaderSize % kNameWord == 0 &&
                  alignof(NameNode) <= kNameWord,
              "a node, and so its name, must begin on a name word");

// The bytes that a node with a name of `length` bytes takes in its chunk:
// the node, the name and its zero, padded to a name word.
size_t node_size(size_t length)
{
    size_t size = sizeof(NameNode) + length + 1;
    return (size + kNameWord - 1) & ~static_cast<size_t>(kNameWord - 1);
}

// Makes a node in `pool` holding a copy of `name` (of `length` bytes) with a
// null `next`, its name's block right behind it. A name too long for a chunk
// gets a chunk of its own.
NameNode *name_node_new(NamePool *pool, const char *name, size_t length)
{
    size_t size = node_size(length);
    if (pool->cursor == nullptr || static_cast<size_t>(pool->limit - pool->cursor) < size) {
        size_t chunk_size = std::max(size + kChunkHeaderSize, kPoolChunkSize);
        char *chunk = static_cast<char *>(::operator new(chunk_size));
        if (pool->chunks != nullptr)
            static_cast<ChunkHeader *>(pool->chunks)->end = pool->cursor;
        ChunkHeader header{static_cast<char *>(pool->chunks), nullptr};
        memcpy(chunk, &header, sizeof header);
        pool->chunks = chunk;
        pool->cursor = chunk + kChunkHeaderSize;
        pool->limit = chunk + chunk_size;
    }
    NameNode *node = reinterpret_cast<NameNode *>(pool->cursor);
    pool->cursor += size;
    node->text = reinterpret_cast<char *>(node + 1);
    // The last word is zeroed first: the name's end and its padding.
    memset(reinterpret_cast<char *>(node) + size - kNameWord, 0, kNameWord);
    memcpy(node->text, name, length);
    node->next = nullptr;
    return node;
}

// Calls visit(text, length) for the name of every node of `pool`, in the
// order the nodes were made, which is the order they lie in memory: chunk by
// chunk from the oldest, each chunk front to back. Each node's size follows
// from its name's length, as no name holds a zero.
template <typename Visit> void name_pool_visit(const NamePool *pool, Visit visit)
{
    std::vector<const char *> chunks;
    for (const char *chunk = static_cast<const char *>(pool->chunks); chunk != nullptr;
         chunk = reinterpret_cast<const ChunkHeader *>(chunk)->older)
        chunks.push_back(chunk);
    for (size_t i = chunks.size(); i-- > 0;) {
        const char *chunk = chunks[i];
        const char *end = chunk == pool->chunks ? pool->cursor
                                                : reinterpret_cast<const ChunkHeader *>(chunk)->end;
        for (const char *p = chunk + kChunkHeaderSize; p < end;) {
            const NameNode *node = reinterpret_cast<const NameNode *>(p);
            size_t length = strlen(node->text);
            visit(node->text, length);
            p += node_size(length);
        }
    }
}

// Frees every chunk of the pool, and with them all its nodes and names.
void name_pool_free(NamePool *pool)
{
    char *chunk = static_cast<char *>(pool->chunks);
    while (chunk != nullptr) {
        char *older = reinterpret_cast<ChunkHeader *>(chunk)->older;
        ::operator delete(chunk);
        chunk = older;
    }
    *pool = NamePool{};
}

// Looks the name up in `index`; when it is new, makes its node in `pool`,
// enters it in the index and returns it for the caller to link. Returns null
// when the name is stored already.
NameNode *admit(NameIndex *index, NamePool *pool, const char *name, size_t length, uint64_t hash)
{
    assert(memchr(name, 0, length) == nullptr);
    if (index_contains(index, name, length, hash))
        return nullptr;
    index_reserve(index);
    NameNode *node = name_node_new(pool, name, length);
    place(index->slot, index->capacity, node->text, hash);
    ++index->count;
    return node;
}

NameArray name_array_new(int count)
{
    return new const char *[count > 0 ? static_cast<size_t>(count) : 1];
}

// Adds the name of `length` bytes at `name`, whose index hash is
// `index_hash`, unless the table holds it.
void command_table_add_hashed(CommandTable *table, const char *name, size_t length,
                              uint64_t index_hash)
{
    NameNode *node = admit(&table->index, &table->pool, name, length, index_hash);
    if (node == nullptr)
        return;
    unsigned b = name_hash_sized(name, length);
    size_t count = table->index.count - 1; // names before this one
    if (count == table->first_seen_capacity) {
        size_t capacity = count == 0 ? 1024 : 2 * count;
        uint16_t *grown = new uint16_t[capacity];
        std::copy(table->first_seen_bucket, table->first_seen_bucket + count, grown);
        delete[] table->first_seen_bucket;
        table->first_seen_bucket = grown;
        table->first_seen_capacity = capacity;
    }
    table->first_seen_bucket[count] = static_cast<uint16_t>(b);
}

// The same for the list.
void environment_add_hashed(EnvironmentList *list, const char *name, size_t length,
                            uint64_t index_hash)
{
    NameNode *node = admit(&list->index, &list->pool, name, length, index_hash);
    if (node == nullptr)
        return;
    node->next = list->head;
    list->head = node;
}

} // namespace

unsigned name_hash(const char *name)
{
    return name_hash_sized(name, strlen(name));
}

void name_array_free(NameArray array)
{
    delete[] array;
}

CommandTable *command_table_new()
{
    return new CommandTable();
}

int command_table_count(const CommandTable *table)
{
    // The index holds every name of the table once.
    return static_cast<int>(table->index.count);
}

NameArray command_table_flatten(const CommandTable *table, int *count)
{
    // The table's order is the order the names were first seen, which is the
    // order their nodes were made, stably sorted by bucket: a counting sort
    // over the buckets noted as the names came, then over the pool, which
    // reads the names one after another.
    *count = command_table_count(table);
    NameArray array = name_array_new(*count);
    std::unique_ptr<uint32_t[]> start(new uint32_t[kBucketCount + 1]());
    const uint16_t *bucket_of = table->first_seen_bucket;
    for (int i = 0; i < *count; ++i)
        ++start[bucket_of[i] + 1];
    for (size_t b = 0; b < kBucketCount; ++b)
        start[b + 1] += start[b];
    size_t next = 0;
    name_pool_visit(&table->pool,
                    [&](const char *text, size_t) { array[start[bucket_of[next++]]++] = text; });
    return array;
}

NameArray command_table_names(const CommandTable *table, int *count)
{
    *count = command_table_count(table);
    NameArray array = name_array_new(*count);
    size_t next = 0;
    name_pool_visit(&table->pool, [&](const char *text, size_t) { array[next++] = text; });
    return array;
}

void command_table_free(CommandTable *table)
{
    if (table == nullptr)
        return;
    name_pool_free(&table->pool);
    index_free(&table->index);
    delete[] table->first_seen_bucket;
    delete table;
}

int environment_list_count(const EnvironmentList *list)
{
    return static_cast<int>(list->index.count);
}

NameArray environment_flatten(const EnvironmentList *list, int count)
{
    NameArray array = name_array_new(count);
    const NameNode *node = list->head;
    for (int i = 0; i < count && node != nullptr; ++i, node = node->next)
        array[i] = node->text;
    return array;
}

void environment_free(EnvironmentList *list)
{
    name_pool_free(&list->pool);
    list->head = nullptr;
    index_free(&list->index);
}

void name_group_add(NameGroup *group, CommandTable *table, EnvironmentList *list, NameKind kind,
                    const char *name, size_t length)
{
    uint64_t hash = index_hash(name, length);
    index_prefetch(kind == kKindCommand ? &table->index : &list->index, hash);
    group->pending[group->count++] = NameGroup::Pending{name, length, hash, kind};
    if (group->count == NameGroup::kSize)
        name_group_store(group, table, list);
}

void name_group_store(NameGroup *group, CommandTable *table, EnvironmentList *list)
{
    // The slots fetched when the names joined are here by now: the stored
    // name that each search will compare with is fetched in turn.
    for (int i = 0; i < group->count; ++i) {
        const NameGroup::Pending &name = group->pending[i];
        const NameIndex *index = name.kind == kKindCommand ? &table->index : &list->index;
        if (index->capacity != 0) {
            const NameIndexSlot &slot =
                index->slot[static_cast<size_t>(name.hash) & (index->capacity - 1)];
            if (slot.hash == name.hash)
                __builtin_prefetch(slot.text);
        }
    }
    for (int i = 0; i < group->count; ++i) {
        const NameGroup::Pending &name = group->pending[i];
        if (name.kind == kKindCommand)
            command_table_add_hashed(table, name.name, name.length, name.hash);
        else
            environment_add_hashed(list, name.name, name.length, name.hash);
    }
    group->count = 0;
}
