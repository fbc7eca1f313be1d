// Source filter and control-sequence scanner.
//
// The scanner reads a file once, front to back, through a fixed-size buffer and
// yields, in order of appearance, every command name (a backslash followed by
// a run of name characters) and every environment name (the run of name
// characters after the first '{' that follows the command "begin" or
// "newenvironment"). A name may straddle any number of buffer refills; nothing
// of the file is held beyond the buffer and the two name buffers.
#ifndef QUILLMAP_SCAN_H
#define QUILLMAP_SCAN_H

#include <cstddef>
#include <cstdio>

#include "../store/name_batch.h"
#include "../store/store.h"

// The accepted file extensions and the keywords that introduce an environment
// name; each table ends with a null entry.
extern const char *const SourceExtensionTable[];
extern const char *const KeywordTable[];

// The 53 name characters.
extern const char LetterSet[];

// Returns 1 when the text after the last '.' of `path` equals one of the
// source extensions, byte for byte; 0 otherwise (also when there is no dot).
int is_source_file(const char *path);

enum {
    kDefaultBufferSize = 64 * 1024,
    kCommandNameMax = 1023,    // longer runs are cut here, the rest is plain text
    kEnvironmentNameMax = 127, // likewise for environment names
};

// A read buffer over an open stream. It owns all refill logic: the scanner
// only asks for the unread bytes and says how many it consumed.
struct SourceBuffer {
    FILE *stream;
    unsigned char *data;
    size_t capacity;
    size_t pos; // first unread byte
    size_t len; // bytes held
    bool ended; // end of input or a read error was met
    int error;  // errno of the read error, 0 when the input simply ended
};

// Prepares `buffer` to read `stream` through the caller's `block` of
// `capacity` bytes (at least 1), which it borrows.
void source_buffer_attach(SourceBuffer *buffer, FILE *stream, unsigned char *block,
                          size_t capacity);

// The same through a block of its own. Returns false when memory runs out.
bool source_buffer_init(SourceBuffer *buffer, FILE *stream, size_t capacity);

// Frees the block of source_buffer_init(); the stream stays open and belongs
// to the caller.
void source_buffer_release(SourceBuffer *buffer);

// Returns the number of unread bytes, refilling the block first when it is
// used up. Returns 0 only at end of input or after a read error (see `error`).
size_t source_buffer_fill(SourceBuffer *buffer);

// What scanner_next() found.
enum ScanToken {
    kTokenCommand,     // a command name is in Scanner::command
    kTokenEnvironment, // an environment name is in Scanner::environment
    kTokenEnd,         // the input has ended; every name has been yielded
    kTokenReadError,   // a read failed; every name before it has been yielded
};

// The scanner's state between calls. A name that straddles refills is
// gathered in `command` or `environment`; one that lies whole in the buffer
// is handed out where it lies.
struct Scanner {
    int mode;
    size_t command_length;     // bytes gathered in `command` so far
    size_t environment_length; // bytes gathered in `environment` so far
    const char *name;          // the name just yielded (not zero-terminated)
    size_t name_length;
    char command[kCommandNameMax + 1];
    char environment[kEnvironmentNameMax + 1];
};

void scanner_init(Scanner *scanner);

// Reads on from `buffer` to the next name and returns its kind, the name in
// `name` and `name_length`, valid until the next call. Once the input is done
// it returns kTokenEnd (or kTokenReadError) on every call.
ScanToken scanner_next(Scanner *scanner, SourceBuffer *buffer);

// One source file being scanned into name batches.
struct SourceScan {
    const char *path;
    FILE *stream;
    SourceBuffer buffer;
    Scanner scanner;
};

// Starts the scan of one file found by the walk. A file whose extension is
// not a source extension is passed over silently and a file that cannot be
// opened gives "Cannot open PATH. why?" on standard error; both return
// false. Otherwise "Analyzing PATH." is written there and true is returned:
// the file is open, to be read through `block` (of `capacity` bytes, borrowed
// until the scan is closed), scanned with source_scan_fill() and closed with
// source_scan_close().
bool source_scan_open(SourceScan *scan, const char *path, unsigned char *block, size_t capacity);

// Scans on, appending each name found to `batch`, until the file is done
// (returns true) or the batch has no room left for a name of the longest kind
// (returns false: empty the batch and call again). A read error ends the
// file with "Cannot read PATH: REASON" on standard error, keeping the names
// found before it.
bool source_scan_fill(SourceScan *scan, NameBatch *batch);

void source_scan_close(SourceScan *scan);

// Scans one file found by the walk straight into the stores. A file whose extension is not a source
// extension is passed over silently. A file that cannot be opened gives
// "Cannot open PATH. why?" on standard error; otherwise "Analyzing PATH." is
// written there and every name found goes into the stores. A read error ends
// the file's scan with "Cannot read PATH: REASON", keeping the names found
// before it. Returns 0, or -1 when memory ran out (the stores then hold the
// names recorded before).
int scan_source(const char *path, CommandTable *table, EnvironmentList *list);

#endif
