// quillmap-floor: the least a run of quillmap can cost. It walks the trees it
// is given exactly as quillmap does (depth-first in listing order, names
// beginning with '.' passed over, links followed, each directory once) and
// reads every source through a buffer of the same size, and does nothing
// else: no scanning, no names, no messages, no reports. The benchmark gives
// quillmap's time as a ratio to this program's.
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "driver/platform.h"
#include "scan/scan.h"

namespace {

// Reads one file to its end; returns the bytes read.
unsigned long long read_whole(const std::string &path, std::vector<unsigned char> *block)
{
    SourceFile file;
    if (!source_open(path, &file))
        return 0;
    unsigned long long total = 0;
    std::string error;
    for (long got; (got = source_read(&file, block->data(), block->size(), &error)) > 0;) {
        total += static_cast<unsigned long long>(got);
        if (static_cast<size_t>(got) < block->size() && total == file.size)
            break; // as quillmap, no read past a short one that reached the size
    }
    source_close(&file);
    return total;
}

void walk(const std::string &directory,
          std::set<std::pair<unsigned long long, unsigned long long>> *entered,
          std::vector<unsigned char> *block, unsigned long long *bytes)
{
    DirectoryListing listing;
    if (list_directory(directory, &listing) == kListUnopened)
        return;
    const DirectoryIdentity &id = listing.identity;
    if (id.known && !entered->insert({id.volume, id.file}).second)
        return;
    for (const DirectoryEntry &entry : listing.entries) {
        if (entry.name[0] == '.')
            continue;
        std::string path = directory + entry.name;
        if (entry.kind == kEntryDirectory)
            walk(path + kPathSeparator, entered, block, bytes);
        else if (entry.kind == kEntryPlain && is_source_file(path.c_str()))
            *bytes += read_whole(path, block);
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<unsigned char> block(kDefaultBufferSize);
    unsigned long long bytes = 0;
    for (int i = 1; i < argc; ++i) {
        std::set<std::pair<unsigned long long, unsigned long long>> entered;
        walk(directory_path(argv[i]), &entered, &block, &bytes);
    }
    // The count keeps the reads from being optimised away, and lets the
    // benchmark check that the floor read what quillmap read.
    return bytes == 0 ? 1 : 0;
}
