// Hostile inputs, on every platform: huge names and crowded stores must give
// complete, exact results.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scan/scan.h"
#include "store/store.h"
#include "test_support.h"

namespace {

TEST(HostileInputs, AHugeNameIsCutAndTheRestIsPlainText)
{
    const std::string run(5 * 1000 * 1000, 'x');
    struct {
        std::string input;
        std::vector<std::string> commands;
        std::vector<std::string> environments;
    } cases[] = {
        {"\\" + run + "\\end", {run.substr(0, kCommandNameMax), "end"}, {}},
        {"\\begin{" + run + "}\\end", {"begin", "end"}, {run.substr(0, kEnvironmentNameMax)}},
        {"\\begin" + std::string(5000000, ' ') + "{e}", {"begin"}, {"e"}},
    };
    for (const auto &c : cases) {
        for (size_t size : {size_t{1}, size_t{3}, size_t{kDefaultBufferSize}}) {
            NameSequences names = scan_bytes(c.input, size);
            EXPECT_EQ(names.commands, c.commands) << "buffer size " << size;
            EXPECT_EQ(names.environments, c.environments) << "buffer size " << size;
        }
    }
}

// The n-th name made of 17 blocks of "Aa" or "BB": all such names hash alike.
std::string one_bucket_name(unsigned n)
{
    std::string name;
    for (int block = 0; block < 17; ++block)
        name += (n >> block & 1) ? "BB" : "Aa";
    return name;
}

TEST(HostileInputs, CrowdedStoresGiveCompleteExactReports)
{
    const unsigned count = 100000;
    std::vector<std::string> commands, environments;
    std::string source;
    for (unsigned i = 0; i < count; ++i) {
        // A scrambled order, so that first appearance differs from sort order.
        unsigned n = (i * 7919u) % count;
        commands.push_back(one_bucket_name(n));
        environments.push_back(letter_name(n));
        source += "\\" + commands.back() + " \\begin{" + environments.back() + "}\n";
        if (i % 3 == 0) // repeats change nothing
            source += "\\" + commands[i / 2] + "\\begin{" + environments[i / 2] + "}\n";
    }
    ASSERT_EQ(name_hash(commands[0].c_str()), name_hash(commands[1].c_str()));
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/big.tex", source);
    ToolRun run = run_tool(dir.path(), {"in"});
    ASSERT_EQ(run.status, 0);

    std::vector<std::string> command_all = commands;
    bool begin_first = name_hash("begin") < name_hash(commands[0].c_str());
    command_all.insert(begin_first ? command_all.begin() : command_all.end(), "begin");
    std::vector<std::string> newest_first(environments.rbegin(), environments.rend());
    std::vector<std::string> command_lst = command_all;
    std::sort(command_lst.begin(), command_lst.end());
    std::sort(environments.begin(), environments.end());
    EXPECT_TRUE(read_file(dir / "command.all") == crlf_lines(command_all));
    EXPECT_TRUE(read_file(dir / "command.lst") == crlf_lines(command_lst));
    EXPECT_TRUE(read_file(dir / "environment.all") == crlf_lines(newest_first));
    EXPECT_TRUE(read_file(dir / "environment.lst") == crlf_lines(environments));
}

} // namespace
