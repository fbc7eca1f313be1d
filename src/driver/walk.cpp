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
long read_source(void *context, unsigned char *data, size_t capacity, std::string *error)
{
    return source_read(static_cast<SourceFile *>(context), data, capacity, error);
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
    if (!source_open(path, &file)) {
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

// Lists the directory whose path *path holds whole, then visits its entries
// in listing order. Only one directory handle is open at a time, however
// deep the tree. A directory that cannot be opened is passed over silently,
// unless it is the `top` of the walk; a listing that fails part way is
// reported and its entries before the failure are still visited. A directory
// entered before, on this descent (a cycle of links) or by another path
// (links that join again), is passed over: its names are stored already.
// Each entry's path is built on *path in place and taken off again, so that
// the walk makes no string per entry.
void walk_directory(std::string *path, bool top, WalkContext *context)
{
    DirectoryListing listing;
    ListStatus status = list_directory(*path, &listing);
    if (status != kListed && (top || status == kListBroken)) {
        say("Cannot read %s: %s\n", path->c_str(), listing.error.c_str());
        context->status = 1;
    }
    const DirectoryIdentity &id = listing.identity;
    if (status == kListUnopened ||
        (id.known && !context->entered.insert({id.volume, id.file}).second))
        return;
    const size_t length = path->size();
    for (const DirectoryEntry &entry : listing.entries) {
        if (entry.name[0] == '.' || (entry.kind != kEntryDirectory && entry.kind != kEntryPlain))
            continue;
        path->append(entry.name);
        if (entry.kind == kEntryDirectory) {
            *path += kPathSeparator;
            walk_directory(path, false, context);
        } else {
            scan_file(*path, context);
        }
        path->resize(length);
    }
}

} // namespace

int walk_tree(const std::string &directory, Collector *collector)
{
    WalkContext context{collector, {}, 0};
    std::string path = directory;
    walk_directory(&path, true, &context);
    return context.status;
}
