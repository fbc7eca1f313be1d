// Name stores: the command table and the environment list.
//
// Both stores keep one heap copy of each distinct name they are given, in an
// order that the store-order reports make visible: the command table lists its
// 5120 buckets in index order, each chain in first-seen order; the environment
// list holds the newest first-seen name at its head. Neither store prints
// anything; allocation failures are returned to the caller, which decides.
#ifndef QUILLMAP_STORE_H
#define QUILLMAP_STORE_H

#include <cstddef>

#include "name_index.h"

// One stored name. The node owns `text`, a zero-terminated copy of the name,
// exactly its length plus one bytes.
struct NameNode {
    char *text;
    NameNode *next;
};

// Where a store's nodes and names live: large chunks handed out front to back,
// each node followed at once by its name's block, so that a node and its name
// share a cache line and the whole store is freed a chunk at a time.
struct NamePool {
    char *cursor; // next free byte of the current chunk
    char *limit;  // end of the current chunk
    void *chunks; // the chunks, newest first, each headed by a link to the next older
};

enum { kBucketCount = 5120 };

// A chained hash table of command names: kBucketCount chain heads, indexed by
// name_hash(), never resized. Beside the chains, `tail` holds each chain's
// last node, so that a new name is appended at once, and `index` finds a
// stored name without walking its chain (and knows how many there are).
struct CommandTable {
    NameNode **bucket;
    NameNode **tail;
    NameIndex index;
    NamePool pool;
};

// A singly linked list of environment names, newest first-seen name first,
// with an index that finds a stored name without walking the list. A
// value-initialised list (EnvironmentList list{};) is empty.
struct EnvironmentList {
    NameNode *head;
    NameIndex index;
    NamePool pool;
};

// A heap array of pointers to names that a store still owns. Freeing the array
// (with free()) frees none of the names.
typedef const char **NameArray;

// Returns the bucket index of `name`: h = h * 31 + byte over its unsigned
// bytes in 32-bit arithmetic, taken modulo kBucketCount.
unsigned name_hash(const char *name);

// Returns a new, empty table, or null when memory runs out.
CommandTable *command_table_new();

// Records a copy of `name` at the end of its bucket's chain unless the chain
// holds it already. Returns 1 on success (new or present) and -1 when memory
// runs out, in which case the table is unchanged.
int command_table_add(CommandTable *table, const char *name);

// The same for the `length` bytes at `name`, which need no terminating zero,
// and whose name_index_hash() the caller has worked out as `index_hash`.
int command_table_add_hashed(CommandTable *table, const char *name, size_t length,
                             uint64_t index_hash);

// Returns the number of names in the table.
int command_table_count(const CommandTable *table);

// Returns an array of every name in table order (buckets in index order, each
// chain from its head) and stores its length in *count. Returns null when
// memory runs out; an empty table gives a valid array of length 0.
NameArray command_table_flatten(const CommandTable *table, int *count);

// Returns an array of every name in the order the names lie in memory, which
// is no order of use to a reader but is had in one pass over the names,
// without walking the chains, and gives a caller that reads every name in
// turn (to sort them) the names one after another: for callers that sort the
// names anyway. Stores the length in *count; returns null when memory runs
// out.
NameArray command_table_names(const CommandTable *table, int *count);

// Frees every name, every node and the bucket array, then the table itself.
// Accepts null.
void command_table_free(CommandTable *table);

// Records a copy of `name` at the head of the list unless the list holds it
// already. Returns 1 on success (new or present) and -1 when memory runs out,
// in which case the list is unchanged.
int environment_add(EnvironmentList *list, const char *name);

// The same for the `length` bytes at `name`, which need no terminating zero,
// and whose name_index_hash() the caller has worked out as `index_hash`.
int environment_add_hashed(EnvironmentList *list, const char *name, size_t length,
                           uint64_t index_hash);

// Returns the number of names in the list.
int environment_list_count(const EnvironmentList *list);

// Returns an array of the first `count` names of the list, from the head, or
// null when memory runs out. A count of 0 gives a valid array of length 0.
NameArray environment_flatten(const EnvironmentList *list, int count);

// Frees every name and node of the list and its index, and leaves it empty.
void environment_free(EnvironmentList *list);

#endif
