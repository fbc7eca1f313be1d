// The control-sequence scanner.
//
// A small state machine driven over the bytes of a SourceBuffer. It yields
// exactly the names that a formatted-input scan would: a backslash followed by
// a name character starts a command name, which runs to the first byte outside
// LetterSet (or is cut at kCommandNameMax bytes); a backslash followed by
// anything else consumes that byte too; after the command "begin" or
// "newenvironment" everything up to and including the next '{' is passed
// over, and the name characters right after it form the environment name. The
// byte that ends a name is not consumed: scanning goes on from it.
#include "scan.h"

#include <cstring>

constexpr const char *KeywordTable[] = {"newenvironment", "begin", nullptr};
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

// Returns the end of the run of name characters that starts at `p`, looking
// no further than `stop`. Eight bytes are classified at a time into a mask
// whose lowest clear bit ends the run, so that a name costs a branch per
// eight bytes rather than one hard-to-predict exit from a byte loop.
const unsigned char *letter_run_end(const unsigned char *p, const unsigned char *stop)
{
    while (stop - p >= 8) {
        unsigned mask = 0;
        for (int i = 0; i < 8; ++i)
            mask |= static_cast<unsigned>(kByteClass.letter[p[i]]) << i;
        if (mask != 0xff)
            return p + __builtin_ctz(~mask);
        p += 8;
    }
    while (p < stop && kByteClass.letter[*p])
        ++p;
    return p;
}

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

} // namespace

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
}

ScanToken scanner_next(Scanner *scanner, SourceBuffer *buffer)
{
    for (;;) {
        size_t available = buffer->len - buffer->pos;
        if (available == 0) {
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
            const void *hit = memchr(p, '\\', available);
            if (hit == nullptr) {
                source_buffer_consume(buffer, available);
                break;
            }
            size_t at = static_cast<size_t>(static_cast<const unsigned char *>(hit) - p);
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
