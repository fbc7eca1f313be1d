// The walk: the sources in the walk's order, each opened, said, added to
// the pipeline and closed, and the listings that failed, said.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../platform/platform.h"
#include "driver.h"

namespace {

// Once a message cannot be written (the reader of a pipe has gone), the rest
// are dropped: the walk and the reports go on.
bool silenced = false;

void say_text(const char *text, size_t length)
{
    if (!silenced)
        silenced = !message_write(text, length);
}

} // namespace

void say(const char *format, ...)
{
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
    say_text(text, static_cast<size_t>(length));
}

namespace {

// The pipeline's reader over a source of the walk. Memory that the system
// refuses for a read ends the run like memory refused anywhere else.
struct SourceRead {
    Ahead *ahead;
    WalkEvent *event;
};

long read_source(void *context, unsigned char *data, size_t capacity, int *error)
{
    SourceRead *source = static_cast<SourceRead *>(context);
    long got = ahead_read(source->ahead, source->event, data, capacity, error);
    if (got < 0 && error_is_out_of_memory(*error))
        out_of_memory();
    return got;
}

// Says "Analyzing PATH." as say() would, put together without formatting:
// it is said for every source.
void say_analyzing(const std::string &path)
{
    static const char head[] = "Analyzing ", tail[] = ".\n";
    char line[1024];
    size_t length = sizeof head - 1 + path.size() + sizeof tail - 1;
    if (length > sizeof line) {
        say("%s%s%s", head, path.c_str(), tail);
        return;
    }
    memcpy(line, head, sizeof head - 1);
    memcpy(line + sizeof head - 1, path.data(), path.size());
    memcpy(line + length - (sizeof tail - 1), tail, sizeof tail - 1);
    say_text(line, length);
}

// Reads one source into the pipeline. Says "Analyzing PATH." when it is
// open, "Cannot open PATH. why?" when it cannot be, and "Cannot read PATH:
// REASON" when a read fails (the names before are kept).
void scan_source(Ahead *ahead, WalkEvent *event, Collector *collector)
{
    const char *path = event->path.c_str();
    unsigned long long size = 0;
    OpenStatus opened = ahead_open(ahead, event, &size);
    if (opened == kOpenNoMemory)
        out_of_memory();
    if (opened != kOpened) {
        say("Cannot open %s. why?\n", path);
        ahead_done(ahead, event);
        return;
    }
    say_analyzing(event->path);
    int error = 0;
    SourceRead source{ahead, event};
    bool read = collect_source(collector, SourceReader{read_source, &source, size}, &error);
    ahead_done(ahead, event);
    if (!read)
        say("Cannot read %s: %s\n", path, error_text(error).c_str());
}

} // namespace

int walk_tree(const std::string &directory, Ahead *ahead, Collector *collector)
{
    int status = 0;
    ahead_walk(ahead, directory);
    WalkEvent event;
    while (ahead_next(ahead, &event)) {
        if (event.kind == kEventSource) {
            scan_source(ahead, &event, collector);
            continue;
        }
        if (event.status == kListNoMemory)
            out_of_memory();
        // A bare drive ("E:") ends with a colon of its own.
        const char *colon = event.path.back() == ':' ? "" : ":";
        say("Cannot read %s%s %s\n", event.path.c_str(), colon, error_text(event.error).c_str());
        status = 1;
    }
    return status;
}
