// The depth-first directory walk: list, visit, open, say, add, close.
#include <cstdarg>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "../platform/platform.h"
#include "../scan/scan.h"
#include "driver.h"

void say(const char *format, ...)
{
    // Once a message cannot be written (the reader of a pipe has gone), the
    // rest are dropped: the walk and the reports go on.
    static bool silenced = false;
    if (silenced)
        return;
    // Most lines fit the buffer on the stack; a longer one is formatted
    // again into one of its own size.
    char line[1024];
    std::vector<char> longer;
    char *text = line;
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) >= sizeof line) {
        longer.resize(static_cast<size_t>(length) + 1);
        text = longer.data();
        va_start(arguments, format);
        vsnprintf(text, longer.size(), format, arguments);
        va_end(arguments);
    }
    silenced = !message_write(text, static_cast<size_t>(length));
}

namespace {

struct WalkContext {
    Collector *collector;
    std::set<std::pair<unsigned long long, unsigned long long>> entered; // directories walked
    int status; // 1 once a listing failed part way
};

// The pipeline's reader over an open source file.
// The pipeline's reader over an open source file. Memory that the system
// refuses for a read ends the run like memory refused anywhere else.
long read_source(void *context, unsigned char *data, size_t capacity, std::string *error)
{
    long got = source_read(static_cast<SourceFile *>(context), data, capacity, error);
    if (got == kReadNoMemory)
        out_of_memory();
    return got;
}

// Reads one plain file, if its name marks a source, into the pipeline. Says
// "Analyzing PATH." when it is open, "Cannot open PATH. why?" when it cannot
// be, and "Cannot read PATH: REASON" when a read fails (the names before are
// kept).
void scan_file(const std::string &path, WalkContext *context)
{
    if (!is_source_file(path.c_str()))
        return;
    SourceFile file;
    OpenStatus opened = source_open(path, &file);
    if (opened == kOpenNoMemory)
        out_of_memory();
    if (opened != kOpened) {
        say("Cannot open %s. why?\n", path.c_str());
        return;
    }
    say("Analyzing %s.\n", path.c_str());
    std::string error;
    bool read =
        collect_source(context->collector, SourceReader{read_source, &file, file.size}, &error);
    source_close(&file);
    if (!read)
        say("Cannot read %s: %s\n", path.c_str(), error.c_str());
}

// One directory being walked: its listing, the next entry to visit, and the
// length of its path.
struct Level {
    DirectoryListing listing;
    size_t next;
    size_t length;
};

// Lists the directory whose path `path` holds whole and, unless it is to be
// passed over, puts it on the walk's stack. A directory that cannot be opened
// is passed over silently, unless it is the `top` of the walk; a listing that
// fails part way is reported and its entries before the failure are still
// visited. A directory entered before, on this descent (a cycle of links) or
// by another path (links that join again), is passed over: its names are
// stored already.
void enter_directory(const std::string &path, bool top, std::vector<Level> *stack,
                     WalkContext *context)
{
    stack->emplace_back();
    Level &level = stack->back();
    ListStatus status = list_directory(path, &level.listing);
    if (status == kListNoMemory)
        out_of_memory();
    if (status != kListed && (top || status == kListBroken)) {
        // A bare drive ("E:") ends with a colon of its own.
        const char *colon = path.back() == ':' ? "" : ":";
        say("Cannot read %s%s %s\n", path.c_str(), colon, level.listing.error.c_str());
        context->status = 1;
    }
    const DirectoryIdentity &id = level.listing.identity;
    if (status == kListUnopened ||
        (id.known && !context->entered.insert({id.volume, id.file}).second)) {
        stack->pop_back();
        return;
    }
    level.next = 0;
    level.length = path.size();
}

// Walks the tree below *path depth-first: each directory's entries in
// listing order, a subdirectory's whole tree before the entries after it.
// The directories under way are kept on a stack of their own, so that depth
// costs heap, not the thread's stack; each directory's handle is closed once
// it is listed, so only one is open at a time, however deep the tree. Each
// entry's path is built on *path in place, so that the walk makes no string
// per entry.
void walk_directory(std::string *path, WalkContext *context)
{
    std::vector<Level> stack;
    enter_directory(*path, true, &stack, context);
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next == level.listing.entries.size()) {
            stack.pop_back();
            continue;
        }
        const DirectoryEntry &entry = level.listing.entries[level.next++];
        if (entry.name[0] == '.' || (entry.kind != kEntryDirectory && entry.kind != kEntryPlain))
            continue;
        path->resize(level.length);
        path->append(entry.name);
        if (entry.kind == kEntryDirectory) {
            *path += kPathSeparator;
            enter_directory(*path, false, &stack, context); // `level` may move
        } else {
            scan_file(*path, context);
        }
    }
}

} // namespace

int walk_tree(const std::string &directory, Collector *collector)
{
    WalkContext context{collector, {}, 0};
    std::string path = directory;
    walk_directory(&path, &context);
    return context.status;
}
