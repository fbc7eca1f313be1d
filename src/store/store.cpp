// Name stores: a fixed 5120-bucket chained hash table for command names and a
// newest-first linked list for environment names.
#include "store.h"

#include <cstdlib>
#include <cstring>

unsigned name_hash(const char *name)
{
    unsigned h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p)
        h = h * 31u + *p;
    return h % kBucketCount;
}

// Makes a node holding a copy of `name` (of `length` bytes) with a null
// `next`, or returns null (having allocated nothing) when memory runs out.
static NameNode *name_node_new(const char *name, size_t length)
{
    size_t size = length + 1;
    char *text = static_cast<char *>(malloc(size));
    if (text == nullptr)
        return nullptr;
    memcpy(text, name, size);
    NameNode *node = static_cast<NameNode *>(malloc(sizeof *node));
    if (node == nullptr) {
        free(text);
        return nullptr;
    }
    node->text = text;
    node->next = nullptr;
    return node;
}

CommandTable *command_table_new()
{
    CommandTable *table = static_cast<CommandTable *>(malloc(sizeof *table));
    if (table == nullptr)
        return nullptr;
    table->bucket = static_cast<NameNode **>(calloc(kBucketCount, sizeof *table->bucket));
    table->tail = static_cast<NameNode **>(calloc(kBucketCount, sizeof *table->tail));
    table->index = NameIndex{};
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
    return command_table_add_sized(table, name, strlen(name));
}

int command_table_add_sized(CommandTable *table, const char *name, size_t length)
{
    uint64_t hash = name_index_hash(name, length);
    if (name_index_contains(&table->index, name, length, hash))
        return 1;
    if (!name_index_reserve(&table->index))
        return -1;
    NameNode *node = name_node_new(name, length);
    if (node == nullptr)
        return -1;
    unsigned b = name_hash(name);
    if (table->tail[b] == nullptr)
        table->bucket[b] = node;
    else
        table->tail[b]->next = node;
    table->tail[b] = node;
    name_index_insert(&table->index, node->text, hash);
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

// Frees a chain of nodes with their names, fetching each `next` first.
static void name_chain_free(NameNode *node)
{
    while (node != nullptr) {
        NameNode *next = node->next;
        free(node->text);
        free(node);
        node = next;
    }
}

void command_table_free(CommandTable *table)
{
    if (table == nullptr)
        return;
    for (int b = 0; b < kBucketCount; ++b)
        name_chain_free(table->bucket[b]);
    free(table->bucket);
    free(table->tail);
    name_index_free(&table->index);
    free(table);
}

int environment_add(EnvironmentList *list, const char *name)
{
    return environment_add_sized(list, name, strlen(name));
}

int environment_add_sized(EnvironmentList *list, const char *name, size_t length)
{
    uint64_t hash = name_index_hash(name, length);
    if (name_index_contains(&list->index, name, length, hash))
        return 1;
    if (!name_index_reserve(&list->index))
        return -1;
    NameNode *node = name_node_new(name, length);
    if (node == nullptr)
        return -1;
    node->next = list->head;
    list->head = node;
    name_index_insert(&list->index, node->text, hash);
    return 1;
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
    name_chain_free(list->head);
    list->head = nullptr;
    name_index_free(&list->index);
}
