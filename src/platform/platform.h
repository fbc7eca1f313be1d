// The platform layer: everything the run asks of the system beyond the
// standard library.
//
// Each platform provides these in a file of its own (platform_posix.cpp,
// platform_win32.cpp). The rest of the tool sees paths (byte strings, WTF-8 on
// Windows: see wtf8.h), entries, open sources and report streams, never the system's own
// types. Nothing here uses the rest of the tool or prints.
#ifndef QUILLMAP_PLATFORM_H
#define QUILLMAP_PLATFORM_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// The directory separator that paths are built with: '/' on POSIX, '\' on
// Windows.
extern const char kPathSeparator;

// Prepares the process for a run: a progress stream that closes must not end
// it (POSIX ignores SIGPIPE).
void platform_start();

// Turns a command-line argument into the directory path the walk starts
// from: the argument with a separator added unless it ends with one. An empty
// argument stands for the current directory; on Windows a bare drive "X:"
// stays as it is, naming that drive's current directory.
std::string directory_path(const std::string &argument);

// What identifies a directory on its system, so that a directory reached again
// through a link is recognised (device and inode on POSIX, volume serial
// number and file index on Windows). An identity that could not be learnt is
// not `known` and matches nothing.
struct DirectoryIdentity {
    unsigned long long volume;
    unsigned long long file;
    bool known;
};

enum EntryKind {
    kEntryPlain,     // a file, a link to one, or a link that leads nowhere
    kEntryDirectory, // a directory or a link to one
    kEntrySpecial,   // a pipe, socket or device: never opened
};

struct DirectoryEntry {
    std::string name;
    EntryKind kind;
};

enum ListStatus {
    kListed,       // every entry is listed
    kListUnopened, // the directory could not be opened: nothing is listed
    kListBroken,   // the listing failed part way: the entries before are listed
    kListNoMemory, // the system had no memory for it
};

struct DirectoryListing {
    DirectoryIdentity identity;
    std::vector<DirectoryEntry> entries; // in the platform's order, without "." and ".."
    int error;                           // why the listing is not whole: the system's number
};

// Failures are told as a status where there are several outcomes, and the
// system's error number (errno on POSIX, GetLastError() on Windows, but for
// the reports' C-library numbers: see report_error_text()), which the caller
// turns into text where it says it.
std::string error_text(int error);

// True when the system's error number says it had no memory.
bool error_is_out_of_memory(int error);

// Reads the listing of `directory` (a path ending with kPathSeparator, or a
// bare drive) into *listing and closes the directory again, so that no handle
// stays open while its entries are visited. A directory that does not exist,
// is not a directory, has too long a path or refuses access is unopened.
ListStatus list_directory(const std::string &directory, DirectoryListing *listing);

// An open source file.
struct SourceFile {
    int fd;
    unsigned long long size; // its size when opened
};

enum OpenStatus {
    kOpened,
    kOpenRefused,  // it cannot be opened, or is a pipe, socket or device
    kOpenNoMemory, // the system had no memory for it
};

// Opens `path` for reading, without waiting on it, and checks what was
// opened: only a regular (disk) file is kept. Unless it returns kOpened,
// nothing is left open.
OpenStatus source_open(const std::string &path, SourceFile *file);

// Reads up to `capacity` bytes into `data`. Returns the count, 0 at the end of
// the file, or -1 with the system's error number in *error.
long source_read(SourceFile *file, unsigned char *data, size_t capacity, int *error);

void source_close(SourceFile *file);

// A thread: what it runs, set by the caller, and the system's handle.
struct PlatformThread {
    void (*run)(void *);
    void *argument;
    unsigned long long handle;
};

// Starts `thread->run(thread->argument)` on a new thread with a stack of
// `stack_bytes`, allocating nothing; *thread stays where it is until
// thread_join(). Returns false, with no thread started, when none can be had.
bool thread_start(PlatformThread *thread, size_t stack_bytes);

// Waits for the thread to end.
void thread_join(PlatformThread *thread);

// A mark taken before a call of the system, to tell afterwards whether the
// calling thread had to wait for the answer (it blocked: the data was not at
// hand), not merely ran late on a busy machine.
struct WaitMark {
    long long value;
};

WaitMark wait_mark();
bool waited_since(const WaitMark &mark);

// How many more files this process may open: its limit less those it has
// open; a large number where there is no limit to speak of.
int files_available();

// Writes one line of progress, the `length` bytes of `text` ending with
// '\n', to standard error in one piece, as the console shows it best. A
// stream that is full is waited on, however long its reader takes. Returns
// false when the line cannot be written: the reader has gone, or there is
// no stream.
bool message_write(const char *text, size_t length);

// A report being written. Where the report, or the file that the links in
// its place lead to, is a regular file or absent, the bytes go to a
// temporary file beside it, made for this run alone, which takes the
// report's place whole when report_stream_close() is called: at every moment
// the report is either the old one or the new one, whole. A pipe or a device
// (or a link to one), and a report beside which no file can be made but
// which may itself be written, are written in place. Where the system can,
// a temporary file that is to replace a file is sent to the disk as it is
// written (see report_stream_write()).
struct ReportStream {
    int fd;                     // the open file, or -1
    bool in_place;              // written where it stands, not replaced
    bool started;               // in place: taken and emptied for this run's bytes
    std::string target;         // the file that the report's bytes are for
    std::string temporary;      // the temporary file beside it, or empty
    bool replaces;              // the temporary file is to take an existing file's place
    unsigned long long written; // bytes written
    unsigned long long flushed; // of those, bytes whose writing to the disk has begun
};

// What the names of a report's temporary files begin with, after the name of
// the file they are for.
extern const char kTemporaryMark[];

// The reason given when a report is a link that the system would not follow
// for this user: in a sticky directory that everyone may write, a link owned
// by neither the user nor the directory's owner.
enum { kReportLinkRefused = 0x10000 };

// The text for a report's failure: an errno value or kReportLinkRefused.
const char *report_error_text(int error);

// Opens the report `name`; its bytes are written as they are. A link is
// followed only where the system would follow it. Returns 0, or
// kReportLinkRefused or an errno value with nothing left open or made.
int report_stream_open(const char *name, ReportStream *stream);

// Writes `length` bytes. A regular file written in place is locked against
// other runs and emptied at its first write. A temporary file that replaces
// a file is sent to the disk a step at a time as it grows, where the system
// can start that without waiting for it. Returns 0 or an errno value.
int report_stream_write(ReportStream *stream, const char *data, size_t length);

// Ends the writing: a report written in place is emptied if nothing was
// written, closed and so done; a temporary file that replaces a file has
// the rest of it sent to the disk, and waits for report_stream_close().
// Returns 0 or an errno value.
int report_stream_finish(ReportStream *stream);

// Ends the report. With `keep` the temporary file takes the report's place;
// without, or when that fails, it is removed and the report is left as it
// was. Returns 0 or an errno value.
int report_stream_close(ReportStream *stream, bool keep);

// Removes the temporary files of the reports still open, for a run that is
// ending before them. Allocates nothing.
void report_streams_abandon();

// Removes what earlier runs that were killed left beside the `count` reports
// `names` (or where their links lead): this user's temporary files that no
// live run holds.
void report_leftovers_remove(const char *const *names, int count);

enum DirectoryLock {
    kLockHeld,        // this run now holds the working directory
    kLockBusy,        // another run holds it
    kLockUnavailable, // it cannot be locked (the reason in *error)
};

// Takes the working directory for this run, so that two runs never write
// the reports there at once. With `wait`, waits while another run holds it.
// On POSIX two locks are taken: the directory's own, where it may be read,
// and a lock file in it, where it may be written, so that users who may only
// read it or only write it still exclude each other.
DirectoryLock lock_working_directory(bool wait, int *error);

// Removes the lock file, if this run took one, and lets go of it: for a run
// that ends, before the process does. The lock on the directory itself (or
// on Windows, the named mutex) ends with the process.
void unlock_working_directory();

#endif
