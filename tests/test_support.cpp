#include "test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "scan/scan.h"

NameSequences scan_bytes(const std::string &bytes, size_t buffer_size)
{
    NameSequences names;
    FILE *stream = stream_holding(bytes);
    if (stream == nullptr)
        throw std::runtime_error("cannot make a temporary file");
    SourceBuffer buffer;
    if (!source_buffer_init(&buffer, stream, buffer_size))
        throw std::runtime_error("out of memory");
    Scanner scanner;
    scanner_init(&scanner);
    for (;;) {
        ScanToken token = scanner_next(&scanner, &buffer);
        if (token == kTokenCommand)
            names.commands.emplace_back(scanner.name, scanner.name_length);
        else if (token == kTokenEnvironment)
            names.environments.emplace_back(scanner.name, scanner.name_length);
        else
            break;
    }
    source_buffer_release(&buffer);
    fclose(stream);
    return names;
}

NameSequences model_bytes(const std::string &bytes)
{
    FILE *stream = stream_holding(bytes);
    if (stream == nullptr)
        throw std::runtime_error("cannot make a temporary file");
    NameSequences names = formatted_model_scan(stream);
    fclose(stream);
    return names;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quillmap-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool file_exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void make_dirs(const std::string &path)
{
    std::filesystem::create_directories(path);
}

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
