// The depth-first directory walk, and the reading of each source it finds.
#include <cstdio>
#include <cstring>
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

namespace {

struct WalkContext {
    NameSink *sink;
    NameBatch *batch;                       // the sink's batch being filled
    std::vector<DirectoryIdentity> descent; // the directories being walked, outermost first
    std::vector<unsigned char> block;       // the read buffer, shared by every file
};

// Reads the next block of `file` into the buffer. A short read that brings
// the total to the size the file had when opened ends the input without
// another read: most sources fit in one block, so this saves a call per file.
// A read error ends the input too, its reason kept in *error.
void refill(SourceFile *file, SourceBuffer *buffer, unsigned long long *total, int *error)
{
    long got = source_read(file, buffer->data, buffer->capacity, error);
    if (got < 0)
        got = 0;
    *total += static_cast<unsigned long long>(got);
    bool ended = static_cast<size_t>(got) < buffer->capacity && *total == file->size;
    source_buffer_refill(buffer, static_cast<size_t>(got), ended);
}

// Scans one plain file, if its name marks a source, into the sink: "Analyzing
// PATH." when it is open, "Cannot open PATH. why?" when it cannot be, and
// "Cannot read PATH: REASON" when a read fails (the names before are kept).
void scan_file(const std::string &path, WalkContext *context)
{
    if (!is_source_file(path.c_str()))
        return;
    SourceFile file;
    if (!source_open(path, &file)) {
        fprintf(stderr, "Cannot open %s. why?\n", path.c_str());
        return;
    }
    fprintf(stderr, "Analyzing %s.\n", path.c_str());
    SourceBuffer buffer;
    source_buffer_init(&buffer, context->block.data(), context->block.size());
    Scanner scanner;
    scanner_init(&scanner);
    unsigned long long total = 0;
    int error = 0;
    for (;;) {
        ScanToken token = scanner_next(&scanner, &buffer);
        if (token == kTokenEnd)
            break;
        if (token == kTokenMore) {
            refill(&file, &buffer, &total, &error);
            continue;
        }
        if (!name_batch_has_room(context->batch, scanner.name_length))
            context->batch = name_sink_flush(context->sink);
        name_batch_append(context->batch, token == kTokenCommand ? kKindCommand : kKindEnvironment,
                          scanner.name, scanner.name_length);
    }
    source_close(&file);
    if (error != 0)
        fprintf(stderr, "Cannot read %s: %s\n", path.c_str(), strerror(error));
}

bool on_descent(const WalkContext &context, const DirectoryIdentity &identity)
{
    if (!identity.known)
        return false;
    for (const DirectoryIdentity &active : context.descent)
        if (active.known && active.volume == identity.volume && active.file == identity.file)
            return true;
    return false;
}

// Lists `directory` whole, then visits its entries in listing order. Only one
// directory handle is open at a time, however deep the tree.
int walk_directory(const std::string &directory, WalkContext *context)
{
    DirectoryListing listing;
    if (!list_directory(directory, &listing) || on_descent(*context, listing.identity))
        return 1;
    context->descent.push_back(listing.identity);
    for (const DirectoryEntry &entry : listing.entries) {
        if (entry.name[0] == '.')
            continue;
        if (entry.kind == kEntryDirectory)
            walk_directory(directory + entry.name + kPathSeparator, context);
        else if (entry.kind == kEntryPlain)
            scan_file(directory + entry.name, context);
    }
    context->descent.pop_back();
    return 0;
}

} // namespace

int walk_tree(const std::string &directory, NameSink *sink)
{
    WalkContext context{
        sink, name_sink_batch(sink), {}, std::vector<unsigned char>(kDefaultBufferSize)};
    return walk_directory(directory, &context);
}
