// Hostile trees on POSIX systems: deep trees, links, special files, odd names,
// trees that change under the walk, reports that cannot be written, memory
// that runs out. Every run must finish, and nothing readable may be lost.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "report/report.h"
#include "test_support.h"

// Allocations that operator new still grants before it refuses one, as if
// memory had run out; negative: it never refuses. The refusal goes to the
// new-handler, as the system's operator new does.
static std::atomic<long> allocations_left{-1};

#if !QUILLMAP_SANITIZED
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete" // both sides are replaced here
#endif
void *operator new(std::size_t size)
{
    if (allocations_left.fetch_sub(1, std::memory_order_relaxed) != 0)
        if (void *block = std::malloc(size != 0 ? size : 1))
            return block;
    if (std::new_handler handler = std::get_new_handler())
        handler();
    throw std::bad_alloc();
}
void operator delete(void *block) noexcept
{
    std::free(block);
}
void operator delete(void *block, std::size_t) noexcept
{
    std::free(block);
}
#endif

namespace {

size_t count_of(const std::string &text, const std::string &what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// Starts the tool in `cwd` with `args`, its standard error on `err` and its
// standard output discarded. Returns its process id.
pid_t spawn_tool(const std::string &cwd, const std::vector<std::string> &args, int err,
                 const std::string &wrapper = "")
{
    pid_t child = fork();
    if (child != 0)
        return child;
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || chdir(cwd.c_str()) != 0)
        _exit(127);
    dup2(null, 1);
    dup2(err, 2);
    alarm(120); // a run that hangs is killed and fails its test
    std::string script = wrapper + " \"$0\" \"$@\"";
    std::vector<char *> argv;
    if (!wrapper.empty())
        argv = {const_cast<char *>("sh"), const_cast<char *>("-c"), &script[0]};
    argv.push_back(const_cast<char *>(QUILLMAP_EXE));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(wrapper.empty() ? QUILLMAP_EXE : "/bin/sh", argv.data());
    _exit(127);
}

// Runs the tool with the faults of tests/shim preloaded.
const std::string kWithFaults =
    std::string("LD_PRELOAD=") + QUILLMAP_FAULTS + " ASAN_OPTIONS=verify_asan_link_order=0 exec";

// Runs the tool as an unprivileged user (which only root may do: tests that
// use it skip for anyone else).
const std::string kAsNobody = "exec setpriv --reuid=65534 --regid=65534 --clear-groups";
#define SKIP_UNLESS_ROOT()                                                                         \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "only root can act as another user"

// Reads `fd` to its end.
std::string read_all(int fd)
{
    std::string text;
    char chunk[65536];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

// Waits for the tool and returns its exit status, or -1 when it did not exit.
int exit_status(pid_t child)
{
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Starts the tool in `cwd` (whose "command.all" holds "old") while the test
// holds the lock as another run would: the tool must say that it waits and
// touch no report until release() lets go; then it must say `announced`,
// write the reports and succeed.
void expect_waits_while_held(const std::string &cwd, const std::vector<std::string> &args,
                             const std::string &wrapper, const std::function<void()> &release,
                             const std::string &announced)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = spawn_tool(cwd, args, pipe_fds[1], wrapper);
    ASSERT_GE(child, 0);
    close(pipe_fds[1]);
    const std::string waiting = "Waiting for another run of quillmap in this directory to end.\n";
    std::string err(waiting.size(), '\0');
    ASSERT_EQ(read(pipe_fds[0], &err[0], err.size()), static_cast<ssize_t>(err.size()));
    EXPECT_EQ(err, waiting);
    EXPECT_EQ(read_file(cwd + "/command.all"), "old\r\n");
    release();
    err += read_all(pipe_fds[0]);
    close(pipe_fds[0]);
    EXPECT_EQ(exit_status(child), 0);
    EXPECT_EQ(err, waiting + announced);
    EXPECT_EQ(read_file(cwd + "/command.all"), "new\r\n");
}

// Builds a chain of `levels` directories named "d" below `root`, each with a
// file "a.tex", working through directory handles so that no path grows long.
void make_deep_chain(const std::string &root, int levels)
{
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < levels; ++level) {
        ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ASSERT_GE(next, 0);
        close(fd);
        fd = next;
        int file = openat(fd, "a.tex", O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(file, 0);
        ASSERT_EQ(write(file, "\\deep", 5), 5);
        close(file);
    }
    close(fd);
}

// Removes the chain again one level at a time, moving each level's child up
// in its place, since the deeper paths are too long to name.
void remove_deep_chain(const std::string &root)
{
    int top = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(top, 0);
    for (;;) {
        int level = openat(top, "d", O_RDONLY | O_DIRECTORY);
        if (level < 0)
            break;
        unlinkat(level, "a.tex", 0);
        bool deeper = renameat(level, "d", top, "next") == 0;
        close(level);
        unlinkat(top, "d", AT_REMOVEDIR);
        if (!deeper || renameat(top, "next", top, "d") != 0)
            break;
    }
    close(top);
}

TEST(HostileTrees, ADeepTreeIsWalkedWithFewFileDescriptorsAndASmallStack)
{
    TempDir dir;
    const int levels = 3000;
    make_dirs(dir / "deep");
    make_dirs(dir / "after");
    write_file(dir / "after/z.tex", "\\z");
    make_deep_chain(dir / "deep", levels);

    // Level k's directory path is ROOT/deep/ followed by k times "d/"; a path
    // the system refuses (longer than PATH_MAX - 1) cannot be listed or opened.
    const size_t limit = static_cast<size_t>(pathconf("/", _PC_PATH_MAX)) - 1;
    size_t listed_files = 0, refused_files = 0;
    for (int k = 1; k <= levels; ++k) {
        size_t directory = std::string("deep/").size() + 2 * static_cast<size_t>(k);
        if (directory > limit)
            break;
        (directory + 5 <= limit ? listed_files : refused_files) += 1;
    }

    // Few descriptors, and a small stack: depth costs the walk heap, not stack.
    ToolRun run = run_tool(dir.path(), {"deep", "after"}, "ulimit -n 64 && ulimit -s 256 && exec");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(count_of(run.err, "Analyzing deep/"), listed_files);
    EXPECT_EQ(count_of(run.err, "/a.tex.\n"), listed_files); // past 1 KiB too
    EXPECT_EQ(count_of(run.err, ". why?\n"), refused_files);
    EXPECT_GE(listed_files, 1000u);
    // The walk goes on after the deep tree.
    const std::string last = "\nAnalyzing after/z.tex.\n";
    ASSERT_GT(run.err.size(), last.size());
    EXPECT_EQ(run.err.substr(run.err.size() - last.size()), last);
    EXPECT_EQ(read_file(dir / "command.lst"), crlf_lines({"deep", "z"}));
    remove_deep_chain(dir / "deep");
}

TEST(HostileTrees, OddFileNamesPassThroughAsBytes)
{
    const std::string names[] = {"a b.tex", "new\nline.tex", "-dash.tex", "caf\xe9.tex",
                                 "tab\t%s.tex"};
    TempDir dir;
    std::vector<std::string> args;
    std::string expected;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        std::string sub = "d" + std::to_string(i); // one entry per directory
        make_dirs(dir / sub);
        write_file(dir / (sub + "/" + names[i]), "\\x");
        args.push_back(sub);
        expected += "Analyzing " + sub + "/" + names[i] + ".\n";
    }
    ToolRun run = run_tool(dir.path(), args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, expected);

    // On a terminal, control bytes are shown as '?', so that a name cannot
    // set the title or clear the screen.
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal) | unlockpt(terminal), 0);
    int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(side, 0);
    struct termios raw;
    ASSERT_EQ(tcgetattr(side, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(side, TCSANOW, &raw), 0);
    write_file(dir / "d0/\x1b]0;owned\x07\x1b[2J\x7f.tex", "");
    pid_t child = spawn_tool(dir.path(), {"d0", "d1", "d4"}, side);
    close(side);
    std::string shown;
    char chunk[4096];
    for (ssize_t got; (got = read(terminal, chunk, sizeof chunk)) > 0;) // EIO once it closes
        shown.append(chunk, static_cast<size_t>(got));
    close(terminal);
    EXPECT_EQ(exit_status(child), 0);
    std::string want;
    for (const std::string &name : listing_order(dir / "d0"))
        want += "Analyzing d0/" + (name[0] == '\x1b' ? "?]0;owned??[2J?.tex" : name) + ".\n";
    EXPECT_EQ(shown, want + "Analyzing d1/new?line.tex.\nAnalyzing d4/tab?%s.tex.\n");
}

TEST(HostileTrees, AFileReplacedBetweenListingAndOpeningIsReported)
{
    // The tool is held in the middle of the walk by a full standard-error
    // pipe while files already listed are removed or replaced. "top" holds the
    // subdirectory "s", whose many sources fill the pipe, and candidate files
    // "vN.tex"; those listed after "s" are the ones removed.
    TempDir dir;
    std::string top = dir / "top/";
    make_dirs(top + "s");
    std::string long_name(200, 'n');
    for (int i = 0; i < 1500; ++i)
        write_file(top + "s/" + long_name + std::to_string(i) + ".tex", "");
    for (int i = 0; i < 40; ++i)
        write_file(top + "v" + std::to_string(i) + ".tex", "\\v");
    std::vector<std::string> order = listing_order(top);
    auto s_at = std::find(order.begin(), order.end(), "s");
    std::vector<std::string> victims(s_at + 1, order.end());
    ASSERT_FALSE(victims.empty());

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = spawn_tool(dir.path(), {"top"}, pipe_fds[1]);
    ASSERT_GE(child, 0);
    close(pipe_fds[1]);
    // Wait until the pipe is full: the tool is then blocked inside "s", as
    // its lines there add up to several times the pipe's capacity. A line
    // that does not fit whole into the pipe's pages blocks, so "full" means
    // well filled and no change for a while.
    int capacity = fcntl(pipe_fds[0], F_GETPIPE_SZ);
    int pending = 0;
    for (int tries = 0, still = 0; tries < 60000 && still < 200; ++tries) {
        usleep(1000);
        int before = pending;
        ASSERT_EQ(ioctl(pipe_fds[0], FIONREAD, &pending), 0);
        still = (pending == before && pending >= capacity / 2) ? still + 1 : 0;
    }
    ASSERT_GE(pending, capacity / 2);
    // Gone, or a pipe or a device in its place: none may stall the run.
    for (size_t i = 0; i < victims.size(); ++i) {
        std::string path = top + victims[i];
        ASSERT_EQ(unlink(path.c_str()), 0);
        if (i % 3 == 1) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else if (i % 3 == 2) {
            ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
        }
    }

    std::string err = read_all(pipe_fds[0]);
    close(pipe_fds[0]);
    EXPECT_EQ(exit_status(child), 0);
    for (const std::string &victim : victims)
        EXPECT_EQ(count_of(err, "Cannot open top/" + victim + ". why?\n"), 1u) << victim;
    EXPECT_EQ(count_of(err, "Analyzing top/s/"), 1500u);
}

TEST(HostileOutputs, NoWriteAccessFailsEveryReport)
{
    SKIP_UNLESS_ROOT();
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", "\\begin{e}");
    for (const std::string &path : {dir.path(), dir / "in"})
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    ToolRun run = run_tool(dir.path(), {"in"}, kAsNobody);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Analyzing in/x.tex.\n"
                       "Cannot write environment.all: Permission denied\n"
                       "Cannot write command.all: Permission denied\n"
                       "Cannot write command.lst: Permission denied\n"
                       "Cannot write environment.lst: Permission denied\n");
    EXPECT_FALSE(file_exists(dir / "command.lst"));
}

TEST(HostileOutputs, RunningOutOfMemoryIsReported)
{
    if (QUILLMAP_SANITIZED)
        GTEST_SKIP() << "a sanitized build cannot run under an address-space limit";
    // Four million distinct names need far more than the 48 MiB allowed.
    TempDir dir;
    make_dirs(dir / "in");
    std::string source;
    for (unsigned n = 0; n < 4000000; ++n)
        source += "\\" + letter_name(n);
    write_file(dir / "in/many.tex", source);
    ToolRun run = run_tool(dir.path(), {"in"}, "ulimit -v 49152 && exec");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Analyzing in/many.tex.\nquillmap: out of memory\n");
    EXPECT_FALSE(file_exists(dir / "command.lst"));
}

TEST(HostileOutputs, RunningOutOfMemoryInTheReportPhaseLeavesEveryReportAsItWas)
{
    if (QUILLMAP_SANITIZED)
        GTEST_SKIP() << "a sanitized build keeps its own operator new";
    TempDir dir;
    CommandTable *table = command_table_new();
    EnvironmentList list{};
    for (unsigned n = 0; n < 3000; ++n) {
        store_command(table, letter_name(n));
        store_environment(&list, letter_name(n));
    }
    write_file(dir / "command.lst", "old\r\n");
    // Refuse the first allocation of the report phase, then the second, and
    // so on until the phase gets all it asks for: whichever thread meets the
    // refusal, no report may be new or changed.
    for (long granted = 0;; ++granted) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (chdir(dir.path().c_str()) != 0)
                _exit(126);
            std::set_new_handler([] { _exit(3); });
            allocations_left = granted;
            _exit(write_reports(table, &list, StaleReports{0, 0}));
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 0) {
            EXPECT_GE(granted, 5); // the phase allocates several times
            EXPECT_EQ(read_file(dir / "environment.lst").size(),
                      read_file(dir / "environment.all").size());
            break;
        }
        ASSERT_EQ(WEXITSTATUS(status), 3) << granted;
        EXPECT_EQ(read_file(dir / "command.lst"), "old\r\n") << granted;
        for (const char *report : {"command.all", "environment.all", "environment.lst"})
            EXPECT_FALSE(file_exists(dir / report)) << report << " after " << granted;
    }
    command_table_free(table);
    environment_free(&list);
}

TEST(HostileTrees, LinksSpecialFilesAndADirectoryNamedLikeASource)
{
    TempDir dir;
    std::string root = dir / "t/";
    for (const char *sub : {"loop/sub", "pair/a", "pair/b", "dir.tex", "special", "mem", "gone"})
        make_dirs(root + sub);
    write_file(root + "loop/in.tex", "");
    write_file(root + "dir.tex/inside.tex", "");
    ASSERT_EQ(symlink("..", (root + "loop/sub/up").c_str()), 0);        // to an ancestor
    ASSERT_EQ(symlink("../b", (root + "pair/a/l").c_str()), 0);         // a and b link to
    ASSERT_EQ(symlink("../a", (root + "pair/b/l").c_str()), 0);         // each other
    ASSERT_EQ(symlink("nowhere", (root + "gone/gone.tex").c_str()), 0); // dangling
    // Pipes, devices and sockets named like sources: each would block or
    // never end if read.
    ASSERT_EQ(mkfifo((root + "special/fifo.tex").c_str(), 0600), 0);
    ASSERT_EQ(symlink("fifo.tex", (root + "special/linked-fifo.tex").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (root + "special/zero.tex").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socket_path = root + "special/socket.tex";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    // A regular file whose first read fails: the tool's own memory at address 0.
    ASSERT_EQ(symlink("/proc/self/mem", (root + "mem/x.tex").c_str()), 0);

    struct {
        std::string arg;
        std::string expected_err;
    } cases[] = {
        {root + "loop", "Analyzing " + root + "loop/in.tex.\n"},
        {root + "pair", ""}, // pair/a/l leads to b, whose link leads back to a
        {root + "special", ""},
        {root + "mem", "Analyzing " + root + "mem/x.tex.\nCannot read " + root +
                           "mem/x.tex: Input/output error\n"},
        {root + "dir.tex", "Analyzing " + root + "dir.tex/inside.tex.\n"},
        {root + "gone", "Cannot open " + root + "gone/gone.tex. why?\n"},
    };
    for (const auto &c : cases) {
        ToolRun run = run_tool(dir.path(), {c.arg});
        EXPECT_EQ(run.status, 0) << c.arg;
        EXPECT_EQ(run.err, c.expected_err) << c.arg;
    }
    close(sock);

    // 18 levels, each with two links to the next: the bottom is reached by
    // 2^18 paths, and walked once.
    for (int level = 0; level <= 18; ++level)
        make_dirs(root + "join/d" + std::to_string(level));
    for (int level = 0; level < 18; ++level)
        for (const char *link : {"/a", "/b"})
            ASSERT_EQ(symlink(("../d" + std::to_string(level + 1)).c_str(),
                              (root + "join/d" + std::to_string(level) + link).c_str()),
                      0);
    write_file(root + "join/d18/x.tex", "\\x");
    ToolRun run = run_tool(dir.path(), {root + "join/d0"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(count_of(run.err, "Analyzing "), 1u);
    EXPECT_EQ(count_of(run.err, "/x.tex.\n"), 1u);
}

TEST(HostileTrees, AListingThatFailsPartWayIsReported)
{
    // The preloaded library fails the listing of ".../broken/" after three
    // entries ("." and ".." count): those before are still walked.
    TempDir dir;
    make_dirs(dir / "t/broken");
    for (const char *name : {"a.tex", "b.tex", "c.tex", "d.tex", "e.tex"})
        write_file(dir / (std::string("t/broken/") + name), "\\x");
    size_t walked = 0, seen = 0;
    DIR *listing = opendir((dir / "t/broken").c_str());
    ASSERT_NE(listing, nullptr);
    for (const dirent *entry; seen < 3 && (entry = readdir(listing)) != nullptr; ++seen)
        walked += entry->d_name[0] != '.';
    closedir(listing);

    ToolRun run = run_tool(dir.path(), {"t"}, kWithFaults);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(count_of(run.err, "Cannot read t/broken/: Input/output error\n"), 1u) << run.err;
    EXPECT_EQ(count_of(run.err, "Analyzing t/broken/"), walked);
    EXPECT_EQ(read_file(dir / "command.lst"), walked > 0 ? "x\r\n" : "");
}

TEST(HostileOutputs, AStaleReportThatCannotBeRemovedIsNotAppendedTo)
{
    SKIP_UNLESS_ROOT();
    // In a sticky directory, another user's files cannot be removed, even
    // where they may be written.
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", "\\new");
    write_file(dir / "command.all", "old\r\n");
    write_file(dir / "environment.all", "oldenv\r\n");
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    for (const char *path : {"command.all", "environment.all"})
        ASSERT_EQ(chmod((dir / path).c_str(), 0666), 0);
    ASSERT_EQ(chmod((dir / "in").c_str(), 0755), 0);
    ToolRun run = run_tool(dir.path(), {"in"}, kAsNobody);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Analyzing in/x.tex.\n"
                       "Cannot write environment.all: Operation not permitted\n"
                       "Cannot write command.all: Operation not permitted\n");
    EXPECT_EQ(read_file(dir / "command.all"), "old\r\n");
    EXPECT_EQ(read_file(dir / "environment.all"), "oldenv\r\n");
    EXPECT_EQ(read_file(dir / "command.lst"), "new\r\n");
    EXPECT_EQ(read_file(dir / "environment.lst"), "");
}

TEST(HostileOutputs, AClosedProgressStreamStopsTheMessagesNotTheRun)
{
    TempDir dir;
    make_dirs(dir / "in/sub");
    write_file(dir / "in/a.tex", "\\a");
    write_file(dir / "in/sub/b.tex", "\\b");
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]); // the reader has gone before the first message
    pid_t child = spawn_tool(dir.path(), {"in"}, pipe_fds[1]);
    ASSERT_GE(child, 0);
    close(pipe_fds[1]);
    EXPECT_EQ(exit_status(child), 0);
    EXPECT_EQ(read_file(dir / "command.lst"), crlf_lines({"a", "b"}));
}

TEST(HostileOutputs, ASecondRunInTheSameDirectoryWaitsForTheFirst)
{
    // The test holds the directory as a run would; the tool must say that it
    // waits, and touch no report until the directory is free.
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", "\\new");
    write_file(dir / "command.all", "old\r\n");
    int held = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    expect_waits_while_held(
        dir.path(), {"in"}, "", [&] { close(held); }, "Analyzing in/x.tex.\n");
}

TEST(HostileOutputs, WithoutThreadsARunGivesTheSameReports)
{
    SKIP_UNLESS_ROOT();
    if (QUILLMAP_SANITIZED)
        GTEST_SKIP() << "the sanitizers' runtimes start threads of their own";
    // An unprivileged user held to one process can start no thread: the
    // names are stored and the reports written on the run's one thread, and
    // they must come out as a run with threads leaves them.
    const std::string as_nobody = kAsNobody + " ";
    const std::string limited = "sh -c 'ulimit -p 1 && echo limited && "; // -p: processes
    FILE *probe = popen((as_nobody + limited + "/bin/true && echo started' 2>&1").c_str(), "r");
    ASSERT_NE(probe, nullptr);
    std::string said;
    for (char line[256]; fgets(line, sizeof line, probe) != nullptr;)
        said += line;
    pclose(probe);
    ASSERT_TRUE(said.find("limited") != std::string::npos &&
                said.find("started") == std::string::npos)
        << "the limit does not hold: " << said;

    TempDir dir;
    make_dirs(dir / "in/sub");
    make_dirs(dir / "threads");
    make_dirs(dir / "alone");
    std::string large;
    for (unsigned n = 0; n < 60000; ++n)
        large += "\\begin{" + letter_name(n % 700) + "}\\" + letter_name(n) + " ";
    write_file(dir / "in/large.tex", large);
    write_file(dir / "in/sub/small.tex", "\\begin{doc}\\Aa\\BB");
    for (const std::string &path : {dir.path(), dir / "in", dir / "in/sub"})
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / "alone").c_str(), 0777), 0);
    std::string tree = dir / "in";
    ToolRun threaded = run_tool(dir / "threads", {tree});
    ToolRun alone =
        run_tool(dir / "alone", {tree}, as_nobody + limited + "exec \"$0\" \"$@\"' >/dev/null");
    EXPECT_EQ(alone.status, 0);
    EXPECT_EQ(alone.err, threaded.err);
    for (const char *report : {"command.all", "command.lst", "environment.all", "environment.lst"})
        EXPECT_TRUE(read_file(dir / (std::string("alone/") + report)) ==
                    read_file(dir / (std::string("threads/") + report)))
            << report;
    EXPECT_EQ(count_of(read_file(dir / "alone/environment.lst"), "\r\n"), 701u);
}

// The names in `directory` that a report's temporary file would have.
std::vector<std::string> temporary_files(const std::string &directory)
{
    std::vector<std::string> found;
    for (const std::string &name : listing_order(directory))
        if (name.find(".quillmap-") != std::string::npos)
            found.push_back(name);
    return found;
}

TEST(HostileOutputs, AnUnreadableWorkingDirectoryIsLockedByAFile)
{
    SKIP_UNLESS_ROOT();
    // A working directory that its user may write and enter but not read:
    // "." cannot be opened for its lock, and a lock file stands for it. The
    // test holds that file as another run would: the tool must wait, touch no
    // report meanwhile, and leave no lock file behind. Where no lock can be
    // had at all, the run ends before it touches a report.
    TempDir dir;
    make_dirs(dir / "in");
    make_dirs(dir / "work");
    make_dirs(dir / "shut");
    write_file(dir / "in/x.tex", "\\new");
    for (const char *work : {"work", "shut"}) {
        write_file(dir / (std::string(work) + "/command.all"), "old\r\n");
        ASSERT_EQ(chown((dir / work).c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chmod((dir / "work").c_str(), 0300), 0);
    ASSERT_EQ(chmod((dir / "shut").c_str(), 0100), 0);
    for (const std::string &path : {dir.path(), dir / "in"})
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    const std::string lock = dir / "work/.quillmap.lock";
    int held = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(held, 0);
    ASSERT_EQ(fchmod(held, 0666), 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    expect_waits_while_held(
        dir / "work", {dir / "in"}, kAsNobody,
        [&] {
            unlink(lock.c_str()); // as a run ends: its lock file goes first
            close(held);
        },
        "Analyzing " + dir.path() + "/in/x.tex.\n");
    EXPECT_FALSE(file_exists(lock));

    ToolRun shut = run_tool(dir / "shut", {dir / "in"}, kAsNobody);
    EXPECT_EQ(shut.status, 1);
    EXPECT_EQ(shut.err, "quillmap: cannot lock the working directory: Permission denied\n");
    EXPECT_EQ(read_file(dir / "shut/command.all"), "old\r\n");
}

TEST(HostileOutputs, AReportThatReplacesAFileIsSentToTheDiskAsItIsWritten)
{
    // A megabyte at a time and the rest when finished; a report that
    // replaces no file is left to the system.
    const unsigned long long half = 512 * 1024;
    for (bool replaces : {true, false}) {
        TempDir dir;
        if (replaces)
            write_file(dir / "r.lst", "old");
        ReportStream stream;
        ASSERT_EQ(report_stream_open((dir / "r.lst").c_str(), &stream), 0);
        std::string block(half, 'x');
        for (int i = 0; i < 3; ++i)
            report_stream_write(&stream, block.data(), half);
        EXPECT_EQ(stream.flushed, replaces ? 2 * half : 0);
        report_stream_write(&stream, "tail", 4);
        report_stream_finish(&stream);
        EXPECT_EQ(stream.flushed, replaces ? 3 * half + 4 : 0);
        EXPECT_EQ(report_stream_close(&stream, true), 0);
    }
}

TEST(HostileOutputs, AReportPastTheFileSizeLimitFailsAndLeavesTheOldOne)
{
    TempDir dir;
    make_dirs(dir / "in");
    std::string text = "\\begin{doc}";
    for (unsigned n = 0; n < 1000; ++n)
        text += "\\" + letter_name(n);
    write_file(dir / "in/x.tex", text);
    write_file(dir / "command.lst", "old\r\n");
    // dash counts the limit in blocks of 512 bytes: 2 KiB.
    ToolRun run = run_tool(dir.path(), {"in"}, "ulimit -f 4 && exec");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Analyzing in/x.tex.\nCannot write command.all: File too large\n"
                       "Cannot write command.lst: File too large\n");
    EXPECT_EQ(read_file(dir / "command.lst"), "old\r\n");
    EXPECT_FALSE(file_exists(dir / "command.all"));
    EXPECT_EQ(read_file(dir / "environment.lst"), crlf_lines({"doc"}));
    EXPECT_TRUE(temporary_files(dir.path()).empty());
}

TEST(HostileOutputs, ARunKilledWhileWritingLeavesEachReportWhole)
{
    // Killed half way through writing each report in turn: every report is
    // the previous run's, whole, and the next run clears away what was left.
    const char *const reports[] = {"command.all", "command.lst", "environment.lst"};
    for (const char *const &report : reports) {
        TempDir dir;
        make_dirs(dir / "in");
        write_file(dir / "in/x.tex", "\\new\\begin{doc}");
        for (const char *old : {"command.all", "command.lst", "environment.lst"})
            write_file(dir / old, crlf_lines({"old", "older"}));
        ToolRun killed = run_tool(dir.path(), {"in"},
                                  std::string("QUILLMAP_FAULT_KILL=") + report + " " + kWithFaults);
        EXPECT_EQ(killed.status, -1) << report;
        // No report has taken its place yet: the .all files are gone since
        // the start, the .lst files the previous run's.
        EXPECT_FALSE(file_exists(dir / "command.all")) << report;
        for (const char *lst : {"command.lst", "environment.lst"})
            EXPECT_EQ(read_file(dir / lst), crlf_lines({"old", "older"})) << report;
        EXPECT_FALSE(temporary_files(dir.path()).empty()) << report;
        ToolRun again = run_tool(dir.path(), {"in"});
        EXPECT_EQ(again.status, 0);
        const std::string expected[] = {crlf_lines({"new", "begin"}), crlf_lines({"begin", "new"}),
                                        crlf_lines({"doc"})}; // command.all in bucket order
        EXPECT_EQ(read_file(dir / report), expected[&report - &reports[0]]);
        EXPECT_TRUE(temporary_files(dir.path()).empty()) << report;
    }
}

TEST(HostileOutputs, AReportThatIsALinkIsReplacedWhereTheLinkLeads)
{
    // A symbolic link (to a report in an editor's folder, by way of a second
    // link) stays a link, and what it leads to is replaced, keeping its mode
    // whatever the umask; a report with a
    // second hard link is replaced by a new file, the other name keeping the
    // previous run's list.
    TempDir dir;
    make_dirs(dir / "in");
    make_dirs(dir / "editor");
    write_file(dir / "in/x.tex", "\\new\\begin{doc}");
    write_file(dir / "editor/tex.words", "old\r\n");
    ASSERT_EQ(chmod((dir / "editor/tex.words").c_str(), 0600), 0);
    gid_t group = geteuid() == 0 ? 65534 : getegid(); // root may give it any group
    ASSERT_EQ(chown((dir / "editor/tex.words").c_str(), static_cast<uid_t>(-1), group), 0);
    mode_t mask = umask(022);
    ASSERT_EQ(symlink("tex.words", (dir / "editor/words").c_str()), 0);
    ASSERT_EQ(symlink("editor/words", (dir / "command.lst").c_str()), 0);
    write_file(dir / "environment.lst", "old\r\n");
    ASSERT_EQ(link((dir / "environment.lst").c_str(), (dir / "kept.lst").c_str()), 0);
    // A pipe planted under the name of the first temporary file must neither
    // stall the run nor receive the list.
    ToolRun run = run_tool(dir.path(), {"in"}, "QUILLMAP_FAULT_PLANT=1 " + kWithFaults);
    EXPECT_EQ(run.status, 0);
    struct stat info;
    ASSERT_EQ(lstat((dir / "command.lst").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    umask(mask);
    EXPECT_EQ(read_file(dir / "editor/tex.words"), crlf_lines({"begin", "new"}));
    ASSERT_EQ(stat((dir / "editor/tex.words").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u); // the replaced report keeps its mode
    EXPECT_EQ(info.st_gid, group);          // and its group
    EXPECT_EQ(read_file(dir / "environment.lst"), crlf_lines({"doc"}));
    EXPECT_EQ(read_file(dir / "kept.lst"), "old\r\n");
    std::vector<std::string> left = temporary_files(dir / "editor");
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(lstat((dir / ("editor/" + left[0])).c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)); // the planted pipe, left alone
}

TEST(HostileOutputs, ALinkInASharedDirectoryIsFollowedOnlyWhereTheSystemWould)
{
    SKIP_UNLESS_ROOT();
    // In a sticky directory that everyone may write, a report link is
    // followed only when its owner is the user or the directory's owner.
    // Another user's link must not lead the run onto the victim's files (an
    // existing one, one the run would create, a device); and files another
    // user leaves under temporary files' names are left alone.
    struct Case {
        uid_t directory_owner, link_owner;
        bool followed;
    } const cases[] = {{0, 65534, false}, {65534, 65534, true}, {65534, 0, true}};
    for (const Case &c : cases) {
        TempDir dir;
        make_dirs(dir / "in");
        make_dirs(dir / "shared");
        write_file(dir / "in/x.tex", "\\new\\begin{doc}");
        write_file(dir / "thesis.tex", "mine\r\n");
        ASSERT_EQ(chown((dir / "shared").c_str(), c.directory_owner, 0), 0);
        ASSERT_EQ(chmod((dir / "shared").c_str(), 01777), 0);
        const std::pair<const char *, std::string> links[] = {
            {"command.lst", dir / "thesis.tex"},
            {"environment.lst", dir / "created.tex"},
            {"command.all", "/dev/null"}};
        for (const auto &link : links) {
            std::string at = dir / ("shared/" + std::string(link.first));
            ASSERT_EQ(symlink(link.second.c_str(), at.c_str()), 0);
            ASSERT_EQ(lchown(at.c_str(), c.link_owner, 0), 0);
        }
        std::string pipe_at = dir / "shared/environment.all.quillmap-new";
        std::string file_at = dir / "shared/environment.all.quillmap-x";
        ASSERT_EQ(mkfifo(pipe_at.c_str(), 0666), 0);
        write_file(file_at, "");
        for (const std::string &planted : {pipe_at, file_at})
            ASSERT_EQ(lchown(planted.c_str(), 65534, 65534) | chmod(planted.c_str(), 0666), 0);
        ToolRun run = run_tool(dir / "shared", {"../in"});
        const std::string refused = ": it is another user's link in a shared directory\n";
        EXPECT_EQ(run.err, "Analyzing ../in/x.tex.\n" +
                               (c.followed ? std::string()
                                           : "Cannot write command.lst" + refused +
                                                 "Cannot write environment.lst" + refused))
            << c.directory_owner << " " << c.link_owner;
        EXPECT_EQ(read_file(dir / "thesis.tex"),
                  c.followed ? crlf_lines({"begin", "new"}) : "mine\r\n");
        EXPECT_EQ(file_exists(dir / "created.tex"), c.followed);
        for (const std::string &planted : {pipe_at, file_at}) // another user's, left alone
            EXPECT_TRUE(file_exists(planted));
        EXPECT_EQ(read_file(file_at), "");
    }
}

TEST(HostileOutputs, AReportInADirectoryThatMayNotBeWrittenIsWrittenInPlace)
{
    SKIP_UNLESS_ROOT();
    // No temporary file can be made beside the reports, but the user may
    // write the .lst files themselves: they are written where they stand.
    TempDir dir;
    make_dirs(dir / "in");
    make_dirs(dir / "work");
    write_file(dir / "in/x.tex", "\\new\\begin{doc}");
    for (const char *report : {"work/command.lst", "work/environment.lst"}) {
        write_file(dir / report, "a longer old list\r\n");
        ASSERT_EQ(chown((dir / report).c_str(), 65534, 65534), 0);
    }
    for (const std::string &path : {dir.path(), dir / "in", dir / "work"})
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    ToolRun run = run_tool(dir / "work", {"../in"}, kAsNobody);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Analyzing ../in/x.tex.\n"
                       "Cannot write environment.all: Permission denied\n"
                       "Cannot write command.all: Permission denied\n");
    EXPECT_EQ(read_file(dir / "work/command.lst"), crlf_lines({"begin", "new"}));
    EXPECT_EQ(read_file(dir / "work/environment.lst"), crlf_lines({"doc"}));
}

TEST(HostileOutputs, RunsWhoseReportsLeadToOneFileNeverSpliceIt)
{
    // Two working directories whose command.lst both lead to one file, runs
    // started together or one a little behind the other: the file is always
    // one run's list, whole, and
    // neither run fails for the other's temporary files. Also where the
    // file's folder may not be written, and the file is written in place.
    TempDir dir;
    make_dirs(dir / "editor");
    std::string list[2];
    for (int side = 0; side < 2; ++side) {
        std::string name = side == 0 ? "a" : "b", text;
        std::vector<std::string> names;
        for (unsigned n = 0; n < 30000; ++n) {
            names.push_back(name + letter_name(n));
            text += "\\" + names.back();
        }
        std::sort(names.begin(), names.end());
        list[side] = crlf_lines(names);
        make_dirs(dir / ("in" + name));
        make_dirs(dir / ("work" + name));
        ASSERT_EQ(chmod((dir / ("work" + name)).c_str(), 0777), 0);
        write_file(dir / ("in" + name + "/x.tex"), text);
        ASSERT_EQ(symlink((dir / "editor/words").c_str(),
                          (dir / ("work" + name + "/command.lst")).c_str()),
                  0);
    }
    for (const std::string &path : {dir.path(), dir / "ina", dir / "inb", dir / "editor"})
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    // A temporary file that a live run holds is not another run's leftover.
    std::string live = dir / "editor/words.quillmap-live";
    write_file(live, "");
    int held = open(live.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    for (const std::string &as : {std::string(), kAsNobody}) {
        if (!as.empty()) {
            if (geteuid() != 0)
                break; // only root can act as another user
            write_file(dir / "editor/words", "");
            ASSERT_EQ(chown((dir / "editor/words").c_str(), 65534, 65534), 0);
        }
        for (int round = 0; round < 30; ++round) {
            int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            pid_t a = spawn_tool(dir / "worka", {"../ina"}, null, as);
            if (round % 3 == 1)
                usleep(static_cast<useconds_t>(1000 * round)); // one run a little behind
            pid_t b = spawn_tool(dir / "workb", {"../inb"}, null, as);
            close(null);
            EXPECT_EQ(exit_status(a), 0) << round;
            EXPECT_EQ(exit_status(b), 0) << round;
            std::string words = read_file(dir / "editor/words");
            EXPECT_TRUE(words == list[0] || words == list[1]) << as << round;
            EXPECT_EQ(temporary_files(dir / "editor"),
                      std::vector<std::string>{"words.quillmap-live"})
                << round;
        }
    }
    close(held);
}

TEST(HostileOutputs, TwoRunsInOneDirectoryExcludeEachOtherWhoeverMayReadIt)
{
    // A real run holds the directory (blocked on a full standard error); a
    // second must wait for it, whether the two may read the directory or
    // only write it (mode 0733: the other user locks with the lock file).
    struct Case {
        const char *first, *second; // wrappers: "" runs as the test's user
        mode_t mode;
    } const cases[] = {
        {"", "", 0755}, {"", kAsNobody.c_str(), 0733}, {kAsNobody.c_str(), "", 0733}};
    TempDir dir;
    make_dirs(dir / "in");
    for (int n = 0; n < 600; ++n)
        write_file(dir / ("in/" + std::string(200, 'a') + std::to_string(n) + ".tex"), "\\x");
    for (const std::string &path : {dir.path(), dir / "in"})
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    for (const Case &c : cases) {
        if ((*c.first != 0 || *c.second != 0) && geteuid() != 0)
            continue; // only root can act as another user
        std::filesystem::remove_all(dir / "work");
        make_dirs(dir / "work");
        ASSERT_EQ(chmod((dir / "work").c_str(), c.mode), 0);
        int first_err[2], second_err[2];
        ASSERT_EQ(pipe(first_err) | pipe(second_err), 0);
        pid_t first = spawn_tool(dir / "work", {dir / "in"}, first_err[1], c.first);
        close(first_err[1]);
        char byte;
        ASSERT_EQ(read(first_err[0], &byte, 1), 1); // it holds the lock, and stalls
        pid_t second = spawn_tool(dir / "work", {dir / "in"}, second_err[1], c.second);
        close(second_err[1]);
        const std::string waiting =
            "Waiting for another run of quillmap in this directory to end.\n";
        std::string said(waiting.size(), '\0');
        EXPECT_EQ(read(second_err[0], &said[0], said.size()), static_cast<ssize_t>(said.size()));
        EXPECT_EQ(said, waiting) << c.mode << " '" << c.second << "'";
        read_all(first_err[0]);
        read_all(second_err[0]);
        for (int fd : {first_err[0], second_err[0]})
            close(fd);
        EXPECT_EQ(exit_status(first), 0);
        EXPECT_EQ(exit_status(second), 0);
        EXPECT_FALSE(file_exists(dir / "work/.quillmap.lock"));
    }
}

TEST(HostileTrees, ReadingAheadUnderAnyLimitGivesTheRunOfOneRequestAtATime)
{
    // The run made to read ahead from the start (every answer looks waited
    // for), under file and address-space limits: the same messages, reports
    // and status as a run that asks one thing at a time with no limit.
    TempDir dir;
    for (int d = 0; d < 40; ++d) {
        std::string sub = "in/d" + std::to_string(d) + "/";
        make_dirs(dir / (sub + "e"));
        for (int f = 0; f < 5; ++f)
            write_file(dir / (sub + "s" + std::to_string(f) + ".tex"),
                       "\\" + letter_name(static_cast<unsigned>(d * 5 + f)) + "\\begin{x}");
        write_file(dir / (sub + "e/big.sty"), std::string(300 * 1024, ' ') + "\\big");
    }
    write_file(dir / "in/d3/unreadable.tex", "\\no");
    ASSERT_EQ(chmod((dir / "in/d3/unreadable.tex").c_str(), 0), 0);
    make_dirs(dir / "direct");
    // Warm, with the machine's other core kept busy: no waiting is seen, and
    // the run asks one thing at a time.
    pid_t busy = fork();
    if (busy == 0)
        for (alarm(60);;) {
        }
    ToolRun direct = run_tool(dir / "direct", {"../in"}, "QUILLMAP_COUNTS=1 exec");
    kill(busy, SIGKILL);
    waitpid(busy, nullptr, 0);
    const std::string counts_line = "quillmap: read ahead: ";
    size_t direct_said = direct.err.rfind(counts_line);
    ASSERT_NE(direct_said, std::string::npos);
    if (!QUILLMAP_SANITIZED) { // the sanitizers' runtimes may wait inside a call
        EXPECT_EQ(direct.err.substr(direct_said, counts_line.size() + 3), counts_line + "no,");
    }
    direct.err.erase(direct_said);
    ASSERT_EQ(count_of(direct.err, "Analyzing"), geteuid() == 0 ? 241u : 240u);
    for (const char *limit :
         {"ulimit -n 20", "ulimit -n 24", "ulimit -n 28", "ulimit -n 64", "ulimit -v 614400"}) {
        if (QUILLMAP_SANITIZED && std::string(limit).find("-v") != std::string::npos)
            continue; // a sanitized build cannot run under an address-space limit
        std::filesystem::remove_all(dir / "ahead");
        make_dirs(dir / "ahead");
        ToolRun ahead = run_tool(dir / "ahead", {"../in"},
                                 std::string(limit) +
                                     " && QUILLMAP_COUNTS=1 QUILLMAP_FAULT_WAIT=1 " + kWithFaults);
        size_t said = ahead.err.rfind(counts_line);
        ASSERT_NE(said, std::string::npos) << limit << ": " << ahead.status;
        std::string counts = ahead.err.substr(said);
        EXPECT_EQ(ahead.status, direct.status) << limit;
        EXPECT_EQ(ahead.err.substr(0, said), direct.err) << limit;
        for (const char *report :
             {"command.all", "command.lst", "environment.all", "environment.lst"})
            EXPECT_EQ(read_file(dir / ("ahead/" + std::string(report))),
                      read_file(dir / ("direct/" + std::string(report))))
                << limit << " " << report;
        if (std::string(limit) == "ulimit -n 64") { // room for threads: they ran
            EXPECT_EQ(counts.find(" 0 I/O threads"), std::string::npos) << counts;
        }
    }
}

TEST(HostileOutputs, ASlowReaderOfANonBlockingPipeGetsEveryMessage)
{
    // Standard error is a non-blocking pipe whose reader reads nothing until
    // the tool waits for room in it; then every message must still come.
    TempDir dir;
    make_dirs(dir / "in");
    const int files = 600;
    for (int n = 0; n < files; ++n)
        write_file(dir / ("in/" + std::string(200, 'a') + std::to_string(n) + ".tex"), "\\x");
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK), 0);
    pid_t child = spawn_tool(dir.path(), {"in"}, pipe_fds[1]);
    ASSERT_GE(child, 0);
    close(pipe_fds[1]);
    // The tool is seen waiting in poll (system call 7 on x86-64), or ends
    // first, when it does not wait.
    const std::string syscall = "/proc/" + std::to_string(child) + "/syscall";
    for (int tries = 0; tries < 6000; ++tries) {
        std::string now = read_file(syscall);
        if (now.empty() || now.compare(0, 2, "7 ") == 0 || waitpid(child, nullptr, WNOHANG) != 0)
            break;
        usleep(10000);
    }
    std::string err = read_all(pipe_fds[0]);
    close(pipe_fds[0]);
    EXPECT_EQ(exit_status(child), 0);
    EXPECT_EQ(count_of(err, "Analyzing in/"), static_cast<size_t>(files));
}

TEST(HostileOutputs, MemoryRefusedToASystemCallEndsTheRunAsOutOfMemory)
{
    // Refused for a listing, an open and a read (by the preloaded faults):
    // the run ends as when memory runs out anywhere, every report as it was.
    const char *trees[] = {"nomem-list/x.tex", "nomem-open.tex", "nomem-read.tex"};
    for (const char *tree : trees) {
        TempDir dir;
        make_dirs(dir / "in/nomem-list");
        write_file(dir / "in/a.tex", "\\a");
        write_file(dir / ("in/" + std::string(tree)), "\\b");
        write_file(dir / "command.lst", "old\r\n");
        ToolRun run = run_tool(dir.path(), {"in"}, kWithFaults);
        EXPECT_EQ(run.status, 1) << tree;
        const std::string last = "quillmap: out of memory\n";
        ASSERT_GE(run.err.size(), last.size()) << tree;
        EXPECT_EQ(run.err.substr(run.err.size() - last.size()), last) << tree;
        EXPECT_EQ(read_file(dir / "command.lst"), "old\r\n") << tree;
        EXPECT_TRUE(temporary_files(dir.path()).empty()) << tree;
    }
}

TEST(HostileOutputs, UnderAnyAddressSpaceLimitARunIsWholeOrSaysOutOfMemory)
{
    if (QUILLMAP_SANITIZED)
        GTEST_SKIP() << "a sanitized build cannot run under an address-space limit";
    TempDir dir;
    make_dirs(dir / "in/sub");
    std::string text;
    for (unsigned n = 0; n < 40000; ++n)
        text += "\\begin{" + letter_name(n % 3000) + "}\\" + letter_name(n);
    write_file(dir / "in/a.tex", text);
    write_file(dir / "in/sub/b.tex", "\\sub");
    std::string whole;
    for (int limit_kib = 2048; limit_kib <= 65536; limit_kib += 2048) {
        make_dirs(dir / "work");
        write_file(dir / "work/command.lst", "old\r\n");
        write_file(dir / "work/environment.lst", "oldenv\r\n");
        ToolRun run = run_tool(dir / "work", {"../in"},
                               "ulimit -v " + std::to_string(limit_kib) + " && exec");
        bool started = run.status != 127; // too little even to load the program
        if (run.status == 0) {
            whole = read_file(dir / "work/command.lst");
            EXPECT_EQ(count_of(whole, "\r\n"), 40002u) << limit_kib;
        } else if (started) {
            EXPECT_EQ(run.status, 1) << limit_kib << ": " << run.err;
            EXPECT_NE(run.err.find("quillmap: out of memory\n"), std::string::npos) << limit_kib;
            EXPECT_EQ(read_file(dir / "work/command.lst"), "old\r\n") << limit_kib;
            EXPECT_EQ(read_file(dir / "work/environment.lst"), "oldenv\r\n") << limit_kib;
        }
        EXPECT_TRUE(temporary_files(dir / "work").empty()) << limit_kib;
        std::filesystem::remove_all(dir / "work");
    }
    EXPECT_FALSE(whole.empty()); // the largest limit is enough
}

} // namespace
