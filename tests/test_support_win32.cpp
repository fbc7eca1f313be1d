// Test helpers that depend on the platform: Windows (run under Wine here).
#include <windows.h>

#include <stdexcept>

#include "test_support.h"

std::vector<std::string> listing_order(const std::string &directory)
{
    std::vector<std::string> names;
    std::string pattern = directory;
    if (pattern.back() != '\\')
        pattern += '\\';
    pattern += "*.*";
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot list " + directory);
    do {
        std::string name = entry.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

namespace {

// The tool's path as the build knows it: a POSIX path when cross-built, which
// Wine shows as drive Z:.
std::string tool_path()
{
    std::string path = QUILLMAP_EXE;
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    return native(path);
}

// Quotes one argument by the rules that the runtime's start-up code undoes.
std::string quoted(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string text = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        text += c;
    }
    text.append(2 * backslashes, '\\');
    return text + "\"";
}

HANDLE inheritable_file(const std::string &path)
{
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + path);
    return file;
}

} // namespace

ToolRun run_tool(const std::string &cwd, const std::vector<std::string> &args,
                 const std::string &wrapper)
{
    if (!wrapper.empty())
        throw std::runtime_error("shell wrappers are for POSIX systems only");
    TempDir capture;
    std::string out_path = capture / "out";
    std::string err_path = capture / "err";
    HANDLE out = inheritable_file(out_path);
    HANDLE err = inheritable_file(err_path);

    std::string exe = tool_path();
    std::string line = quoted(exe);
    for (const std::string &arg : args)
        line += " " + quoted(arg);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  cwd.c_str(), &startup, &process);
    CloseHandle(out);
    CloseHandle(err);
    if (!started)
        throw std::runtime_error("cannot start " + exe);
    ToolRun run;
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    } else {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.status = static_cast<int>(code);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    return run;
}
