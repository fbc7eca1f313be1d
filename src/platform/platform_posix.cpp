// The platform layer on POSIX systems: opendir/readdir order, '/' separator,
// sources read with read(2).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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

#include "open_reports.h"
#include "platform.h"

const char kPathSeparator = '/';

void platform_start()
{
    // A write to a closed progress stream then fails with EPIPE, which the
    // messages handle, instead of ending the run part way.
    signal(SIGPIPE, SIG_IGN);
    // Likewise a report that would pass the file-size limit (ulimit -f): the
    // write fails with EFBIG, and the report is said to have failed, where
    // the signal would end the run with the reports cut.
    signal(SIGXFSZ, SIG_IGN);
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
        int error = errno;
        listing->error = strerror(error);
        if (dir != nullptr)
            closedir(dir);
        return error == ENOMEM ? kListNoMemory : kListUnopened;
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
    return error == ENOMEM ? kListNoMemory : kListBroken;
}

OpenStatus source_open(const std::string &path, SourceFile *file)
{
    // Without O_NONBLOCK, opening a pipe put in a source's place after its
    // directory was listed would wait for a writer for ever. A regular file
    // reads the same either way, so the flag is left set.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOMEM ? kOpenNoMemory : kOpenRefused;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        int error = errno;
        close(fd);
        return error == ENOMEM ? kOpenNoMemory : kOpenRefused;
    }
    file->fd = fd;
    file->size = static_cast<unsigned long long>(info.st_size);
    return kOpened;
}

long source_read(SourceFile *file, unsigned char *data, size_t capacity, std::string *error)
{
    for (;;) {
        ssize_t got = read(file->fd, data, capacity);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno == ENOMEM)
            return kReadNoMemory;
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
    // Written with write(2) rather than through the stream, so that a
    // standard error that is a full non-blocking pipe is waited on until its
    // reader makes room: only a reader that has gone (EPIPE) or a stream that
    // is not there loses the message.
    while (length > 0) {
        ssize_t put = write(STDERR_FILENO, text, length);
        if (put > 0) {
            text += put;
            length -= static_cast<size_t>(put);
        } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd writable = {STDERR_FILENO, POLLOUT, 0};
            poll(&writable, 1, -1);
        } else if (put == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

namespace {

// Follows the links in `path`'s place to the file they lead to, which may not
// exist. Returns 0, or an errno value.
int follow_links(std::string *path)
{
    for (int hops = 0;; ++hops) {
        struct stat info;
        if (lstat(path->c_str(), &info) != 0)
            return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(info.st_mode))
            return 0;
        if (hops == 40)
            return ELOOP;
        std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        ssize_t length = readlink(path->c_str(), &link[0], link.size());
        if (length < 0)
            return errno;
        if (static_cast<size_t>(length) == link.size())
            return ENAMETOOLONG; // it changed under us
        link.resize(static_cast<size_t>(length));
        size_t slash = path->rfind('/');
        if (link[0] == '/' || slash == std::string::npos)
            *path = link;
        else
            *path = path->substr(0, slash + 1) + link;
    }
}

} // namespace

int report_stream_open(const char *name, ReportStream *stream)
{
    stream->fd = -1;
    stream->target = name;
    stream->temporary.clear();
    // A report that is a link is replaced where the link leads: people link
    // the reports into an editor's folder.
    if (int error = follow_links(&stream->target))
        return error;
    struct stat info;
    bool exists = stat(stream->target.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return EISDIR;
    if (exists && !S_ISREG(info.st_mode)) {
        // A pipe or a device is written in place, opened without waiting so
        // that a pipe with no reader fails at once (ENXIO); then made
        // blocking again for the writes.
        int fd = open(stream->target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno;
        if (fcntl(fd, F_SETFL, 0) != 0) {
            int error = errno;
            close(fd);
            return error;
        }
        stream->fd = fd;
        return 0;
    }
    stream->temporary = report_temporary_name(stream->target);
    int fd = open(stream->temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                  0666);
    if (fd < 0)
        return errno;
    stream->fd = fd;
    note_open_report(stream, true);
    return 0;
}

int report_stream_write(ReportStream *stream, const char *data, size_t length)
{
    while (length > 0) {
        ssize_t put = write(stream->fd, data, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : EIO;
        data += put;
        length -= static_cast<size_t>(put);
    }
    return 0;
}

int report_stream_close(ReportStream *stream, bool keep)
{
    // No fdatasync before the rename: the reports are megabytes, and the
    // flushes cost tens of milliseconds of a run of a fifth of a second. File
    // systems that order a rename over a file after the new file's data
    // (ext4 by default, btrfs) keep the old report or the new one whole even
    // through a power loss.
    int error = 0;
    if (close(stream->fd) != 0 && keep)
        error = errno;
    stream->fd = -1;
    if (stream->temporary.empty())
        return error;
    if (keep && error == 0 && rename(stream->temporary.c_str(), stream->target.c_str()) != 0)
        error = errno;
    if (!keep || error != 0)
        unlink(stream->temporary.c_str());
    note_open_report(stream, false);
    return error;
}

namespace {

// The lock file that stands for a working directory that cannot be opened
// for reading, while this run holds it; -1 otherwise.
int lock_file = -1;
const char kLockFileName[] = ".quillmap.lock";

// Takes the lock file, creating it. Whoever holds it removes it before it
// lets go, so a file that has lost its name by the time this run holds it
// is the lock no more: the run tries again on the one that has it now.
DirectoryLock lock_by_file(bool wait, std::string *error)
{
    for (;;) {
        int fd = open(kLockFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            *error = strerror(errno);
            return kLockUnavailable;
        }
        int locked;
        while ((locked = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            int reason = errno;
            close(fd);
            if (reason == EWOULDBLOCK && !wait)
                return kLockBusy;
            *error = strerror(reason);
            return kLockUnavailable;
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(kLockFileName, &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            lock_file = fd;
            return kLockHeld;
        }
        close(fd);
    }
}

} // namespace

DirectoryLock lock_working_directory(bool wait, std::string *error)
{
    // An advisory lock on the directory itself: it leaves no file behind and
    // ends with the process. The descriptor is kept open until then.
    static int fd = -1;
    static bool by_file = false;
    if (fd < 0 && !by_file) {
        fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        by_file = fd < 0 && errno == EACCES; // writable perhaps, but not readable
        if (fd < 0 && !by_file) {
            *error = strerror(errno);
            return kLockUnavailable;
        }
    }
    if (by_file)
        return lock_by_file(wait, error);
    while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno == EWOULDBLOCK && !wait)
            return kLockBusy;
        if (errno != EINTR) {
            *error = strerror(errno);
            return kLockUnavailable;
        }
    }
    return kLockHeld;
}

void unlock_working_directory()
{
    if (lock_file >= 0) {
        unlink(kLockFileName);
        close(lock_file);
        lock_file = -1;
    }
}
