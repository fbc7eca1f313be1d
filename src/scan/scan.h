// The source filter, and the control-sequence scanner: a tokenizer over bytes.
//
// The scanner yields, in order of appearance, every command name (a backslash
// followed by a run of name characters) and every environment name (the run of
// name characters after the first '{' that follows the command "begin" or
// "newenvironment"). It reads through a SourceBuffer that its caller fills, a
// block at a time; a name may straddle any number of blocks, and nothing of
// the input is held beyond the block and the two name buffers. It knows
// nothing of files, stores or messages.
#ifndef QUILLMAP_SCAN_H
#define QUILLMAP_SCAN_H

#include <cassert>
#include <cstddef>
#include <cstdint>

// Returns 1 when the text after the last '.' of `path` equals one of the
// source extensions, byte for byte; 0 otherwise (also when there is no dot).
int is_source_file(const char *path);

// The 53 name characters.
extern const char LetterSet[];

enum {
    kDefaultBufferSize = 64 * 1024,
    kCommandNameMax = 1023,    // longer runs are cut here, the rest is plain text
    kEnvironmentNameMax = 127, // likewise for environment names
};

// A block of input bytes. The caller reads into `data` and hands the count
// over with source_buffer_refill(); the scanner takes the bytes from `pos` on
// and moves `pos` only through source_buffer_consume().
struct SourceBuffer {
    unsigned char *data;
    size_t capacity;
    size_t pos; // first unread byte
    size_t len; // bytes held
    bool ended; // no input follows the bytes held
};

// Prepares `buffer` over the caller's `block` of `capacity` bytes (at least
// 1), which it borrows; it holds no bytes yet.
void source_buffer_init(SourceBuffer *buffer, unsigned char *block, size_t capacity);

// Takes the `count` bytes just read into `data` as the buffer's contents; the
// earlier ones must all have been consumed. `ended` says that no more input
// follows (a count of 0 always means that).
void source_buffer_refill(SourceBuffer *buffer, size_t count, bool ended);

// Marks `count` more bytes as read; never past the bytes held.
inline void source_buffer_consume(SourceBuffer *buffer, size_t count)
{
    assert(count <= buffer->len - buffer->pos);
    buffer->pos += count;
}

// Where the scanner stands between two bytes.
enum ScanMode {
    kModeText,        // looking for a backslash
    kModeBackslash,   // a backslash was consumed; the next byte decides
    kModeCommand,     // reading a command name
    kModeSeekBrace,   // after a keyword, passing over bytes up to '{'
    kModeEnvironment, // reading an environment name after the '{'
    kModeEnded,       // the input ended and every name has been yielded
};

// What scanner_next() found.
enum ScanToken {
    kTokenCommand,     // a command name
    kTokenEnvironment, // an environment name
    kTokenMore,        // every byte held is consumed: refill the buffer and call again
    kTokenEnd,         // the input has ended; every name has been yielded
};

// The scanner's state between calls. A name that straddles refills is
// gathered in `command` or `environment`; one that lies whole in the buffer
// is handed out where it lies. A copy made when the scanner has asked for
// more input goes on exactly as the scanner would, from the bytes that come
// next.
struct Scanner {
    ScanMode mode;
    size_t command_length;     // bytes gathered in `command` so far
    size_t environment_length; // bytes gathered in `environment` so far
    const char *name;          // the name just yielded (not zero-terminated)
    size_t name_length;
    // Command names found ahead, all at once, in the 64 bytes held from
    // buffer position `block` on: bit i of `starts` and of `ends` marks
    // where one begins and where the byte after it lies, for each name not
    // yet yielded. Both are 0 whenever the scanner asks for more input.
    uint64_t starts, ends;
    size_t block;
    char command[kCommandNameMax + 1];
    char environment[kEnvironmentNameMax + 1];
};

void scanner_init(Scanner *scanner);

// Reads on from `buffer` to the next name and returns its kind, with the name
// in `name` and `name_length`, valid until the next call or refill. Returns
// kTokenMore when the buffer needs new bytes, and kTokenEnd on every call
// once the input has ended and the last name has been yielded.
ScanToken scanner_next(Scanner *scanner, SourceBuffer *buffer);

#endif
