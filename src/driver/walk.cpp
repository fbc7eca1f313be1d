// The depth-first directory walk.
#include <vector>

#include "../scan/scan.h"
#include "driver.h"
#include "listing.h"
#include "pipeline.h"

namespace {

struct WalkContext {
    NameSink *sink;
    std::vector<DirectoryIdentity> descent; // the directories being walked, outermost first
    std::vector<unsigned char> block;       // the read buffer, shared by every file
};

// Scans one plain file into the sink, handing the batch on whenever it fills.
// Returns 0, or -1 when memory ran out.
int scan_into(const std::string &path, WalkContext *context)
{
    SourceScan scan;
    if (!source_scan_open(&scan, path.c_str(), context->block.data(), context->block.size()))
        return 0;
    int status = 0;
    while (status == 0 && !source_scan_fill(&scan, &context->sink->batch))
        status = name_sink_flush(context->sink);
    source_scan_close(&scan);
    return status;
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
    int status = 0;
    for (const DirectoryEntry &entry : listing.entries) {
        if (entry.name[0] == '.')
            continue;
        if (entry.kind == kEntryDirectory) {
            std::string child = directory + entry.name + kPathSeparator;
            if (walk_directory(child, context) < 0) {
                status = -1;
                break;
            }
        } else if (entry.kind == kEntryPlain) {
            if (scan_into(directory + entry.name, context) < 0) {
                status = -1;
                break;
            }
        }
    }
    context->descent.pop_back();
    return status;
}

} // namespace

int name_sink_flush(NameSink *sink)
{
    if (sink->handoff != nullptr)
        return store_thread_hand(sink->handoff, &sink->batch) ? 0 : -1;
    return name_batch_store(&sink->batch, sink->table, sink->list);
}

int walk_tree(const std::string &directory, NameSink *sink)
{
    WalkContext context{sink, {}, std::vector<unsigned char>(kDefaultBufferSize)};
    return walk_directory(directory, &context);
}
