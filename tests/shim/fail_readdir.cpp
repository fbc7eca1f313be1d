// Preloaded into the tool by a test: the listing of a directory whose path
// ends with "/broken/" fails after its third entry, readdir giving null with
// errno EIO, as a failing disk or a stale network handle does.
#include <dirent.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstring>

namespace {
DIR *broken = nullptr;
int given = 0;

template <typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

template <typename Entry> Entry *next(DIR *dir, const char *name)
{
    if (dir == broken && ++given > 3) {
        errno = EIO;
        return nullptr;
    }
    return real<Entry *(*)(DIR *)>(name)(dir);
}
} // namespace

extern "C" {
DIR *opendir(const char *name)
{
    DIR *dir = real<DIR *(*)(const char *)>("opendir")(name);
    size_t length = strlen(name);
    if (dir != nullptr && length >= 8 && strcmp(name + length - 8, "/broken/") == 0) {
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
}
