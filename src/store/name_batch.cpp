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

int name_batch_store(NameBatch *batch, CommandTable *table, EnvironmentList *list)
{
    int status = 0;
    for (size_t at = 0; at < batch->used && status == 0;) {
        const unsigned char *p = batch->data + at;
        size_t length = p[1] | static_cast<size_t>(p[2]) << 8;
        const char *name = reinterpret_cast<const char *>(p + 3);
        if (p[0] == kKindCommand)
            status = command_table_add_sized(table, name, length) < 0 ? -1 : 0;
        else
            status = environment_add_sized(list, name, length) < 0 ? -1 : 0;
        at += 3 + length;
    }
    batch->used = 0;
    return status;
}
