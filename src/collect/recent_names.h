// The recent-names memory of the collection pipeline: each thread that hands
// names on to be stored remembers the short ones it handed on lately.
#ifndef QUILLMAP_RECENT_NAMES_H
#define QUILLMAP_RECENT_NAMES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The longest names remembered, in the short and the long slots.
enum { kRecentShortMax = 15, kRecentLongMax = 31 };

// The bytes that recent_name_seen() may read past a name's end: every buffer
// that names are scanned in has this many bytes more than it uses. A name is
// read as whole words up to the end of its slot, whatever its length: at
// most the longest slot's bytes from the name's first byte on.
enum { kRecentNameSlack = 32 };
static_assert(kRecentShortMax + 1 == sizeof(uint64_t[2]) &&
                  kRecentLongMax + 1 == sizeof(uint64_t[4]),
              "a slot holds its longest name and one byte of length and kind");
static_assert(kRecentNameSlack >= kRecentLongMax + 1,
              "the slack must cover every word read from a name's first byte on");

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
    if (length == 0 || length > kRecentLongMax)
        return false;
    uint64_t tag = (length | static_cast<uint64_t>(kind == kKindEnvironment) << 5) << 56;
    if (length <= kRecentShortMax) {
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

#endif
