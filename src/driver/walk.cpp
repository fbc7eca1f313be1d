// The depth-first directory walk, and the reading of each source it finds.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "../scan/scan.h"
#include "driver.h"
#include "platform.h"

const char *const SourceExtensionTable[] = {"tex", "ltx", "sty", "def", nullptr};

int is_source_file(const char *path)
{
    const char *dot = strrchr(path, '.');
    if (dot == nullptr)
        return 0;
    for (const char *const *extension = SourceExtensionTable; *extension != nullptr; ++extension)
        if (strcmp(dot + 1, *extension) == 0)
            return 1;
    return 0;
}

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
    NameSink *sink;
    NameBatch *batch; // the sink's batch being filled
    std::set<std::pair<unsigned long long, unsigned long long>> entered; // directories walked
    std::vector<unsigned char> block;    // the read buffer, shared by every file, and a slack
    int status;                          // 1 once a listing failed part way
    std::unique_ptr<RecentNames> recent; // names this thread handed on lately
};

// Reads the next bytes of `file` into the `room` bytes at `at`, counting
// them in *total, and returns how many came. *ended says that no more follow:
// the read gave nothing or failed (its reason kept in *error), or it was
// short and brought the total to the size the file had when opened, which
// ends the input without another read (most sources fit in one block, so
// this saves a call per file).
size_t read_on(SourceFile *file, unsigned char *at, size_t room, unsigned long long *total,
               std::string *error, bool *ended)
{
    long got = source_read(file, at, room, error);
    size_t count = got > 0 ? static_cast<size_t>(got) : 0;
    *total += count;
    *ended = count == 0 || (count < room && *total == file->size);
    return count;
}

// Reads the next block of `file` into the buffer.
void refill(SourceFile *file, SourceBuffer *buffer, unsigned long long *total, std::string *error)
{
    bool ended;
    size_t count = read_on(file, buffer->data, buffer->capacity, total, error, &ended);
    source_buffer_refill(buffer, count, ended);
}

void scan_source(SourceFile *file, WalkContext *context, std::string *error);
void hand_over(SourceFile *file, WalkContext *context, const Scanner *resume,
               unsigned long long total, std::string *error);

// Scans one plain file, if its name marks a source, into the sink. Says
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
    scan_source(&file, context, &error);
    source_close(&file);
    if (!error.empty())
        say("Cannot read %s: %s\n", path.c_str(), error.c_str());
}

// Scans a source on this thread, appending its names to the sink's batch,
// until the store thread has little to do and what is left of the source is
// small: then the rest, from its start or from where this thread's scanner
// stands, is handed over to be scanned there. So the two threads share the
// scanning as the work comes. A large rest is kept here: handed over whole,
// it would keep the store thread busy alone while this one waited for room
// in the ring (four batches still leave room for the walk to go on).
void scan_source(SourceFile *file, WalkContext *context, std::string *error)
{
    const unsigned long long small = 4 * kNameBatchCapacity;
    SourceBuffer buffer;
    source_buffer_init(&buffer, context->block.data(), kDefaultBufferSize);
    Scanner scanner;
    scanner_init(&scanner);
    unsigned long long total = 0;
    for (;;) {
        ScanToken token = scanner_next(&scanner, &buffer);
        if (token == kTokenEnd)
            break;
        if (token == kTokenMore) {
            if ((total >= file->size || file->size - total <= small) &&
                name_sink_idle(context->sink)) {
                hand_over(file, context, total == 0 ? nullptr : &scanner, total, error);
                return;
            }
            refill(file, &buffer, &total, error);
            continue;
        }
        NameKind kind = token == kTokenCommand ? kKindCommand : kKindEnvironment;
        if (recent_name_seen(context->recent.get(), kind, scanner.name, scanner.name_length))
            continue;
        if (!name_batch_has_room(context->batch, scanner.name_length))
            context->batch = name_sink_flush(context->sink);
        name_batch_append(context->batch, kind, scanner.name, scanner.name_length);
    }
}

// Reads the rest of a source straight into the sink's batches, for the store
// thread to scan: from its start when `resume` is null, else from the state
// of this thread's scanner, which has consumed the `total` bytes before. The
// same reads as scanning here makes, ending the same way.
void hand_over(SourceFile *file, WalkContext *context, const Scanner *resume,
               unsigned long long total, std::string *error)
{
    const size_t least = 4096;
    SegmentStart start = resume == nullptr ? kSegmentBegins : kSegmentResumes;
    for (;;) {
        size_t room;
        unsigned char *at = name_sink_block(context->sink, least, start, &room);
        bool last;
        size_t count = read_on(file, at, room, &total, error, &last);
        name_sink_read(context->sink, count, start, resume, last);
        if (last)
            break;
        start = kSegmentGoesOn;
    }
    context->batch = name_sink_batch(context->sink);
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

int walk_tree(const std::string &directory, NameSink *sink)
{
    WalkContext context{sink, name_sink_batch(sink),
                        {},   std::vector<unsigned char>(kDefaultBufferSize + kRecentNameSlack),
                        0,    std::unique_ptr<RecentNames>(new RecentNames())};
    std::string path = directory;
    walk_directory(&path, true, &context);
    return context.status;
}
