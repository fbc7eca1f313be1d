// Directory listing: the one platform-specific piece of the walk.
//
// Each platform provides list_directory() in a file of its own
// (listing_posix.cpp, listing_win32.cpp). The walk sees nothing of the
// platform but the separator and the listing.
#ifndef QUILLMAP_LISTING_H
#define QUILLMAP_LISTING_H

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

#endif
