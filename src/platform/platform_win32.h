// The Windows platform layer's own calls, beside the interface both platforms
// implement (platform.h): for the program's entry and the Windows tests.
#ifndef QUILLMAP_PLATFORM_WIN32_H
#define QUILLMAP_PLATFORM_WIN32_H

#include <string>
#include <vector>

#include "platform.h"

// WTF-8 (UTF-8, and a surrogate without its pair kept as itself) to UTF-16
// and back, exactly.
std::wstring widen(const std::string &text);
std::string narrow(const std::wstring &wide);

// FindFirstFileW, which lists a directory's first entry into a
// WIN32_FIND_DATAW: a test stands in for it to answer as a file system here
// cannot (the root of an empty FAT volume lists nothing at all).
extern void *(*find_first_file)(const wchar_t *pattern, void *entry);

// The name of the lock that a run in `directory` takes: the same for every
// spelling of one directory. Returns false (the reason in GetLastError())
// when the directory cannot be opened.
bool directory_lock_name(const std::wstring &directory, std::wstring *name);

// The arguments that wmain() is given, in UTF-8.
std::vector<std::string> utf8_arguments(int argc, wchar_t **argv);

// The extended-length form (\\?\C:\... or \\?\UNC\server\share\...) of
// `path`, resolved against `base`: an absolute path, the current directory of
// the drive that a drive-relative `path` names, or else the process's. A
// `path` already in that form is returned as it is. Parts "." and ".." are
// resolved; every other part is kept as it is spelt.
std::wstring extended_length_path(const std::wstring &path, const std::wstring &base);

#endif
