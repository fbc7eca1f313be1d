// Test helpers that depend on the platform: Windows (run under Wine here).
// Names are UTF-8 in the tests and UTF-16 at the system, as in the tool.
#include <windows.h>

#include <stdexcept>

#include "platform/platform_win32.h"
#include "test_support.h"

namespace {

// The extended-length form of an absolute path, as the tool makes it.
std::wstring extended(const std::string &path)
{
    return extended_length_path(widen(path), L"C:\\");
}

// Removes `path` (extended) and all below it; links are removed, not followed.
void remove_tree(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..")
                    remove_tree(path + L"\\" + name);
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace

TempDir::~TempDir()
{
    remove_tree(extended(path_));
}

void write_file(const std::string &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

void make_dirs(const std::string &path)
{
    std::wstring full = extended(path);
    // Each directory from the drive's root down; those there already stay.
    for (size_t at = full.find(L'\\', 7); at != std::wstring::npos; at = full.find(L'\\', at + 1))
        CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
    if (!CreateDirectoryW(full.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        throw std::runtime_error("cannot make " + path);
}

std::vector<std::string> listing_order(const std::string &directory)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((extended(directory) + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot list " + directory);
    do {
        std::string name = narrow(entry.cFileName);
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileW(find, &entry));
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
    HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + path);
    return file;
}

} // namespace

ToolRun run_tool(const std::string &cwd, const std::vector<std::string> &args,
                 const std::string &wrapper)
{
    TempDir capture;
    std::string out_path = capture / "out";
    std::string err_path = capture / "err";
    HANDLE out = inheritable_file(out_path);
    HANDLE err = inheritable_file(err_path);

    std::string exe = tool_path();
    std::string line = quoted(exe);
    for (const std::string &arg : args)
        line += " " + quoted(arg);
    if (!wrapper.empty()) {
        // A batch file, run by the command interpreter with the tool's
        // command line as its arguments.
        line = "cmd.exe /s /c \"" + quoted(wrapper) + " " + line + "\"";
        exe = "C:\\windows\\system32\\cmd.exe";
    }
    std::wstring wide_line = widen(line);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    // Wine has been seen to refuse a start once in a while (one test of one
    // CI run): a start is tried three times, each with a fresh command line,
    // which CreateProcessW may write to.
    BOOL started = FALSE;
    DWORD why = 0;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0)
            Sleep(200);
        std::wstring command = wide_line;
        started = CreateProcessW(widen(exe).c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                 nullptr, widen(cwd).c_str(), &startup, &process);
        why = started ? 0 : GetLastError();
    }
    CloseHandle(out);
    CloseHandle(err);
    if (!started)
        throw std::runtime_error("cannot start " + exe + ": error " + std::to_string(why));
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
