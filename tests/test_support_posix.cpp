// Test helpers that depend on the platform: POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "test_support.h"

std::vector<std::string> listing_order(const std::string &directory)
{
    std::vector<std::string> names;
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr)
        throw std::runtime_error("cannot list " + directory);
    while (const struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

ToolRun run_tool(const std::string &cwd, const std::vector<std::string> &args,
                 const std::string &wrapper)
{
    TempDir capture;
    std::string out_path = capture / "out";
    std::string err_path = capture / "err";
    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("cannot fork");
    if (child == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || chdir(cwd.c_str()) != 0)
            _exit(127);
        dup2(out, 1);
        dup2(err, 2);
        alarm(120); // survives exec: a run that hangs is killed and fails its test
        std::vector<char *> argv;
        std::string script = wrapper + " \"$0\" \"$@\"";
        if (!wrapper.empty()) {
            // Run through the shell so that the wrapper (a ulimit, a change of
            // user) applies; the tool and its arguments are the positional
            // parameters.
            argv.push_back(const_cast<char *>("sh"));
            argv.push_back(const_cast<char *>("-c"));
            argv.push_back(const_cast<char *>(script.c_str()));
        }
        argv.push_back(const_cast<char *>(QUILLMAP_EXE));
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (wrapper.empty())
            execv(QUILLMAP_EXE, argv.data());
        else
            execv("/bin/sh", argv.data());
        _exit(127);
    }
    int wait_status = 0;
    if (waitpid(child, &wait_status, 0) != child)
        throw std::runtime_error("cannot wait for the tool");
    ToolRun run;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    return run;
}
