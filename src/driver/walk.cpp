// The depth-first directory walk.
#include <vector>

#include "../scan/scan.h"
#include "driver.h"
#include "listing.h"

namespace {

struct WalkContext {
    CommandTable *table;
    EnvironmentList *list;
    std::vector<DirectoryIdentity> descent; // the directories being walked, outermost first
};

bool on_descent(const WalkContext &context, const DirectoryIdentity &identity)
{
    for (const DirectoryIdentity &active : context.descent)
        if (active.volume == identity.volume && active.file == identity.file)
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
            std::string path = directory + entry.name;
            if (scan_source(path.c_str(), context->table, context->list) < 0) {
                status = -1;
                break;
            }
        }
    }
    context->descent.pop_back();
    return status;
}

} // namespace

int walk_tree(const std::string &directory, CommandTable *table, EnvironmentList *list)
{
    WalkContext context{table, list, {}};
    return walk_directory(directory, &context);
}
