#include "name_batch.h"

#include <cstdlib>
#include <cstring>

#include "store.h"

bool name_batch_init(NameBatch *batch, size_t capacity)
{
    batch->data = static_cast<unsigned char *>(malloc(capacity));
    batch->used = 0;
    batch->capacity = batch->data != nullptr ? capacity : 0;
    return batch->data != nullptr;
}

void name_batch_release(NameBatch *batch)
{
    free(batch->data);
    *batch = NameBatch{};
}

void name_batch_append(NameBatch *batch, NameKind kind, const char *name, size_t length)
{
    unsigned char *p = batch->data + batch->used;
    p[0] = static_cast<unsigned char>(kind);
    p[1] = static_cast<unsigned char>(length & 0xff);
    p[2] = static_cast<unsigned char>(length >> 8);
    memcpy(p + 3, name, length);
    batch->used += 3 + length;
}

// Names are stored a group at a time: first every name of the group has its
// index hash worked out and the index slot where its search begins fetched,
// then the group is added in order. The slots of a group thus come from memory
// together, where one add after another would wait for each in turn.
int name_batch_store(NameBatch *batch, CommandTable *table, EnvironmentList *list)
{
    enum { kGroup = 16 };
    struct Pending {
        const char *name;
        size_t length;
        uint64_t hash;
        bool command;
    };
    Pending group[kGroup];
    int status = 0;
    for (size_t at = 0; at < batch->used && status == 0;) {
        int count = 0;
        for (; count < kGroup && at < batch->used; ++count) {
            const unsigned char *p = batch->data + at;
            Pending &next = group[count];
            next.command = p[0] == kKindCommand;
            next.length = p[1] | static_cast<size_t>(p[2]) << 8;
            next.name = reinterpret_cast<const char *>(p + 3);
            next.hash = name_index_hash(next.name, next.length);
            name_index_prefetch(next.command ? &table->index : &list->index, next.hash);
            at += 3 + next.length;
        }
        for (int i = 0; i < count && status == 0; ++i) {
            const Pending &name = group[i];
            int added = name.command
                            ? command_table_add_hashed(table, name.name, name.length, name.hash)
                            : environment_add_hashed(list, name.name, name.length, name.hash);
            status = added < 0 ? -1 : 0;
        }
    }
    batch->used = 0;
    return status;
}
