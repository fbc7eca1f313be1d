// Name stores: the command table and the environment list.
//
// Both stores keep one copy of each distinct name they are given, in an order
// that the store-order reports make visible: the command table lists its 5120
// buckets in index order, each bucket's names in first-seen order; the environment list
// holds the newest first-seen name at its head. A name is a run of bytes
// holding no zero byte. Neither store prints anything. Memory is taken with
// operator new: when it runs out, the process's new-handler decides (the tool's
// ends the run), and without one std::bad_alloc is thrown.
#ifndef QUILLMAP_STORE_H
#define QUILLMAP_STORE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// An index beside a name store: an open-addressing hash set of the store's
// nodes, so that "is this name stored already?" is answered without walking a
// chain or a list. It orders nothing; the stores keep their own order.
struct NameIndexSlot {
    const char *text; // a stored name, owned by its node; null while the slot is free
    uint64_t hash;    // a 64-bit hash of the text, spread well over all bits
};

struct NameIndex {
    NameIndexSlot *slot; // `capacity` slots, a power of two, or null while empty
    size_t capacity;
    size_t count;
};

// One stored name. The node owns `text`, a zero-terminated copy of the name,
// which follows the node at once; `next` links the environment list (a
// command's is unused). `text` begins on an eight-byte boundary, and zero
// bytes follow the name up to the next one past its end, so that a reader
// may take a stored name eight bytes at a time (see kNameWord).
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

// The command names. Their order is that of the bucket their name_hash()
// gives, buckets in index order, and within a bucket the order they were
// first seen: `first_seen_bucket` notes each name's bucket as it comes, and
// the pool keeps the names in the order they came. `index` finds a stored
// name (and knows how many there are).
struct CommandTable {
    NameIndex index;
    NamePool pool;
    uint16_t *first_seen_bucket; // the bucket of each name, in the order first seen
    size_t first_seen_capacity;
};

// A singly linked list of environment names, newest first-seen name first,
// with an index that finds a stored name without walking the list. A
// value-initialised list (EnvironmentList list{};) is empty.
struct EnvironmentList {
    NameNode *head;
    NameIndex index;
    NamePool pool;
};

// The unit in which a stored name may be read: every stored name, and every
// name in a NameArray, begins on a multiple of it and is padded with zero
// bytes to one.
enum { kNameWord = 8 };

// A heap array of pointers to names that a store still owns, released with
// name_array_free(), which frees none of the names.
typedef const char **NameArray;

void name_array_free(NameArray array);

// Returns the bucket index of `name`: h = h * 31 + byte over its unsigned
// bytes in 32-bit arithmetic, taken modulo kBucketCount.
unsigned name_hash(const char *name);

// Returns a new, empty table.
CommandTable *command_table_new();

// Returns the number of names in the table.
int command_table_count(const CommandTable *table);

// Returns an array of every name in table order (buckets in index order, each
// bucket's names first seen first) and stores its length in *count.
NameArray command_table_flatten(const CommandTable *table, int *count);

// Returns an array of every name in the order the names lie in memory, which
// is no order of use to a reader but is had in one pass over the names and
// gives a caller that reads every name in turn (to sort them) the names one
// after another. Stores the length in *count.
NameArray command_table_names(const CommandTable *table, int *count);

// Frees every name, every node and the table itself. Accepts null.
void command_table_free(CommandTable *table);

// Returns the number of names in the list.
int environment_list_count(const EnvironmentList *list);

// Returns an array of the first `count` names of the list, from the head.
NameArray environment_flatten(const EnvironmentList *list, int count);

// Frees every name and node of the list and its index, and leaves it empty.
void environment_free(EnvironmentList *list);

// The two kinds of name.
enum NameKind { kKindCommand = 'c', kKindEnvironment = 'e' };

// Names on their way into the stores, added a group at a time (the only way
// names are added): as a name
// joins, its index hash is worked out and the index slot where its search
// begins is fetched; once the group is full it is added in order. So the
// slots of a group come from memory together, where one add after another
// would wait for each in turn. A name's bytes must stay where they are until
// its group is added. A value-initialised group (NameGroup group{};) is empty.
struct NameGroup {
    enum { kSize = 16 };
    struct Pending {
        const char *name;
        size_t length;
        uint64_t hash;
        NameKind kind;
    } pending[kSize];
    int count;
};

// Adds a name to the group, and the group to the stores when it is full.
void name_group_add(NameGroup *group, CommandTable *table, EnvironmentList *list, NameKind kind,
                    const char *name, size_t length);

// Adds the names of the group to the stores, in order, and empties it.
void name_group_store(NameGroup *group, CommandTable *table, EnvironmentList *list);

#endif
