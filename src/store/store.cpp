// Name stores: a fixed 5120-bucket chained hash table for command names and a
// newest-first linked list for environment names.
#include "store.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// name_hash() of the `length` bytes at `name`. Four bytes are taken a step:
// h * 31^4 + b0 * 31^3 + b1 * 31^2 + b2 * 31 + b3 is what four steps of
// h * 31 + b give in 32-bit arithmetic, but its products do not wait for one
// another, so a long name costs a quarter of the chained multiplications.
static unsigned name_hash_sized(const char *name, size_t length)
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

unsigned name_hash(const char *name)
{
    return name_hash_sized(name, strlen(name));
}

static const size_t kPoolChunkSize = size_t{256} * 1024;

// The start of every pool chunk: the next older chunk, and the end of the
// nodes in this one once a newer chunk is begun (the newest chunk's nodes end
// at the pool's cursor). The nodes follow at kChunkHeaderSize.
struct ChunkHeader {
    char *older;
    char *end;
};
static const size_t kChunkHeaderSize =
    (sizeof(ChunkHeader) + alignof(max_align_t) - 1) & ~(alignof(max_align_t) - 1);

// The bytes that a node with a name of `length` bytes takes in its chunk.
static size_t node_size(size_t length)
{
    size_t size = sizeof(NameNode) + length + 1;
    return (size + alignof(NameNode) - 1) & ~(alignof(NameNode) - 1);
}

// Makes a node in `pool` holding a copy of `name` (of `length` bytes) with a
// null `next`, its name's block right behind it. A name too long for a chunk
// gets a chunk of its own. Returns null (with the pool unchanged) when memory
// runs out.
static NameNode *name_node_new(NamePool *pool, const char *name, size_t length)
{
    size_t size = node_size(length);
    if (pool->cursor == nullptr || static_cast<size_t>(pool->limit - pool->cursor) < size) {
        size_t chunk_size =
            size + kChunkHeaderSize > kPoolChunkSize ? size + kChunkHeaderSize : kPoolChunkSize;
        char *chunk = static_cast<char *>(malloc(chunk_size));
        if (chunk == nullptr)
            return nullptr;
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
    memcpy(node->text, name, length);
    node->text[length] = 0;
    node->next = nullptr;
    return node;
}

// Fills `array` with the names of every node of `pool`, in the order they lie
// in memory: the newest chunk first, each chunk's nodes in the order made.
static void name_pool_texts(const NamePool *pool, NameArray array)
{
    size_t next = 0;
    for (const char *chunk = static_cast<const char *>(pool->chunks); chunk != nullptr;) {
        const ChunkHeader *header = reinterpret_cast<const ChunkHeader *>(chunk);
        const char *end = chunk == pool->chunks ? pool->cursor : header->end;
        for (const char *p = chunk + kChunkHeaderSize; p < end;) {
            const NameNode *node = reinterpret_cast<const NameNode *>(p);
            array[next++] = node->text;
            p += node_size(strlen(node->text));
        }
        chunk = header->older;
    }
}

// Frees every chunk of the pool, and with them all its nodes and names.
static void name_pool_free(NamePool *pool)
{
    char *chunk = static_cast<char *>(pool->chunks);
    while (chunk != nullptr) {
        char *older = reinterpret_cast<ChunkHeader *>(chunk)->older;
        free(chunk);
        chunk = older;
    }
    *pool = NamePool{};
}

CommandTable *command_table_new()
{
    CommandTable *table = static_cast<CommandTable *>(malloc(sizeof *table));
    if (table == nullptr)
        return nullptr;
    table->bucket = static_cast<NameNode **>(calloc(kBucketCount, sizeof *table->bucket));
    table->tail = static_cast<NameNode **>(calloc(kBucketCount, sizeof *table->tail));
    table->index = NameIndex{};
    table->pool = NamePool{};
    if (table->bucket == nullptr || table->tail == nullptr) {
        free(table->bucket);
        free(table->tail);
        free(table);
        return nullptr;
    }
    return table;
}

int command_table_add(CommandTable *table, const char *name)
{
    size_t length = strlen(name);
    return command_table_add_hashed(table, name, length, name_index_hash(name, length));
}

// What a store's index and pool make of a name offered to the store.
enum Admission { kAlreadyStored, kAdmitted, kOutOfMemory };

// Looks the name up in `index`; when it is new, makes its node in `pool` and
// enters it in the index, leaving the node in *node for the caller to link.
// On kOutOfMemory neither the index nor the pool holds the name.
static Admission admit(NameIndex *index, NamePool *pool, const char *name, size_t length,
                       uint64_t hash, NameNode **node)
{
    if (name_index_contains(index, name, length, hash))
        return kAlreadyStored;
    if (!name_index_reserve(index))
        return kOutOfMemory;
    *node = name_node_new(pool, name, length);
    if (*node == nullptr)
        return kOutOfMemory;
    name_index_insert(index, (*node)->text, hash);
    return kAdmitted;
}

int command_table_add_hashed(CommandTable *table, const char *name, size_t length,
                             uint64_t index_hash)
{
    NameNode *node = nullptr;
    Admission admission = admit(&table->index, &table->pool, name, length, index_hash, &node);
    if (admission != kAdmitted)
        return admission == kOutOfMemory ? -1 : 1;
    unsigned b = name_hash_sized(name, length);
    if (table->tail[b] == nullptr)
        table->bucket[b] = node;
    else
        table->tail[b]->next = node;
    table->tail[b] = node;
    return 1;
}

int command_table_count(const CommandTable *table)
{
    // The index holds every name of the table once, so its count is the
    // table's, without a walk of all the chains.
    return static_cast<int>(table->index.count);
}

// Allocates an array of `count` name pointers; at least one slot, so that an
// empty array is still a valid, freeable block and null always means failure.
static NameArray name_array_new(int count)
{
    size_t slots = count > 0 ? static_cast<size_t>(count) : 1;
    return static_cast<NameArray>(malloc(slots * sizeof(const char *)));
}

NameArray command_table_flatten(const CommandTable *table, int *count)
{
    *count = command_table_count(table);
    NameArray array = name_array_new(*count);
    if (array == nullptr)
        return nullptr;
    int next = 0;
    for (int b = 0; b < kBucketCount; ++b)
        for (const NameNode *node = table->bucket[b]; node != nullptr; node = node->next)
            array[next++] = node->text;
    return array;
}

NameArray command_table_names(const CommandTable *table, int *count)
{
    *count = command_table_count(table);
    NameArray array = name_array_new(*count);
    if (array != nullptr)
        name_pool_texts(&table->pool, array);
    return array;
}

void command_table_free(CommandTable *table)
{
    if (table == nullptr)
        return;
    name_pool_free(&table->pool);
    free(table->bucket);
    free(table->tail);
    name_index_free(&table->index);
    free(table);
}

int environment_add(EnvironmentList *list, const char *name)
{
    size_t length = strlen(name);
    return environment_add_hashed(list, name, length, name_index_hash(name, length));
}

int environment_add_hashed(EnvironmentList *list, const char *name, size_t length,
                           uint64_t index_hash)
{
    NameNode *node = nullptr;
    Admission admission = admit(&list->index, &list->pool, name, length, index_hash, &node);
    if (admission != kAdmitted)
        return admission == kOutOfMemory ? -1 : 1;
    node->next = list->head;
    list->head = node;
    return 1;
}

int environment_list_count(const EnvironmentList *list)
{
    return static_cast<int>(list->index.count);
}

NameArray environment_flatten(const EnvironmentList *list, int count)
{
    NameArray array = name_array_new(count);
    if (array == nullptr)
        return nullptr;
    const NameNode *node = list->head;
    for (int i = 0; i < count && node != nullptr; ++i, node = node->next)
        array[i] = node->text;
    return array;
}

void environment_free(EnvironmentList *list)
{
    name_pool_free(&list->pool);
    list->head = nullptr;
    name_index_free(&list->index);
}
