// The platform layer on POSIX systems: opendir/readdir order, '/' separator,
// sources read with read(2).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdio>
#include <cstring>

#include "platform.h"

const char kPathSeparator = '/';

void platform_start()
{
    // A write to a closed progress stream then fails with EPIPE, which the
    // messages handle, instead of ending the run part way.
    signal(SIGPIPE, SIG_IGN);
#ifdef __GLIBC__
    // The run's large blocks (the name index as it doubles, the batches,
    // the sort's room) are taken from the heap and kept there once freed,
    // not mapped and unmapped one by one: memory freed is taken again
    // without a fresh page fault for every page.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
}

std::string directory_path(const std::string &argument)
{
    std::string directory = argument.empty() ? "." : argument;
    if (directory.back() != kPathSeparator)
        directory += kPathSeparator;
    return directory;
}

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

ListStatus list_directory(const std::string &directory, DirectoryListing *listing)
{
    listing->entries.clear();
    DIR *dir = opendir(directory.c_str());
    int fd = dir != nullptr ? dirfd(dir) : -1;
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        listing->error = strerror(errno);
        if (dir != nullptr)
            closedir(dir);
        return kListUnopened;
    }
    listing->identity = DirectoryIdentity{static_cast<unsigned long long>(info.st_dev),
                                          static_cast<unsigned long long>(info.st_ino), true};
    // readdir gives null both at the end and on a failure; only errno tells.
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(dir);
        if (entry == nullptr)
            break;
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        listing->entries.push_back(DirectoryEntry{entry->d_name, entry_kind(fd, entry)});
    }
    int error = errno;
    closedir(dir);
    if (error == 0)
        return kListed;
    listing->error = strerror(error);
    return kListBroken;
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

long source_read(SourceFile *file, unsigned char *data, size_t capacity, std::string *error)
{
    for (;;) {
        ssize_t got = read(file->fd, data, capacity);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno != EINTR) {
            *error = strerror(errno);
            return -1;
        }
    }
}

void source_close(SourceFile *file)
{
    close(file->fd);
}

bool message_write(const char *text, size_t length)
{
    return fwrite(text, 1, length, stderr) == length;
}

FILE *report_file_open(const char *name, bool append)
{
    // Opened without waiting, so that a pipe with no reader in a report's
    // place fails at once (ENXIO); then made blocking again for the writes.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd = open(name, flags | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    FILE *stream = nullptr;
    if (fcntl(fd, F_SETFL, flags & O_APPEND) == 0)
        stream = fdopen(fd, append ? "ab" : "wb");
    if (stream == nullptr) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

DirectoryLock lock_working_directory(bool wait)
{
    // An advisory lock on the directory itself: it leaves no file behind and
    // ends with the process. The descriptor is kept open until then.
    static int fd = -1;
    if (fd < 0)
        fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return kLockUnavailable;
    while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno == EWOULDBLOCK && !wait)
            return kLockBusy;
        if (errno != EINTR)
            return kLockUnavailable;
    }
    return kLockHeld;
}
