// Directory listing on Windows: FindFirstFileA/FindNextFileA order, '\'
// separator.
#include <windows.h>

#include "listing.h"

const char kPathSeparator = '\\';

// Identifies the directory by volume serial number and file index, following
// a link or junction to the directory it leads to. Leaves the identity
// unknown when the directory cannot be opened for it.
static void identify(const std::string &directory, DirectoryIdentity *identity)
{
    *identity = DirectoryIdentity{0, 0, false};
    HANDLE handle =
        CreateFileA(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
        identity->volume = info.dwVolumeSerialNumber;
        identity->file =
            static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
        identity->known = true;
    }
    CloseHandle(handle);
}

bool list_directory(const std::string &directory, DirectoryListing *listing)
{
    listing->entries.clear();
    std::string pattern = directory + "*.*";
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        // The directory bit is all the walk asks of an entry; links and
        // junctions to directories carry it too.
        EntryKind kind =
            (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kEntryDirectory : kEntryPlain;
        listing->entries.push_back(DirectoryEntry{name, kind});
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    identify(directory, &listing->identity);
    return true;
}
