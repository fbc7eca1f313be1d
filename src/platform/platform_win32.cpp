// The platform layer on Windows: FindFirstFileW/FindNextFileW order, '\'
// separator, sources read through the C runtime's descriptors.
//
// Paths travel through the tool as UTF-8, spelt as the user gave them, and
// become UTF-16 only here, at each call of the system, in extended-length
// form (\\?\C:\...): so a name outside the ANSI code page, a path past 260
// characters, a name ending in a dot or a space, and a name such as "aux.tex"
// or "com1.tex" are each taken as the very file they name.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "open_reports.h"
#include "platform_win32.h"
#include "wtf8.h"

const char kPathSeparator = '\\';

static void *system_find_first_file(const wchar_t *pattern, void *entry)
{
    return FindFirstFileW(pattern, static_cast<WIN32_FIND_DATAW *>(entry));
}

void *(*find_first_file)(const wchar_t *pattern, void *entry) = system_find_first_file;

// Paths travel as WTF-8 (UTF-8, with a surrogate that has no pair kept as
// itself), so that every name the system gives comes back to it exactly.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

std::wstring widen(const std::string &text)
{
    std::u16string units = utf16_from_wtf8(text);
    return std::wstring(units.begin(), units.end());
}

std::string narrow(const std::wstring &wide)
{
    return wtf8_from_utf16(reinterpret_cast<const char16_t *>(wide.data()), wide.size());
}

static bool is_separator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The length of the part of an absolute path that ".." cannot climb above:
// "C:\" or "\\server\share\".
static size_t root_length(const std::wstring &path)
{
    if (path.size() >= 2 && path[1] == L':')
        return 3;
    size_t at = 2;
    for (int part = 0; part < 2 && at < path.size(); ++part) {
        while (at < path.size() && !is_separator(path[at]))
            ++at;
        ++at;
    }
    return at < path.size() ? at : path.size();
}

std::wstring extended_length_path(const std::wstring &path, const std::wstring &base)
{
    const std::wstring prefix = L"\\\\?\\";
    if (path.compare(0, prefix.size(), prefix) == 0)
        return path;
    // The device namespace (\\.\ or //./) and the extended-length prefix spelt
    // with slashes (//?/): what follows names an absolute path. A drive's or a
    // share's path goes on in extended-length form; anything else (a pipe, a
    // device) stays in the device namespace.
    if (path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) &&
        (path[2] == L'.' || path[2] == L'?') && is_separator(path[3])) {
        std::wstring rest = path.substr(4);
        if (rest.size() >= 2 && rest[1] == L':' && (rest.size() == 2 || is_separator(rest[2])))
            return extended_length_path(rest.size() == 2 ? rest + L'\\' : rest, base);
        if (rest.size() >= 4 && _wcsnicmp(rest.c_str(), L"UNC", 3) == 0 && is_separator(rest[3]))
            return extended_length_path(L"\\\\" + rest.substr(4), base);
        for (wchar_t &c : rest)
            if (c == L'/')
                c = L'\\';
        return L"\\\\.\\" + rest;
    }
    bool unc = path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
    bool drive = path.size() >= 2 && path[1] == L':';
    std::wstring absolute;
    if (unc || (drive && path.size() >= 3 && is_separator(path[2]))) {
        absolute = path;
    } else {
        // Relative to the base, which is itself absolute; a drive-relative
        // path's base is that drive's current directory.
        std::wstring from = base;
        if (from.compare(0, prefix.size(), prefix) == 0)
            from = from.compare(4, 4, L"UNC\\") == 0 ? L"\\\\" + from.substr(8) : from.substr(4);
        if (!path.empty() && is_separator(path[0]))
            absolute = from.substr(0, root_length(from)) + path;
        else
            absolute = from + L'\\' + path.substr(drive ? 2 : 0);
    }
    // Rebuild it from its parts: '/' becomes '\', empty parts and "." go,
    // ".." takes away the part before it (never the root), and every other
    // part, "sect." and "name " among them, stays as it is spelt.
    size_t root = root_length(absolute);
    std::wstring result = absolute.substr(0, root);
    for (wchar_t &c : result)
        if (c == L'/')
            c = L'\\';
    if (result.back() != L'\\')
        result += L'\\';
    size_t kept = result.size();
    for (size_t at = root; at < absolute.size();) {
        size_t end = at;
        while (end < absolute.size() && !is_separator(absolute[end]))
            ++end;
        std::wstring part = absolute.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == L".")
            continue;
        if (part == L"..") {
            if (result.size() > kept) {
                result.pop_back();
                result.erase(result.rfind(L'\\') + 1);
            }
            continue;
        }
        result += part + L'\\';
    }
    if (result.size() > kept)
        result.pop_back();
    bool unc_result = is_separator(absolute[0]) && is_separator(absolute[1]);
    return unc_result ? prefix + L"UNC\\" + result.substr(2) : prefix + result;
}

// The longest path the system's calls take, in UTF-16 units, with its end.
const DWORD kLongestPath = 32767;

// The extended-length form of `path`, resolved against the current directory
// (of its drive, for a drive-relative path).
static std::wstring resolved_path(const std::string &path)
{
    std::wstring wide = widen(path);
    std::wstring base(kLongestPath, L'\0');
    DWORD length;
    if (wide.size() >= 2 && wide[1] == L':' && (wide.size() == 2 || !is_separator(wide[2])))
        length = GetFullPathNameW(wide.substr(0, 2).c_str(), kLongestPath, &base[0], nullptr);
    else
        length = GetCurrentDirectoryW(kLongestPath, &base[0]);
    base.resize(length < kLongestPath ? length : 0);
    return extended_length_path(wide, base);
}

// The extended-length form of a path of the walk. Nearly every path the
// walk asks for is a directory's path and one name more: the form of the
// last such directory is kept (one for each thread), and the path's is built
// on it by appending the name. So a path is resolved, and the current
// directory asked for, about once per directory walked, not once per entry.
static std::wstring system_path(const std::string &path)
{
    thread_local std::string directory; // a path ending with a separator
    thread_local std::wstring form;     // its extended-length form, ending with '\\'
    auto is_separator_byte = [](char c) { return c == '\\' || c == '/'; };
    bool ends_with_separator = !path.empty() && is_separator_byte(path.back());
    size_t name_end = path.size() - (ends_with_separator ? 1 : 0);
    size_t slash = name_end == 0 ? std::string::npos : path.find_last_of("\\/", name_end - 1);
    size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    std::string name = path.substr(name_start, name_end - name_start);
    if (name_start == 0 || name.empty() || name == "." || name == "..") {
        std::wstring resolved = resolved_path(path);
        if (ends_with_separator) {
            directory = path;
            form = resolved.back() == L'\\' ? resolved : resolved + L'\\';
        }
        return resolved;
    }
    if (directory.size() != name_start || path.compare(0, name_start, directory) != 0) {
        directory = path.substr(0, name_start);
        form = resolved_path(directory);
        if (form.back() != L'\\')
            form += L'\\';
    }
    std::wstring entry = form + widen(name);
    if (ends_with_separator) {
        directory = path;
        form = entry + L'\\';
    }
    return entry;
}

// The system's text for an error, in UTF-8, without its line end.
std::string error_text(int error)
{
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? text : L"unknown error", text != nullptr ? length : 13);
    LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' '))
        wide.pop_back();
    return narrow(wide);
}

// True for the errors by which the system says it has no memory.
bool error_is_out_of_memory(int error)
{
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY;
}

std::vector<std::string> utf8_arguments(int argc, wchar_t **argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(narrow(argv[i]));
    return arguments;
}

void platform_start() {}

std::string directory_path(const std::string &argument)
{
    std::string directory = argument.empty() ? "." : argument;
    // As every Win32 program's paths are (GetFullPathNameW): dots and spaces
    // that end the last part go ("D:\texs." and "D:\texs " are D:\texs),
    // but for a part of dots alone ("." or ".."), and not in an
    // extended-length path, which the system takes as it is spelt.
    bool literal = directory.size() >= 4 && is_separator(directory[0]) &&
                   is_separator(directory[1]) && directory[2] == '?' && is_separator(directory[3]);
    size_t part = directory.find_last_of("\\/:") + 1; // npos + 1 == 0
    size_t end = directory.find_last_not_of(". ");
    if (!literal && end != std::string::npos && end >= part &&
        directory.find_first_not_of('.', part) != std::string::npos)
        directory.erase(end + 1);
    bool bare_drive = directory.size() == 2 && directory[1] == ':';
    if (directory.back() != kPathSeparator && directory.back() != '/' && !bare_drive)
        directory += kPathSeparator;
    return directory;
}

// Identifies the directory by volume serial number and file index, following
// a link or junction to the directory it leads to. Leaves the identity
// unknown when the directory cannot be opened for it.
static void identify(const std::wstring &directory, DirectoryIdentity *identity)
{
    *identity = DirectoryIdentity{0, 0, false};
    HANDLE handle =
        CreateFileW(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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

ListStatus list_directory(const std::string &directory, DirectoryListing *listing)
{
    listing->entries.clear();
    std::wstring path = system_path(directory);
    WIN32_FIND_DATAW entry;
    HANDLE find = static_cast<HANDLE>(
        find_first_file((path + (path.back() == L'\\' ? L"*" : L"\\*")).c_str(), &entry));
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // The root of an empty FAT or exFAT volume lists nothing at all, not
        // even "." and "..": a directory that is there is empty.
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            identify(path, &listing->identity);
            return kListed;
        }
        listing->error = static_cast<int>(error);
        return error_is_out_of_memory(listing->error) ? kListNoMemory : kListUnopened;
    }
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        // The directory bit is all the walk asks of an entry; links and
        // junctions to directories carry it too.
        EntryKind kind =
            (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kEntryDirectory : kEntryPlain;
        listing->entries.push_back(DirectoryEntry{narrow(name), kind});
    } while (FindNextFileW(find, &entry));
    ListStatus status = kListed;
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        listing->error = static_cast<int>(error);
        status = error_is_out_of_memory(listing->error) ? kListNoMemory : kListBroken;
    }
    FindClose(find);
    identify(path, &listing->identity);
    return status;
}

OpenStatus source_open(const std::string &path, SourceFile *file)
{
    HANDLE handle = CreateFileW(system_path(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return error_is_out_of_memory(static_cast<int>(GetLastError())) ? kOpenNoMemory
                                                                        : kOpenRefused;
    // Only a disk file is read: a name that leads to a device (a serial
    // port, the console) is closed unread.
    LARGE_INTEGER size;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
        CloseHandle(handle);
        return kOpenRefused;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return errno == ENOMEM ? kOpenNoMemory : kOpenRefused;
    }
    file->fd = fd;
    file->size = static_cast<unsigned long long>(size.QuadPart);
    return kOpened;
}

long source_read(SourceFile *file, unsigned char *data, size_t capacity, int *error)
{
    const DWORD most = 1u << 30;
    DWORD got = 0;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file->fd));
    if (!ReadFile(handle, data, capacity < most ? static_cast<DWORD>(capacity) : most, &got,
                  nullptr)) {
        *error = static_cast<int>(GetLastError());
        return -1;
    }
    return static_cast<long>(got);
}

void source_close(SourceFile *file)
{
    _close(file->fd);
}

bool thread_start(PlatformThread *thread, size_t stack_bytes)
{
    auto start = [](void *given) -> DWORD {
        PlatformThread *started = static_cast<PlatformThread *>(given);
        started->run(started->argument);
        return 0;
    };
    HANDLE handle = CreateThread(nullptr, stack_bytes, start, thread,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == nullptr)
        return false;
    thread->handle = reinterpret_cast<unsigned long long>(handle);
    return true;
}

void thread_join(PlatformThread *thread)
{
    HANDLE handle = reinterpret_cast<HANDLE>(thread->handle);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}

WaitMark wait_mark()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return WaitMark{now.QuadPart};
}

bool waited_since(const WaitMark &mark)
{
    // Windows counts no waits of a thread that a program may read: an answer
    // that took over a millisecond came from the disk or the network.
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (now.QuadPart - mark.value) * 1000 > frequency.QuadPart;
}

int files_available()
{
    // The C runtime's descriptors (sources are read through them) are many
    // thousands; handles have no limit of their own.
    return 2048;
}

bool message_write(const char *text, size_t length)
{
    std::wstring wide = widen(std::string(text, length));
    HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode, written = 0;
    if (GetConsoleMode(stream, &mode)) {
        // A console shows every character, whatever its code page.
        wide.insert(wide.size() - 1, 1, L'\r');
        return WriteConsoleW(stream, wide.data(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) &&
               written == wide.size();
    }
    // Redirected: the bytes of the ANSI code page, '?' for a character it
    // cannot hold; the stream turns the line feed into CR LF.
    UINT page = GetACP();
    DWORD exact = page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS; // no look-alikes
    const char *missing = page == CP_UTF8 ? nullptr : "?";
    int size = WideCharToMultiByte(page, exact, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, missing, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(page, exact, wide.data(), static_cast<int>(wide.size()), &bytes[0], size,
                        missing, nullptr);
    return fwrite(bytes.data(), 1, bytes.size(), stderr) == bytes.size() && fflush(stderr) == 0;
}

namespace {

// An errno value for a Win32 error.
int errno_of(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

} // namespace

namespace {

// The final path of what `path` leads to, through links and junctions; `path`
// itself when it cannot be opened.
std::wstring final_path(const std::wstring &path)
{
    HANDLE handle =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return path;
    std::wstring final(kLongestPath, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &final[0], kLongestPath, FILE_NAME_NORMALIZED);
    CloseHandle(handle);
    return length > 0 && length < kLongestPath ? final.substr(0, length) : path;
}

// The extended-length path of the directory that `path` lies in, with its
// separator, and the name in it.
void split_path(const std::wstring &path, std::wstring *directory, std::wstring *name)
{
    size_t slash = path.rfind(L'\\');
    *directory = path.substr(0, slash + 1);
    *name = path.substr(slash + 1);
}

// Makes a temporary file for `target` that no one else has: a new name
// (CREATE_NEW), opened without leave to delete it, so that another run's
// clean-up (report_leftovers_remove) cannot remove it while it is open.
// Returns the handle, or INVALID_HANDLE_VALUE with the error in
// GetLastError().
HANDLE make_temporary(const std::string &target, std::string *temporary)
{
    static unsigned long long seed =
        GetTickCount64() * 0x9e3779b97f4a7c15ull ^ GetCurrentProcessId();
    for (int tries = 0; tries < 100; ++tries) {
        *temporary = target + kTemporaryMark;
        for (int i = 0; i < 8; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            *temporary += "abcdefghijklmnopqrstuvwxyz0123456789"[(seed >> 33) % 36];
        }
        HANDLE handle = CreateFileW(system_path(*temporary).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return handle;
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

int report_stream_open(const char *name, ReportStream *stream)
{
    *stream = ReportStream{-1, false, false, name, {}, false, 0, 0};
    // A report that is a link (a symbolic link or a junction's file) is
    // replaced where the link leads.
    std::wstring wide = system_path(name);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return EACCES; // as the system answers for a directory
    std::wstring final = final_path(wide);
    if (final != wide) {
        stream->target = narrow(final);
        attributes = GetFileAttributesW(final.c_str());
    }
    // A read-only report is left as it is, as Windows leaves it (Wine would
    // replace it).
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return EACCES;
    HANDLE handle = make_temporary(stream->target, &stream->temporary);
    if (handle == INVALID_HANDLE_VALUE) {
        // No file can be made beside the report (its folder may not be
        // written): a report that may itself be written is written in place,
        // shared with no other writer.
        int error = errno_of(GetLastError());
        stream->temporary.clear();
        handle = CreateFileW(system_path(stream->target).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return error;
        stream->in_place = true;
    } else if (attributes != INVALID_FILE_ATTRIBUTES) {
        // The new report keeps the old one's attributes (hidden, not
        // indexed).
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes =
            (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED)) |
            FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        if (!stream->temporary.empty())
            DeleteFileW(system_path(stream->temporary).c_str());
        return ENOMEM;
    }
    stream->fd = fd;
    if (!stream->in_place)
        note_open_report(stream, true);
    return 0;
}

int report_stream_write(ReportStream *stream, const char *data, size_t length)
{
    if (stream->in_place && !stream->started) {
        stream->started = true; // emptied as its turn comes
        if (_chsize_s(stream->fd, 0) != 0)
            return errno;
    }
    while (length > 0) {
        unsigned chunk = static_cast<unsigned>(length < (1u << 30) ? length : 1u << 30);
        int put = _write(stream->fd, data, chunk);
        if (put <= 0)
            return put < 0 ? errno : EIO;
        data += put;
        length -= static_cast<size_t>(put);
    }
    return 0;
}

int report_stream_finish(ReportStream *stream)
{
    if (!stream->in_place)
        return 0;
    int error = report_stream_write(stream, "", 0); // an empty report is emptied too
    if (_close(stream->fd) != 0 && error == 0)
        error = errno;
    stream->fd = -1;
    return error;
}

int report_stream_close(ReportStream *stream, bool keep)
{
    if (stream->fd < 0)
        return 0;
    int error = 0;
    if (_close(stream->fd) != 0 && keep)
        error = errno;
    stream->fd = -1;
    if (stream->temporary.empty())
        return error;
    std::wstring temporary = system_path(stream->temporary);
    if (keep && error == 0 &&
        !MoveFileExW(temporary.c_str(), system_path(stream->target).c_str(),
                     MOVEFILE_REPLACE_EXISTING))
        error = errno_of(GetLastError());
    if (!keep || error != 0)
        DeleteFileW(temporary.c_str());
    note_open_report(stream, false);
    return error;
}

void report_leftovers_remove(const char *const *names, int count)
{
    // A temporary file of a live run is open without leave to delete it: only
    // the leftovers of runs that have ended go.
    for (int i = 0; i < count; ++i) {
        std::wstring wide = final_path(system_path(names[i]));
        std::wstring directory, name;
        split_path(wide, &directory, &name);
        WIN32_FIND_DATAW entry;
        HANDLE find =
            FindFirstFileW((directory + name + widen(kTemporaryMark) + L"*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((directory + entry.cFileName).c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
}

bool directory_lock_name(const std::wstring &directory, std::wstring *name)
{
    // The volume's serial number and the directory's file index name it
    // however it is reached: through a link or a junction, a drive mapped
    // with subst or to a share, a short name or an extended-length spelling.
    HANDLE handle =
        CreateFileW(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (!known)
        return false;
    wchar_t text[64];
    swprintf(text, 64, L"Global\\quillmap-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
             info.nFileIndexHigh, info.nFileIndexLow);
    *name = text;
    return true;
}

DirectoryLock lock_working_directory(bool wait, int *error)
{
    // A mutex named after the working directory itself, held until the
    // process ends.
    static HANDLE mutex = nullptr;
    if (mutex == nullptr) {
        std::wstring name;
        if (!directory_lock_name(L".", &name)) {
            *error = static_cast<int>(GetLastError());
            return kLockUnavailable;
        }
        mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        if (mutex == nullptr)
            mutex = CreateMutexW(nullptr, FALSE, name.c_str() + 7); // without "Global\"
        if (mutex == nullptr) {
            *error = static_cast<int>(GetLastError());
            return kLockUnavailable;
        }
    }
    switch (WaitForSingleObject(mutex, wait ? INFINITE : 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return kLockHeld;
    case WAIT_TIMEOUT:
        return kLockBusy;
    default:
        *error = static_cast<int>(GetLastError());
        return kLockUnavailable;
    }
}

void unlock_working_directory() {}
