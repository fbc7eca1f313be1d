// The platform layer: listing a directory and opening a source file.
//
// Each platform provides these in a file of its own (platform_posix.cpp,
// platform_win32.cpp). The rest of the tool sees nothing of the platform but
// the separator, paths, entries and open sources.
#ifndef QUILLMAP_PLATFORM_H
#define QUILLMAP_PLATFORM_H

#include <cstddef>
#include <string>
#include <vector>

// The directory separator that paths are built with: '/' on POSIX, '\' on
// Windows.
extern const char kPathSeparator;

// What identifies a directory on its system, so that a directory reached again
// through a link is recognised (device and inode on POSIX, volume serial
// number and file index on Windows). An identity that could not be learnt is
// not `known` and matches nothing.
struct DirectoryIdentity {
    unsigned long long volume;
    unsigned long long file;
    bool known;
};

enum EntryKind {
    kEntryPlain,     // a file, a link to one, or a link that leads nowhere
    kEntryDirectory, // a directory or a link to one
    kEntrySpecial,   // a pipe, socket or device: never opened
};

struct DirectoryEntry {
    std::string name;
    EntryKind kind;
};

struct DirectoryListing {
    DirectoryIdentity identity;
    std::vector<DirectoryEntry> entries; // in the platform's order, without "." and ".."
};

// Reads the whole listing of `directory` (a path ending with kPathSeparator)
// into *listing and closes the directory again, so that no handle stays open
// while its entries are visited. Returns false, with *listing empty, when the
// directory cannot be listed: it does not exist, is not a directory, its path
// is too long or access is refused.
bool list_directory(const std::string &directory, DirectoryListing *listing);

// An open source file.
struct SourceFile {
    int fd;
    unsigned long long size; // its size when opened
};

// Opens `path` for reading, without waiting on it, and checks what was
// opened: only a regular file is kept. Returns false, with nothing left open,
// when the file cannot be opened or is not a regular file.
bool source_open(const std::string &path, SourceFile *file);

// Reads up to `capacity` bytes into `data`. Returns the count, 0 at the end of
// the file, or -1 with the reason in *error (an errno value).
long source_read(SourceFile *file, unsigned char *data, size_t capacity, int *error);

void source_close(SourceFile *file);

#endif
