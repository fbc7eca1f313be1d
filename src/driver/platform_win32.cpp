// The platform layer on Windows: FindFirstFileA/FindNextFileA order, '\'
// separator, sources read through the C runtime's descriptors.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform.h"

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

bool source_open(const std::string &path, SourceFile *file)
{
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // Only a disk file is read: a name that leads to a device (a serial
    // port, the console) is closed unread.
    LARGE_INTEGER size;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
        CloseHandle(handle);
        return false;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    file->fd = fd;
    file->size = static_cast<unsigned long long>(size.QuadPart);
    return true;
}

long source_read(SourceFile *file, unsigned char *data, size_t capacity, int *error)
{
    const size_t most = 1u << 30;
    int got = _read(file->fd, data, static_cast<unsigned>(capacity < most ? capacity : most));
    if (got < 0)
        *error = errno != 0 ? errno : EIO;
    return got;
}

void source_close(SourceFile *file)
{
    _close(file->fd);
}
