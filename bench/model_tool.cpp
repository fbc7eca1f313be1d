// quillmap-model: the slow, obvious reference. It walks the same directories
// in the same order as quillmap, scans each source with the formatted-input
// model (fscanf scan sets, getc, a one-byte fseek per other byte), keeps the
// names in plain standard containers, and writes the same four reports. The
// benchmark times it, and compares its reports with quillmap's byte for byte.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "formatted_model.h"
#include "store/store.h"
#include "walk_sources.h"

namespace {

struct ReferenceStores {
    std::vector<std::vector<std::string>> buckets =
        std::vector<std::vector<std::string>>(kBucketCount);
    std::unordered_set<std::string> commands;
    std::vector<std::string> environments_first_seen;
    std::unordered_set<std::string> environments;
};

void record(const NameSequences &names, ReferenceStores *stores)
{
    for (const std::string &name : names.commands)
        if (stores->commands.insert(name).second)
            stores->buckets[name_hash(name.c_str())].push_back(name);
    for (const std::string &name : names.environments)
        if (stores->environments.insert(name).second)
            stores->environments_first_seen.push_back(name);
}

// Scans one source with the formatted-input model, with quillmap's messages.
void scan_source(const std::string &path, ReferenceStores *stores)
{
    FILE *stream = fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        fprintf(stderr, "Cannot open %s. why?\n", path.c_str());
        return;
    }
    fprintf(stderr, "Analyzing %s.\n", path.c_str());
    record(formatted_model_scan(stream), stores);
    fclose(stream);
}

void write_lines(const char *file, const std::vector<std::string> &names)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const std::string &name : names)
        out << name << "\r\n";
}

} // namespace

int main(int argc, char **argv)
{
    ReferenceStores stores;
    for (int i = 1; i < argc; ++i)
        walk_sources(argv[i], [&](const std::string &path) { scan_source(path, &stores); });
    std::vector<std::string> command_all;
    for (const auto &bucket : stores.buckets)
        command_all.insert(command_all.end(), bucket.begin(), bucket.end());
    std::vector<std::string> environment_all(stores.environments_first_seen.rbegin(),
                                             stores.environments_first_seen.rend());
    std::remove("environment.all");
    if (!environment_all.empty())
        write_lines("environment.all", environment_all);
    write_lines("command.all", command_all);
    std::sort(command_all.begin(), command_all.end());
    std::sort(environment_all.begin(), environment_all.end());
    write_lines("command.lst", command_all);
    write_lines("environment.lst", environment_all);
    return 0;
}
