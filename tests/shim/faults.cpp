// Preloaded into the tool by tests: faults that nothing else reaches, each
// set off by a name, so that a test chooses where it strikes.
//
// - The listing of a directory whose path ends with "/broken/" fails after
//   its third entry, readdir giving null with errno EIO, as a failing disk or
//   a stale network handle does.
// - The system has no memory (ENOMEM) for the listing of a directory whose
//   path ends with "/nomem-list/", for opening a file named "nomem-open.tex",
//   and for reading one named "nomem-read.tex".
// - With QUILLMAP_FAULT_KILL=NAME in the environment, the process is killed
//   (SIGKILL) half way through its first write to a file whose name is NAME
//   or begins with "NAME.", as a closed terminal or a power loss would end it.
// - With QUILLMAP_FAULT_WAIT set, every call of the system looks as if the
//   thread had to wait for its answer (getrusage counts one more voluntary
//   switch each time it is asked), as on a cold disk or a network share: the
//   reading ahead starts.
// - With QUILLMAP_FAULT_PLANT set, a pipe is planted under the name of each
//   temporary file of a report just before the tool first creates one, as
//   another user who guessed the name would.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
DIR *broken = nullptr;
int given = 0;

template <typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool ends_with(const char *text, const char *end)
{
    size_t length = strlen(text), end_length = strlen(end);
    return length >= end_length && strcmp(text + length - end_length, end) == 0;
}

// The last part of the path that `fd` was opened with, into `name`.
const char *name_of(int fd, char *name, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, name, size - 1);
    name[length > 0 ? length : 0] = 0;
    const char *slash = strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

template <typename Entry> Entry *next(DIR *dir, const char *name)
{
    if (dir == broken && ++given > 3) {
        errno = EIO;
        return nullptr;
    }
    return real<Entry *(*)(DIR *)>(name)(dir);
}

template <typename Open>
int open_with(const char *function, const char *path, int flags, va_list more)
{
    mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(more, int)) : 0;
    if (ends_with(path, "/nomem-open.tex")) {
        errno = ENOMEM;
        return -1;
    }
    static bool planted = false;
    if ((flags & O_CREAT) != 0 && getenv("QUILLMAP_FAULT_PLANT") != nullptr && !planted &&
        strstr(path, ".quillmap-") != nullptr)
        planted = mkfifo(path, 0666) == 0;
    return real<Open>(function)(path, flags, mode);
}
} // namespace

extern "C" {
DIR *opendir(const char *name)
{
    if (ends_with(name, "/nomem-list/")) {
        errno = ENOMEM;
        return nullptr;
    }
    DIR *dir = real<DIR *(*)(const char *)>("opendir")(name);
    if (dir != nullptr && ends_with(name, "/broken/")) {
        broken = dir;
        given = 0;
    }
    return dir;
}

struct dirent *readdir(DIR *dir)
{
    return next<struct dirent>(dir, "readdir");
}

struct dirent64 *readdir64(DIR *dir)
{
    return next<struct dirent64>(dir, "readdir64");
}

int open(const char *path, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    int fd = open_with<int (*)(const char *, int, ...)>("open", path, flags, more);
    va_end(more);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    int fd = open_with<int (*)(const char *, int, ...)>("open64", path, flags, more);
    va_end(more);
    return fd;
}

int getrusage(int who, struct rusage *usage)
{
    int done = real<int (*)(int, struct rusage *)>("getrusage")(who, usage);
    static long waits = 0;
    if (done == 0 && getenv("QUILLMAP_FAULT_WAIT") != nullptr)
        usage->ru_nvcsw += ++waits;
    return done;
}

ssize_t read(int fd, void *data, size_t count)
{
    char name[4096];
    if (fd > 2 && strcmp(name_of(fd, name, sizeof name), "nomem-read.tex") == 0) {
        errno = ENOMEM;
        return -1;
    }
    return real<ssize_t (*)(int, void *, size_t)>("read")(fd, data, count);
}

ssize_t write(int fd, const void *data, size_t count)
{
    auto real_write = real<ssize_t (*)(int, const void *, size_t)>("write");
    const char *kill = getenv("QUILLMAP_FAULT_KILL");
    char name[4096];
    if (kill != nullptr && fd > 2) {
        const char *file = name_of(fd, name, sizeof name);
        size_t length = strlen(kill);
        if (strncmp(file, kill, length) == 0 && (file[length] == 0 || file[length] == '.')) {
            real_write(fd, data, count / 2);
            raise(SIGKILL);
        }
    }
    return real_write(fd, data, count);
}
}
