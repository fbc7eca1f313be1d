// Source filter and control-sequence scanner.
//
// The scanner is a small state machine driven over the bytes of a
// SourceBuffer. It yields exactly the names that a formatted-input scan would:
// a backslash followed by a name character starts a command name, which runs
// to the first byte outside LetterSet (or is cut at kCommandNameMax bytes);
// a backslash followed by anything else consumes that byte too; after the
// command "begin" or "newenvironment" everything up to and including the next
// '{' is passed over, and the name characters right after it form the
// environment name. The byte that ends a name is not consumed: scanning goes
// on from it.
#include "scan.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char *const SourceExtensionTable[] = {"tex", "ltx", "sty", "def", nullptr};
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

enum ScanMode {
    kModeText,        // looking for a backslash
    kModeBackslash,   // a backslash was consumed; the next byte decides
    kModeCommand,     // reading a command name
    kModeSeekBrace,   // after a keyword, passing over bytes up to '{'
    kModeEnvironment, // reading an environment name after the '{'
    kModeEnded,       // the input ended
    kModeFailed,      // a read failed
};

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

// Takes the run of name characters at the front of [p, end) for a name of at
// most `max` bytes, of which `*gathered` are already in `store` from earlier
// blocks. Returns true when the name is complete: a byte outside LetterSet
// follows it, or it reached `max`; its bytes are then in *name and
// *name_length, right in the block when no earlier block held any of it.
// Returns false when the run goes on past `end`; the bytes taken are then
// added to `store`. Either way *taken counts the bytes consumed.
bool take_letters(const unsigned char *p, const unsigned char *end, char *store, size_t *gathered,
                  size_t max, const char **name, size_t *name_length, size_t *taken)
{
    size_t room = max - *gathered;
    const unsigned char *stop = (static_cast<size_t>(end - p) < room) ? end : p + room;
    const unsigned char *q = letter_run_end(p, stop);
    *taken = static_cast<size_t>(q - p);
    bool complete = q != end || *gathered + *taken == max;
    if (complete && *gathered == 0) {
        *name = reinterpret_cast<const char *>(p);
        *name_length = *taken;
        return true;
    }
    memcpy(store + *gathered, p, *taken);
    *gathered += *taken;
    if (!complete)
        return false;
    *name = store;
    *name_length = *gathered;
    return true;
}

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

void source_buffer_attach(SourceBuffer *buffer, FILE *stream, unsigned char *block, size_t capacity)
{
    buffer->stream = stream;
    buffer->data = block;
    buffer->capacity = capacity;
    buffer->pos = 0;
    buffer->len = 0;
    buffer->ended = false;
    buffer->error = 0;
}

bool source_buffer_init(SourceBuffer *buffer, FILE *stream, size_t capacity)
{
    if (capacity == 0)
        capacity = 1;
    source_buffer_attach(buffer, stream, static_cast<unsigned char *>(malloc(capacity)), capacity);
    return buffer->data != nullptr;
}

void source_buffer_release(SourceBuffer *buffer)
{
    free(buffer->data);
    buffer->data = nullptr;
}

size_t source_buffer_fill(SourceBuffer *buffer)
{
    if (buffer->pos < buffer->len)
        return buffer->len - buffer->pos;
    if (buffer->ended)
        return 0;
    buffer->pos = 0;
    buffer->len = 0;
    errno = 0;
    size_t got = fread(buffer->data, 1, buffer->capacity, buffer->stream);
    if (got == 0) {
        buffer->ended = true;
        if (ferror(buffer->stream))
            buffer->error = errno != 0 ? errno : EIO;
        return 0;
    }
    buffer->len = got;
    // A short read that met the end of the file needs no further read to
    // learn it: most sources fit in one block, so this saves a call per file.
    if (got < buffer->capacity && feof(buffer->stream) && !ferror(buffer->stream))
        buffer->ended = true;
    return got;
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
        if (scanner->mode == kModeEnded)
            return kTokenEnd;
        if (scanner->mode == kModeFailed)
            return kTokenReadError;

        size_t available = source_buffer_fill(buffer);
        if (available == 0) {
            // End of input (or a read error): a name under way is complete.
            int pending = scanner->mode;
            scanner->mode = buffer->error != 0 ? kModeFailed : kModeEnded;
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
            continue;
        }

        const unsigned char *p = buffer->data + buffer->pos;
        const unsigned char *end = p + available;
        size_t taken = 0;
        switch (scanner->mode) {
        case kModeText: {
            const unsigned char *hit =
                static_cast<const unsigned char *>(memchr(p, '\\', available));
            if (hit == nullptr) {
                buffer->pos = buffer->len;
                break;
            }
            // The common case in one step: the backslash, its name and the
            // byte that ends the name all lie in this block.
            const unsigned char *first = hit + 1;
            const unsigned char *stop =
                static_cast<size_t>(end - first) > kCommandNameMax ? first + kCommandNameMax : end;
            const unsigned char *q = letter_run_end(first, stop);
            if (q > first && (q < end || q - first == kCommandNameMax)) {
                buffer->pos = static_cast<size_t>(q - buffer->data);
                scanner->name = reinterpret_cast<const char *>(first);
                scanner->name_length = static_cast<size_t>(q - first);
                scanner->mode =
                    is_keyword(scanner->name, scanner->name_length) ? kModeSeekBrace : kModeText;
                return kTokenCommand;
            }
            buffer->pos = static_cast<size_t>(first - buffer->data);
            scanner->mode = kModeBackslash;
            break;
        }
        case kModeBackslash:
            if (kByteClass.letter[*p]) {
                scanner->mode = kModeCommand;
                scanner->command_length = 0;
            } else {
                // A backslash escapes one non-name byte: both are consumed.
                buffer->pos += 1;
                scanner->mode = kModeText;
            }
            break;
        case kModeCommand: {
            bool complete =
                take_letters(p, end, scanner->command, &scanner->command_length, kCommandNameMax,
                             &scanner->name, &scanner->name_length, &taken);
            buffer->pos += taken;
            if (!complete)
                break;
            scanner->mode =
                is_keyword(scanner->name, scanner->name_length) ? kModeSeekBrace : kModeText;
            return kTokenCommand;
        }
        case kModeSeekBrace: {
            const void *hit = memchr(p, '{', available);
            if (hit == nullptr) {
                buffer->pos = buffer->len;
            } else {
                buffer->pos =
                    static_cast<size_t>(static_cast<const unsigned char *>(hit) - buffer->data) + 1;
                scanner->mode = kModeEnvironment;
                scanner->environment_length = 0;
            }
            break;
        }
        case kModeEnvironment: {
            bool complete =
                take_letters(p, end, scanner->environment, &scanner->environment_length,
                             kEnvironmentNameMax, &scanner->name, &scanner->name_length, &taken);
            buffer->pos += taken;
            if (!complete)
                break;
            scanner->mode = kModeText;
            if (scanner->name_length > 0)
                return kTokenEnvironment;
            break;
        }
        default:
            break;
        }
    }
}

bool source_scan_open(SourceScan *scan, const char *path, unsigned char *block, size_t capacity)
{
    if (!is_source_file(path))
        return false;
    scan->path = path;
    scan->stream = fopen(path, "rb");
    if (scan->stream == nullptr) {
        fprintf(stderr, "Cannot open %s. why?\n", path);
        return false;
    }
    fprintf(stderr, "Analyzing %s.\n", path);
    // The stream's own buffer would only be copied through: reads go
    // straight into the block.
    setvbuf(scan->stream, nullptr, _IONBF, 0);
    source_buffer_attach(&scan->buffer, scan->stream, block, capacity);
    scanner_init(&scan->scanner);
    return true;
}

bool source_scan_fill(SourceScan *scan, NameBatch *batch)
{
    Scanner *scanner = &scan->scanner;
    while (name_batch_has_room(batch, kCommandNameMax)) {
        switch (scanner_next(scanner, &scan->buffer)) {
        case kTokenCommand:
            name_batch_append(batch, kKindCommand, scanner->name, scanner->name_length);
            break;
        case kTokenEnvironment:
            name_batch_append(batch, kKindEnvironment, scanner->name, scanner->name_length);
            break;
        case kTokenReadError:
            fprintf(stderr, "Cannot read %s: %s\n", scan->path, strerror(scan->buffer.error));
            return true;
        case kTokenEnd:
            return true;
        }
    }
    return false;
}

void source_scan_close(SourceScan *scan)
{
    fclose(scan->stream);
}

int scan_source(const char *path, CommandTable *table, EnvironmentList *list)
{
    if (!is_source_file(path))
        return 0;
    unsigned char *block = static_cast<unsigned char *>(malloc(kDefaultBufferSize));
    NameBatch batch;
    if (block == nullptr || !name_batch_init(&batch, kNameBatchCapacity)) {
        free(block);
        return -1;
    }
    SourceScan scan;
    int status = 0;
    if (source_scan_open(&scan, path, block, kDefaultBufferSize)) {
        for (bool done = false; status == 0 && !done;) {
            done = source_scan_fill(&scan, &batch);
            status = name_batch_store(&batch, table, list);
        }
        source_scan_close(&scan);
    }
    name_batch_release(&batch);
    free(block);
    return status;
}
