// The platform layer on POSIX systems: opendir/readdir order, '/' separator,
// sources read with read(2).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"

const char kPathSeparator = '/';

// Decides an entry's kind. The type that readdir reports is trusted for plain
// files, directories and special files; a link, or an entry of unknown type,
// is followed with fstatat. A link that leads nowhere counts as a plain file,
// so that the attempt to open it is reported.
static EntryKind entry_kind(int directory_fd, const struct dirent *entry)
{
#ifdef DT_UNKNOWN
    switch (entry->d_type) {
    case DT_REG:
        return kEntryPlain;
    case DT_DIR:
        return kEntryDirectory;
    case DT_LNK:
    case DT_UNKNOWN:
        break;
    default:
        return kEntrySpecial;
    }
#endif
    struct stat info;
    if (fstatat(directory_fd, entry->d_name, &info, 0) != 0)
        return kEntryPlain;
    if (S_ISDIR(info.st_mode))
        return kEntryDirectory;
    if (S_ISREG(info.st_mode))
        return kEntryPlain;
    return kEntrySpecial;
}

bool list_directory(const std::string &directory, DirectoryListing *listing)
{
    listing->entries.clear();
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr)
        return false;
    int fd = dirfd(dir);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        closedir(dir);
        return false;
    }
    listing->identity.volume = static_cast<unsigned long long>(info.st_dev);
    listing->identity.file = static_cast<unsigned long long>(info.st_ino);
    listing->identity.known = true;
    while (const struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        listing->entries.push_back(DirectoryEntry{entry->d_name, entry_kind(fd, entry)});
    }
    closedir(dir);
    return true;
}

bool source_open(const std::string &path, SourceFile *file)
{
    // Without O_NONBLOCK, opening a pipe put in a source's place after its
    // directory was listed would wait for a writer for ever. A regular file
    // reads the same either way, so the flag is left set.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    file->fd = fd;
    file->size = static_cast<unsigned long long>(info.st_size);
    return true;
}

long source_read(SourceFile *file, unsigned char *data, size_t capacity, int *error)
{
    for (;;) {
        ssize_t got = read(file->fd, data, capacity);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
}

void source_close(SourceFile *file)
{
    close(file->fd);
}
