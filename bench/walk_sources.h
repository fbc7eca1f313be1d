// The walk of the benchmark's programs, as quillmap walks: depth first in
// listing order, names beginning with '.' passed over, links followed, each
// directory once per argument.
#ifndef QUILLMAP_BENCH_WALK_SOURCES_H
#define QUILLMAP_BENCH_WALK_SOURCES_H

#include <set>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "scan/scan.h"

// Calls visit(path) for every plain file below the command-line argument
// `argument` whose name marks a source.
template <typename Visit> void walk_sources(const std::string &argument, Visit visit)
{
    std::set<std::pair<unsigned long long, unsigned long long>> entered;
    struct Walker {
        std::set<std::pair<unsigned long long, unsigned long long>> *entered;
        Visit *visit;
        void walk(const std::string &directory)
        {
            DirectoryListing listing;
            ListStatus status = list_directory(directory, &listing);
            if (status == kListUnopened || status == kListNoMemory)
                return;
            const DirectoryIdentity &id = listing.identity;
            if (id.known && !entered->insert({id.volume, id.file}).second)
                return;
            for (const DirectoryEntry &entry : listing.entries) {
                std::string path = directory + entry.name;
                if (entry.name[0] == '.')
                    continue;
                if (entry.kind == kEntryDirectory)
                    walk(path + kPathSeparator);
                else if (entry.kind == kEntryPlain && is_source_file(path.c_str()))
                    (*visit)(path);
            }
        }
    } walker{&entered, &visit};
    walker.walk(directory_path(argument));
}

#endif
