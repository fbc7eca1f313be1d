// Run driver: the run sequence, the directory walk, and the hand-off of the
// names found to the stores.
#ifndef QUILLMAP_DRIVER_H
#define QUILLMAP_DRIVER_H

#include <cstdint>
#include <cstring>
#include <string>

#include "../scan/scan.h"
#include "../store/store.h"

// A small memory of the short names one thread has handed on to be stored:
// a name met again soon after needs no second trip to the stores, which hold
// it already or will before anything handed on after it. Each slot holds the
// last name that fell to it.
struct RecentNames {
    struct Slot {
        uint64_t low, high; // a name of up to 15 bytes, as recent_name_seen() packs it
    };
    struct LongSlot {
        uint64_t word[4]; // a name of 16 to 31 bytes, likewise
    };
    Slot slot[2048];          // all zero while free, which no name packs to
    LongSlot long_slot[1024]; // likewise
};

// The bytes that recent_name_seen() may read past a name's end: every buffer
// that names are scanned in has this many bytes more than it uses.
enum { kRecentNameSlack = 32 };

// Masks that keep the first n bytes of a name's two words, for n from 0 to
// 16: `low` for the first eight bytes, `high` for the next eight.
struct RecentNameMasks {
    uint64_t low[17], high[17];
};

constexpr uint64_t first_bytes_mask(size_t count)
{
    return count >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * count)) - 1;
}

constexpr RecentNameMasks make_recent_name_masks()
{
    RecentNameMasks masks{};
    for (size_t n = 0; n <= 16; ++n) {
        masks.low[n] = first_bytes_mask(n);
        masks.high[n] = first_bytes_mask(n > 8 ? n - 8 : 0);
    }
    return masks;
}

inline constexpr RecentNameMasks kRecentNameMasks = make_recent_name_masks();

// Reads the eight bytes at `p` as a word, the first byte lowest.
inline uint64_t recent_name_word(const char *p)
{
    uint64_t word;
    memcpy(&word, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

// Returns true when the name of `length` bytes of the given kind was handed
// on already; otherwise remembers it and returns false. Names of up to 15
// bytes are remembered in slots of 16 bytes, names of 16 to 31 in slots of
// 32; longer ones are not remembered. The name's words are read whole
// whatever its length, and the bytes past its end masked off: the caller's
// buffer has kRecentNameSlack bytes to spare, so that no name costs a branch
// on its exact length. The byte after the longest name a slot holds holds
// the length and the kind.
inline bool recent_name_seen(RecentNames *recent, NameKind kind, const char *name, size_t length)
{
    if (length == 0 || length > 31)
        return false;
    uint64_t tag = (length | static_cast<uint64_t>(kind == kKindEnvironment) << 5) << 56;
    if (length <= 15) {
        uint64_t low = recent_name_word(name) & kRecentNameMasks.low[length];
        uint64_t high = (recent_name_word(name + 8) & kRecentNameMasks.high[length]) | tag;
        uint64_t mixed = (low ^ (high * 31)) * 0x9e3779b97f4a7c15ull;
        RecentNames::Slot &slot = recent->slot[mixed >> 53];
        if (slot.low == low && slot.high == high)
            return true;
        slot = RecentNames::Slot{low, high};
        return false;
    }
    uint64_t word[4] = {recent_name_word(name), recent_name_word(name + 8),
                        recent_name_word(name + 16) & kRecentNameMasks.low[length - 16],
                        (recent_name_word(name + 24) & kRecentNameMasks.high[length - 16]) | tag};
    uint64_t mixed =
        (word[0] ^ (word[1] * 31) ^ (word[2] * 961) ^ (word[3] * 29791)) * 0x9e3779b97f4a7c15ull;
    RecentNames::LongSlot &slot = recent->long_slot[mixed >> 54];
    if (slot.word[0] == word[0] && slot.word[1] == word[1] && slot.word[2] == word[2] &&
        slot.word[3] == word[3])
        return true;
    slot = RecentNames::LongSlot{{word[0], word[1], word[2], word[3]}};
    return false;
}

// Where the walk sends the names it finds: batches that, once full, a second
// thread adds to the stores in the order they were filled, so that the stores
// end up exactly as a one-thread run leaves them. Without a thread (none could
// be started) the batches are stored at once on the caller's.
struct NameSink;

// Makes the sink and its batches and starts its thread.
NameSink *name_sink_start(CommandTable *table, EnvironmentList *list);

// The batch to append names to.
NameBatch *name_sink_batch(NameSink *sink);

// Hands the batch being filled over to be stored and returns the empty batch
// to fill next, waiting while the store thread is all batches behind.
NameBatch *name_sink_flush(NameSink *sink);

// True when the store thread has nothing to do: a source read now is best
// handed to it whole, to scan there (name_sink_block, name_sink_read).
bool name_sink_idle(NameSink *sink);

// How a stretch of a source handed to the store thread stands to the bytes
// before it: it goes on from the last stretch, or it begins the source, or
// it goes on from where the walk's own scanner stopped, in that scanner's
// state.
enum SegmentStart { kSegmentGoesOn, kSegmentBegins, kSegmentResumes };

// Where to read the next bytes of a source that the store thread is to scan:
// room in the batch being filled, *room bytes and at least `least` (the batch
// is handed over first when it has less, or when it cannot take the stretch
// `start` describes).
unsigned char *name_sink_block(NameSink *sink, size_t least, SegmentStart start, size_t *room);

// Records the `count` bytes just read at name_sink_block() as the next of the
// source, to be scanned from the state that `start` says (`resume` is the
// scanner to go on from, for kSegmentResumes); `last` says no more follow.
void name_sink_read(NameSink *sink, size_t count, SegmentStart start, const Scanner *resume,
                    bool last);

// Stores what is left, waits until every name is stored, ends the thread and
// frees the sink.
void name_sink_finish(NameSink *sink);

// Returns 1 when the text after the last '.' of `path` equals one of the
// source extensions, byte for byte; 0 otherwise (also when there is no dot).
int is_source_file(const char *path);

// The accepted file extensions, ended by a null entry.
extern const char *const SourceExtensionTable[];

// Walks the tree below `directory`, a path ending with the separator,
// depth-first in the platform's listing order: entries whose name begins with
// '.' are passed over, directories (and links to directories) are walked at
// once, and each plain file whose extension marks a source is announced on
// standard error and scanned into the sink. Each directory is walked once,
// however many links lead to it, so cycles and joins of links end. A
// directory below the top that cannot be opened is passed over silently.
// Returns 0, or 1 when `directory` itself cannot be listed or a listing
// failed part way (both said on standard error as "Cannot read DIR: REASON").
int walk_tree(const std::string &directory, NameSink *sink);

// Writes a progress or failure message, formatted as by printf, to standard
// error in one piece. Once a message cannot be written, the later ones are
// dropped.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The whole run: usage lines, the lock on the working directory, removal of
// the old store-order reports, the walk of every argument, the reports,
// release. Returns the process exit status: 0, or 1 when a report could not
// be written, an argument could not be listed or a listing failed part way.
// When memory runs out, anywhere, "quillmap: out of memory" is written and
// the process ends with status 1.
int run_quillmap(int argc, char **argv);

#endif
