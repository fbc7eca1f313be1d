// The platform layer on POSIX systems: opendir/readdir order, '/' separator,
// sources read with read(2).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

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
    // Threads share two arenas, not one each: every arena reserves 64 MiB
    // of address space, which a run reading ahead on many threads under an
    // address-space limit (ulimit -v) would run out of.
    mallopt(M_ARENA_MAX, 2);
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
    // Closed however the listing ends: memory refused on an I/O thread
    // throws.
    std::unique_ptr<DIR, int (*)(DIR *)> open_dir(opendir(directory.c_str()), closedir);
    DIR *dir = open_dir.get();
    int fd = dir != nullptr ? dirfd(dir) : -1;
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        listing->error = errno;
        return errno == ENOMEM ? kListNoMemory : kListUnopened;
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
    open_dir.reset();
    if (error == 0)
        return kListed;
    listing->error = error;
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

std::string error_text(int error)
{
    return strerror(error);
}

bool error_is_out_of_memory(int error)
{
    return error == ENOMEM;
}

void source_close(SourceFile *file)
{
    close(file->fd);
}

namespace {

// Writes `length` bytes to standard error, waiting while it is full.
bool write_all_to_error(const char *text, size_t length)
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

} // namespace

bool thread_start(PlatformThread *thread, size_t stack_bytes)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setstacksize(&attributes, std::max<size_t>(stack_bytes, PTHREAD_STACK_MIN));
    auto start = [](void *given) -> void * {
        PlatformThread *started = static_cast<PlatformThread *>(given);
        started->run(started->argument);
        return nullptr;
    };
    pthread_t id;
    int failed = pthread_create(&id, &attributes, start, thread);
    pthread_attr_destroy(&attributes);
    if (failed != 0)
        return false;
    thread->handle = static_cast<unsigned long long>(id);
    return true;
}

void thread_join(PlatformThread *thread)
{
    pthread_join(static_cast<pthread_t>(thread->handle), nullptr);
}

WaitMark wait_mark()
{
    // The thread's voluntary context switches: a call that had to wait for
    // its answer gave up the processor, one that was merely preempted did
    // not.
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return WaitMark{usage.ru_nvcsw};
}

bool waited_since(const WaitMark &mark)
{
    return wait_mark().value != mark.value;
}

int files_available()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > 1 << 20)
        return 1 << 20;
    int open_now = 0;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr)
            ++open_now;
        closedir(fds);
        open_now -= 3; // ".", ".." and the listing's own
    } else {
        // Without /proc: each descriptor below the limit asked in turn.
        for (int fd = 0; fd < static_cast<int>(limit.rlim_cur); ++fd)
            open_now += fcntl(fd, F_GETFD) != -1;
    }
    return std::max(0, static_cast<int>(limit.rlim_cur) - open_now);
}

bool message_write(const char *text, size_t length)
{
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    if (!terminal)
        return write_all_to_error(text, length);
    // On a terminal, control bytes in a name (an escape sequence that would
    // set the title or clear the screen) are shown as '?', the line's end
    // excepted; to a file or a pipe the bytes go out as they are. A piece
    // at a time, without allocating: running out of memory is said here too.
    char shown[256];
    for (size_t done = 0; done < length;) {
        size_t piece = std::min(sizeof shown, length - done);
        for (size_t i = 0; i < piece; ++i) {
            unsigned char byte = static_cast<unsigned char>(text[done + i]);
            bool control = (byte < 0x20 && done + i + 1 < length) || byte == 0x7f;
            shown[i] = control ? '?' : static_cast<char>(byte);
        }
        if (!write_all_to_error(shown, piece))
            return false;
        done += piece;
    }
    return true;
}

namespace {

// True where the kernel refuses to follow the link `link` (lstat's answer)
// found in `directory`: a link in a sticky directory that everyone may write
// (/tmp, a shared folder) is followed only by its owner, or when the
// directory's owner owns it too. So a link another user plants there cannot
// lead a report onto the victim's files.
bool link_refused(const std::string &directory, const struct stat &link)
{
    struct stat info;
    if (stat(directory.c_str(), &info) != 0)
        return true;
    bool shared = (info.st_mode & S_ISVTX) != 0 && (info.st_mode & S_IWOTH) != 0;
    return shared && link.st_uid != geteuid() && link.st_uid != info.st_uid;
}

// The directory part of `path`, ending with '/', or "./" for a bare name.
std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// Follows the links in `path`'s place to the file they lead to, which may not
// exist, as the kernel would (see link_refused). Sets *linked when there was
// a link. Returns 0, kReportLinkRefused, or an errno value.
int follow_links(std::string *path, bool *linked)
{
    *linked = false;
    for (int hops = 0;; ++hops) {
        struct stat info;
        if (lstat(path->c_str(), &info) != 0)
            return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(info.st_mode))
            return 0;
        if (hops == 40)
            return ELOOP;
        std::string directory = directory_of(*path);
        if (link_refused(directory, info))
            return kReportLinkRefused;
        *linked = true;
        std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        ssize_t length = readlink(path->c_str(), &link[0], link.size());
        if (length < 0)
            return errno;
        if (static_cast<size_t>(length) == link.size())
            return ENAMETOOLONG; // it changed under us
        link.resize(static_cast<size_t>(length));
        *path = link[0] == '/' ? link : directory + link;
    }
}

// True when `fd` is the file that `path` names (not a link to it).
bool names_file(int fd, const std::string &path)
{
    struct stat held, named;
    return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Makes a temporary file for `target` that no one else has or can take: a
// new name (O_EXCL: never a file or a link already there), locked for as
// long as it is open, so that another run's clean-up
// (report_leftovers_remove) passes it over. Returns the descriptor, or -1
// with errno set.
int make_temporary(const std::string &target, std::string *temporary)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long long seed =
        static_cast<unsigned long long>(getpid()) * 0x9e3779b97f4a7c15ull ^
        static_cast<unsigned long long>(time(nullptr));
    for (int tries = 0; tries < 100; ++tries) {
        *temporary = target + kTemporaryMark;
        for (int i = 0; i < 8; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            *temporary += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
        }
        int fd =
            open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            flock(fd, LOCK_EX); // new: no one else holds it
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Opens `path` as an ordinary open for writing would, following links as the
// kernel does, without waiting on a pipe with no reader (which fails at
// once, ENXIO); the writes then wait as usual. Returns the descriptor, or -1
// with errno set.
int open_in_place(const std::string &path, int flags)
{
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | flags, 0666);
    if (fd >= 0 && fcntl(fd, F_SETFL, 0) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

namespace {

// A temporary file that replaces a file is sent to the disk a step at a
// time, by the thread that writes it. Renaming a new file over an old one
// makes file systems that delay their writes (ext4, btrfs) write the new
// one out first, so that a crash leaves the old report or the new one
// whole; left to the rename, that writing held up the end of every run
// (about 4 ms for a report of 5 MiB, docs/benchmarks.md). Begun here, it
// overlaps the rest of the report phase, and the rename finds it done. A
// file that replaces none is left for the system to write when it will.
const unsigned long long kFlushStep = 1 << 20;

// Starts the writing to the disk of what was written since the last start,
// once a step has gathered or, with `rest`, whatever has; waits for none of
// it. A file system that cannot start it leaves it to the rename.
void start_flush(ReportStream *stream, bool rest)
{
#ifdef SYNC_FILE_RANGE_WRITE
    unsigned long long pending = stream->written - stream->flushed;
    if (!stream->replaces || (!rest && pending < kFlushStep))
        return;
    sync_file_range(stream->fd, static_cast<off_t>(stream->flushed), static_cast<off_t>(pending),
                    SYNC_FILE_RANGE_WRITE);
    stream->flushed = stream->written;
#else
    (void)stream;
    (void)rest;
#endif
}

} // namespace

int report_stream_open(const char *name, ReportStream *stream)
{
    *stream = ReportStream{-1, false, false, name, {}, false, 0, 0};
    // A report that is a link is replaced where the link leads: people link
    // the reports into an editor's folder.
    bool linked = false;
    if (int error = follow_links(&stream->target, &linked))
        return error;
    struct stat info;
    bool exists = stat(stream->target.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return EISDIR;
    if (exists && !S_ISREG(info.st_mode)) {
        // A pipe or a device, or a link to one, is written in place through
        // the report's own name, so that the kernel's guards on links, pipes
        // and files in shared directories apply as to any program's open.
        stream->target = name;
        stream->in_place = true;
        stream->fd = open_in_place(name, O_CREAT | O_TRUNC);
        return stream->fd < 0 ? errno : 0;
    }
    int fd = make_temporary(stream->target, &stream->temporary);
    if (fd < 0) {
        // No file can be made beside the report (its directory may not be
        // written): a report that may itself be written is written in place.
        int error = errno;
        stream->temporary.clear();
        if (!exists)
            return error;
        stream->in_place = true;
        stream->fd = open_in_place(stream->target, O_NOFOLLOW);
        return stream->fd < 0 ? error : 0;
    }
    stream->replaces = exists;
    if (exists) {
        // The new report keeps the old one's group, where the user may give
        // it, and its permission bits.
        if (fchown(fd, static_cast<uid_t>(-1), info.st_gid) != 0) {
            // Not a member of that group: the file keeps the user's own.
        }
        fchmod(fd, info.st_mode & 0777);
    }
    stream->fd = fd;
    note_open_report(stream, true);
    return 0;
}

int report_stream_write(ReportStream *stream, const char *data, size_t length)
{
    if (stream->in_place && !stream->started) {
        // A regular file written in place is taken from other runs and
        // emptied only now, as its turn comes: a run holds one such lock at a
        // time, so two runs never wait on each other.
        stream->started = true;
        struct stat info;
        if (fstat(stream->fd, &info) == 0 && S_ISREG(info.st_mode) &&
            (flock(stream->fd, LOCK_EX) != 0 || ftruncate(stream->fd, 0) != 0))
            return errno;
    }
    while (length > 0) {
        ssize_t put = write(stream->fd, data, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : EIO;
        data += put;
        length -= static_cast<size_t>(put);
        stream->written += static_cast<unsigned long long>(put);
    }
    start_flush(stream, false);
    return 0;
}

int report_stream_finish(ReportStream *stream)
{
    if (!stream->in_place) {
        start_flush(stream, true);
        return 0;
    }
    int error = report_stream_write(stream, "", 0); // an empty report is emptied too
    if (close(stream->fd) != 0 && error == 0)
        error = errno;
    stream->fd = -1;
    return error;
}

int report_stream_close(ReportStream *stream, bool keep)
{
    // No fdatasync before the rename: the reports are megabytes, and the
    // flushes cost tens of milliseconds of a run of a fifth of a second. File
    // systems that order a rename over a file after the new file's data
    // (ext4 by default, btrfs) keep the old report or the new one whole even
    // through a power loss. The temporary file stays open, and locked, until
    // it has taken the report's place.
    if (stream->fd < 0)
        return 0;
    int error = 0;
    if (!stream->temporary.empty()) {
        if (keep && rename(stream->temporary.c_str(), stream->target.c_str()) != 0)
            error = errno;
        if (!keep || error != 0)
            unlink(stream->temporary.c_str());
        note_open_report(stream, false);
    }
    if (close(stream->fd) != 0 && keep && error == 0)
        error = errno;
    stream->fd = -1;
    return error;
}

void report_leftovers_remove(const char *const *names, int count)
{
    // A leftover is named as make_temporary() names one, beside a report's
    // target, is a regular file of this user's, and no live run holds it.
    for (int i = 0; i < count; ++i) {
        std::string target = names[i];
        bool linked;
        if (follow_links(&target, &linked) != 0)
            continue;
        std::string directory = directory_of(target);
        std::string prefix = target.substr(target.rfind('/') + 1) + kTemporaryMark;
        DIR *dir = opendir(directory.c_str());
        if (dir == nullptr)
            continue;
        while (const struct dirent *entry = readdir(dir)) {
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
                continue;
            std::string path = directory + entry->d_name;
            int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat info;
            if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
                flock(fd, LOCK_EX | LOCK_NB) == 0)
                unlink(path.c_str());
            close(fd);
        }
        closedir(dir);
    }
}

namespace {

// The lock file of the working directory, while this run holds it; -1
// otherwise.
int lock_file = -1;
const char kLockFileName[] = ".quillmap.lock";

// Waits for, or with !wait tries, the exclusive lock on `fd`. Returns 0 or
// an errno value (EWOULDBLOCK: another run holds it).
int take_lock(int fd, bool wait)
{
    while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

// Takes the lock file, creating it. Whoever holds it removes it before it
// lets go, so a file that has lost its name by the time this run holds it
// is the lock no more: the run tries again on the one that has it now.
// Returns 0 or an errno value.
int lock_by_file(bool wait)
{
    for (;;) {
        // Read-only, so that a lock file another user made can be locked too.
        int fd =
            open(kLockFileName, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0)
            return errno;
        struct stat info;
        int error = fstat(fd, &info) != 0 ? errno : !S_ISREG(info.st_mode) ? EINVAL : 0;
        if (error == 0)
            error = take_lock(fd, wait);
        if (error != 0) {
            close(fd);
            return error;
        }
        if (names_file(fd, kLockFileName)) {
            lock_file = fd;
            return 0;
        }
        close(fd);
    }
}

} // namespace

DirectoryLock lock_working_directory(bool wait, int *error)
{
    // Two locks, taken in this order: an advisory lock on the directory
    // itself, where it can be opened for reading, and the lock file, where
    // the directory may be written. So a run that may read the directory
    // and one that may only write it (a directory of mode 0733 and another
    // user) still exclude each other. The directory's descriptor is kept
    // open until the process ends.
    static int fd = -1;
    static bool readable = true;
    if (fd < 0 && readable) {
        fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        readable = fd >= 0;
        if (!readable && errno != EACCES) {
            *error = errno;
            return kLockUnavailable;
        }
    }
    int reason = readable ? take_lock(fd, wait) : 0;
    if (reason == 0 && lock_file < 0) {
        reason = lock_by_file(wait);
        // Where no lock file can be had (the directory may not be written),
        // the directory's own lock is the lock.
        if (reason != 0 && reason != EWOULDBLOCK && readable)
            reason = 0;
    }
    if (reason == EWOULDBLOCK && !wait)
        return kLockBusy;
    if (reason != 0) {
        *error = reason;
        return kLockUnavailable;
    }
    return kLockHeld;
}

void unlock_working_directory()
{
    // The lock file goes first, then its lock; the directory's own lock ends
    // with the process.
    if (lock_file >= 0) {
        unlink(kLockFileName);
        close(lock_file);
        lock_file = -1;
    }
}
