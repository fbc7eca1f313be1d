// The source filter and the control-sequence scanner.
//
// A small state machine driven over the bytes of a SourceBuffer. It yields
// exactly the names that a formatted-input scan would: a backslash followed by
// a name character starts a command name, which runs to the first byte outside
// LetterSet (or is cut at kCommandNameMax bytes); a backslash followed by
// anything else consumes that byte too; after the command "begin" or
// "newenvironment" everything up to and including the next '{' is passed
// over, and the name characters right after it form the environment name. The
// byte that ends a name is not consumed: scanning goes on from it. In plain
// text the scanner finds the names of 64 bytes at once where it can.
#include "scan.h"

#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The accepted file extensions, and the keywords that introduce an
// environment name, each ended by a null entry.
const char *const SourceExtensionTable[] = {"tex", "ltx", "sty", "def", nullptr};
constexpr const char *KeywordTable[] = {"newenvironment", "begin", nullptr};

} // namespace

constexpr char LetterSet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ@";

namespace {

// One flag per byte value: nonzero for the bytes of LetterSet.
struct ByteClassTable {
    unsigned char letter[256];
};

constexpr ByteClassTable make_byte_classes()
{
    ByteClassTable table{};
    for (const char *p = LetterSet; *p != 0; ++p)
        table.letter[static_cast<unsigned char>(*p)] = 1;
    return table;
}

constexpr ByteClassTable kByteClass = make_byte_classes();

// The name characters among eight bytes, the first in the lowest byte of
// `word`: the result has the high bit of each byte that is one set, and no
// other bit. Folded to one case (| 0x20) and to seven bits, the letters are
// 0x61 to 0x7a and '@' is 0x60, which only '`' shares; no byte from 0x80 on
// is a name character. No byte's sums carry into the next, so each byte is
// classified alone.
constexpr uint64_t letter_bits(uint64_t word)
{
    const uint64_t ones = 0x0101010101010101ull, high = ones * 0x80;
    uint64_t folded = (word | ones * 0x20) & ones * 0x7f;
    uint64_t from_at = folded + ones * 0x20; // high bit: folded >= 0x60
    uint64_t past_z = folded + ones * 0x05;  // high bit: folded > 0x7a
    uint64_t grave = word ^ ones * 0x60;     // a zero byte where the byte is '`'
    uint64_t not_grave = ((grave & ones * 0x7f) + ones * 0x7f) | grave;
    return from_at & ~past_z & not_grave & ~word & high;
}

// True when letter_bits() agrees with the table for every byte value in every
// place of the word, whatever stands beside it.
constexpr bool letter_bits_agree()
{
    const uint64_t fillers[] = {0x00, 'a', '`', 0xff};
    for (uint64_t filler : fillers)
        for (int value = 0; value < 256; ++value)
            for (int place = 0; place < 8; ++place) {
                uint64_t word = 0;
                for (int i = 0; i < 8; ++i)
                    word |= (i == place ? static_cast<uint64_t>(value) : filler) << (8 * i);
                uint64_t bit = 0x80ull << (8 * place);
                bool letter = (letter_bits(word) & bit) != 0;
                if (letter != (kByteClass.letter[value] != 0))
                    return false;
            }
    return true;
}

static_assert(letter_bits_agree(), "the word-wide test must classify bytes as the table does");

#ifdef __SSE2__
// The name characters among the sixteen bytes at `p`: bit i is set when
// byte i is one. Folded to one case, the letters are 0x61 to 0x7a, which
// adding 0x1f takes to the signed bytes -128 to -103; '@' is matched alone.
inline unsigned letters16(const unsigned char *p)
{
    const __m128i case_bit = _mm_set1_epi8(0x20), shift = _mm_set1_epi8(0x1f);
    const __m128i past_z = _mm_set1_epi8(-102), at_sign = _mm_set1_epi8('@');
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i letters = _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(bytes, case_bit), shift), past_z);
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(letters, _mm_cmpeq_epi8(bytes, at_sign))));
}

// The backslashes among the sixteen bytes at `p`, likewise.
inline unsigned backslashes16(const unsigned char *p)
{
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))));
}
#endif

// Returns the end of the run of name characters that starts at `p`, looking
// no further than `stop`. Sixteen bytes are classified at a time where the
// processor compares that many at once, then eight, so that a name costs a
// branch or two rather than one hard-to-predict exit from a byte loop. (Most
// names are found a block at a time, below; this serves the rest.)
const unsigned char *letter_run_end(const unsigned char *p, const unsigned char *stop)
{
#ifdef __SSE2__
    while (stop - p >= 16) {
        unsigned others = letters16(p) ^ 0xffffu;
        if (others != 0)
            return p + __builtin_ctz(others);
        p += 16;
    }
#endif
    while (stop - p >= 8) {
        uint64_t word;
        memcpy(&word, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word = __builtin_bswap64(word); // the first byte lowest
#endif
        uint64_t others = ~letter_bits(word) & 0x8080808080808080ull;
        if (others != 0)
            return p + (__builtin_ctzll(others) >> 3);
        p += 8;
    }
    while (p < stop && kByteClass.letter[*p])
        ++p;
    return p;
}

// Returns the offset of the first backslash among the `count` bytes at `p`,
// or `count` when there is none. The gaps between commands are short, so
// the first 64 bytes are searched here, sixteen at a time where the
// processor compares that many at once, before the library's search, whose
// call costs more than such a gap.
inline size_t find_backslash(const unsigned char *p, size_t count)
{
    size_t at = 0;
#ifdef __SSE2__
    for (; at + 16 <= count && at < 64; at += 16) {
        unsigned hits = backslashes16(p + at);
        if (hits != 0)
            return at + static_cast<size_t>(__builtin_ctz(hits));
    }
#endif
    const void *hit = memchr(p + at, '\\', count - at);
    return hit == nullptr ? count
                          : static_cast<size_t>(static_cast<const unsigned char *>(hit) - p);
}

#ifdef __SSE2__
enum { kBlock = 64 };

// The name characters (`letters`) or the backslashes among the kBlock
// bytes at `p`, one bit each, the first lowest.
uint64_t block_bits(const unsigned char *p, bool letters)
{
    uint64_t bits = 0;
    for (int i = 0; i < kBlock / 16; ++i)
        bits |= static_cast<uint64_t>(letters ? letters16(p + 16 * i) : backslashes16(p + 16 * i))
                << (16 * i);
    return bits;
}

// Finds every command name that begins and ends within the kBlock bytes at
// `p`, where the scanner stands in plain text (the byte at `p` is neither
// consumed nor escaped), and notes where each begins and where the byte
// after it lies in *starts and *ends. A backslash escapes the byte after
// it, so in a run of backslashes the first, third, fifth... escape the
// next; a run of odd length makes the byte after it the start of a name
// when that is a name character, and consumes it otherwise. A name that
// may go on past the block is left for the byte-wise scan.
void find_block_names(const unsigned char *p, uint64_t *starts, uint64_t *ends)
{
    const uint64_t even = 0x5555555555555555ull;
    uint64_t backslashes = block_bits(p, false);
    uint64_t letters = block_bits(p, true);
    uint64_t run_starts = backslashes & ~(backslashes << 1);
    // Adding a run's first bit to the run carries to the byte after it.
    uint64_t after_even = (backslashes + (run_starts & even)) & ~backslashes;
    uint64_t after_odd = (backslashes + (run_starts & ~even)) & ~backslashes;
    uint64_t escaped = (after_even & ~even) | (after_odd & even);
    uint64_t begun = escaped & letters;
    // Likewise adding a name's first bit to the name characters carries to
    // the byte after the name.
    uint64_t sum;
    if (__builtin_add_overflow(letters, begun, &sum))
        begun &= ~(uint64_t{1} << (63 - __builtin_clzll(begun))); // the last runs on
    *starts = begun;
    *ends = sum & ~letters;
}
#endif

constexpr size_t kKeywordCount = sizeof KeywordTable / sizeof KeywordTable[0] - 1;

// The length of each keyword, worked out when compiling.
struct KeywordLengths {
    size_t length[kKeywordCount];
};

constexpr KeywordLengths make_keyword_lengths()
{
    KeywordLengths lengths{};
    for (size_t i = 0; i < kKeywordCount; ++i)
        while (KeywordTable[i][lengths.length[i]] != 0)
            ++lengths.length[i];
    return lengths;
}

constexpr KeywordLengths kKeywordLengths = make_keyword_lengths();

// Tests a complete command name against the keywords. Called for every
// command, so the first byte and the length reject most names before any
// compare of the rest.
bool is_keyword(const char *name, size_t length)
{
    for (size_t i = 0; i < kKeywordCount; ++i)
        if (name[0] == KeywordTable[i][0] && length == kKeywordLengths.length[i] &&
            memcmp(name, KeywordTable[i], length) == 0)
            return true;
    return false;
}

// Takes the run of name characters at the front of the buffer for a name of
// at most `max` bytes, of which `*gathered` are already in `store` from
// earlier blocks, and consumes it. Returns true when the name is complete: a
// byte outside LetterSet follows it, or it reached `max`. Its bytes are then
// in the scanner's `name` and `name_length`, right in the block when no
// earlier block held any of it. Returns false when the run goes on past the
// bytes held; the bytes taken are then added to `store`.
__attribute__((always_inline)) inline bool take_letters(Scanner *scanner, SourceBuffer *buffer,
                                                        char *store, size_t *gathered, size_t max)
{
    const unsigned char *p = buffer->data + buffer->pos;
    const unsigned char *end = buffer->data + buffer->len;
    size_t room = max - *gathered;
    const unsigned char *q =
        letter_run_end(p, static_cast<size_t>(end - p) < room ? end : p + room);
    size_t taken = static_cast<size_t>(q - p);
    source_buffer_consume(buffer, taken);
    bool complete = q != end || *gathered + taken == max;
    if (complete && *gathered == 0) {
        scanner->name = reinterpret_cast<const char *>(p);
        scanner->name_length = taken;
        return true;
    }
    memcpy(store + *gathered, p, taken);
    *gathered += taken;
    if (!complete)
        return false;
    scanner->name = store;
    scanner->name_length = *gathered;
    return true;
}

// Reads on in a command name. When it is complete, sets the mode for what
// follows it and returns true.
__attribute__((always_inline)) inline bool take_command(Scanner *scanner, SourceBuffer *buffer)
{
    scanner->mode = kModeCommand;
    if (!take_letters(scanner, buffer, scanner->command, &scanner->command_length, kCommandNameMax))
        return false;
    scanner->mode = is_keyword(scanner->name, scanner->name_length) ? kModeSeekBrace : kModeText;
    return true;
}

#ifdef __SSE2__
// Yields the next of the names found in a block (the scanner's `starts` is
// not 0), as the byte-wise scan would have found it.
inline ScanToken take_block_name(Scanner *scanner, SourceBuffer *buffer)
{
    unsigned first = static_cast<unsigned>(__builtin_ctzll(scanner->starts));
    unsigned after = static_cast<unsigned>(__builtin_ctzll(scanner->ends));
    scanner->starts &= scanner->starts - 1;
    scanner->ends &= scanner->ends - 1;
    const unsigned char *name = buffer->data + scanner->block + first;
    source_buffer_consume(buffer, scanner->block + after - buffer->pos);
    scanner->name = reinterpret_cast<const char *>(name);
    scanner->name_length = after - first;
    if (is_keyword(scanner->name, scanner->name_length)) {
        // What follows is passed over up to a brace, not scanned.
        scanner->mode = kModeSeekBrace;
        scanner->starts = 0;
        scanner->ends = 0;
    }
    return kTokenCommand;
}
#endif

} // namespace

int is_source_file(const char *path)
{
    const char *dot = strrchr(path, '.');
    if (dot == nullptr)
        return 0;
    for (const char *const *extension = SourceExtensionTable; *extension != nullptr; ++extension)
        if (strcmp(dot + 1, *extension) == 0)
            return 1;
    return 0;
}

void source_buffer_init(SourceBuffer *buffer, unsigned char *block, size_t capacity)
{
    *buffer = SourceBuffer{block, capacity, 0, 0, false};
}

void source_buffer_refill(SourceBuffer *buffer, size_t count, bool ended)
{
    assert(buffer->pos == buffer->len && count <= buffer->capacity);
    buffer->pos = 0;
    buffer->len = count;
    buffer->ended = ended || count == 0;
}

void scanner_init(Scanner *scanner)
{
    scanner->mode = kModeText;
    scanner->command_length = 0;
    scanner->environment_length = 0;
    scanner->name = scanner->command;
    scanner->name_length = 0;
    scanner->starts = 0;
    scanner->ends = 0;
    scanner->block = 0;
}

namespace {

// scanner_next() but for yielding a name already found in a block: kept out
// of line, so that that most common step saves no registers.
__attribute__((noinline)) ScanToken scan_on(Scanner *scanner, SourceBuffer *buffer)
{
    for (;;) {
        size_t available = buffer->len - buffer->pos;
        if (available == 0) {
            assert(scanner->starts == 0);
            if (scanner->mode == kModeEnded)
                return kTokenEnd;
            if (!buffer->ended)
                return kTokenMore;
            // End of input: a name under way is complete.
            ScanMode pending = scanner->mode;
            scanner->mode = kModeEnded;
            if (pending == kModeCommand) {
                scanner->name = scanner->command;
                scanner->name_length = scanner->command_length;
                return kTokenCommand;
            }
            if (pending == kModeEnvironment && scanner->environment_length > 0) {
                scanner->name = scanner->environment;
                scanner->name_length = scanner->environment_length;
                return kTokenEnvironment;
            }
            return kTokenEnd;
        }

        const unsigned char *p = buffer->data + buffer->pos;
        switch (scanner->mode) {
        case kModeText: {
#ifdef __SSE2__
            // No names found in a block are left (scanner_next() yields
            // those): the 64 bytes from here are looked at. Where none lies
            // whole in them, the byte-wise scan below takes the next step.
            // Found a block at a time, a name costs no hard-to-predict
            // branch of its own: whole runs were 4 to 7% faster
            // (docs/benchmarks.md).
            if (available >= kBlock) {
                find_block_names(p, &scanner->starts, &scanner->ends);
                scanner->block = buffer->pos;
                if (scanner->starts != 0)
                    return take_block_name(scanner, buffer);
            }
#endif
            size_t at = find_backslash(p, available);
            if (at == available) {
                source_buffer_consume(buffer, available);
                break;
            }
            source_buffer_consume(buffer, at + 1);
            // Most often the name follows at once, in this block: read it
            // without a pass through the loop.
            if (at + 1 < available && kByteClass.letter[p[at + 1]]) {
                scanner->command_length = 0;
                if (take_command(scanner, buffer))
                    return kTokenCommand;
                break;
            }
            scanner->mode = kModeBackslash;
            break;
        }
        case kModeBackslash:
            if (kByteClass.letter[*p]) {
                scanner->command_length = 0;
                if (take_command(scanner, buffer))
                    return kTokenCommand;
            } else {
                // A backslash escapes one non-name byte: both are consumed.
                source_buffer_consume(buffer, 1);
                scanner->mode = kModeText;
            }
            break;
        case kModeCommand:
            if (take_command(scanner, buffer))
                return kTokenCommand;
            break;
        case kModeSeekBrace: {
            const void *hit = memchr(p, '{', available);
            if (hit == nullptr) {
                source_buffer_consume(buffer, available);
                break;
            }
            source_buffer_consume(
                buffer, static_cast<size_t>(static_cast<const unsigned char *>(hit) - p) + 1);
            scanner->mode = kModeEnvironment;
            scanner->environment_length = 0;
            break;
        }
        case kModeEnvironment:
            if (!take_letters(scanner, buffer, scanner->environment, &scanner->environment_length,
                              kEnvironmentNameMax))
                break;
            scanner->mode = kModeText;
            if (scanner->name_length > 0)
                return kTokenEnvironment;
            break;
        case kModeEnded:
            source_buffer_consume(buffer, available);
            break;
        }
    }
}

} // namespace

ScanToken scanner_next(Scanner *scanner, SourceBuffer *buffer)
{
#ifdef __SSE2__
    if (scanner->starts != 0)
        return take_block_name(scanner, buffer);
#endif
    return scan_on(scanner, buffer);
}
