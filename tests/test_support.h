// Helpers shared by the tests: scanning a byte string, temporary trees, and
// running the built tool.
#ifndef QUILLMAP_TEST_SUPPORT_H
#define QUILLMAP_TEST_SUPPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "formatted_model.h"
#include "store/store.h"

// Runs the real scanner over `bytes` through a buffer of `buffer_size` bytes
// and returns every name it yields, in order.
NameSequences scan_bytes(const std::string &bytes, size_t buffer_size);

// The same through the formatted-input model.
NameSequences model_bytes(const std::string &bytes);

// Adds one name to a store, as the pipeline does, through a group of one.
void store_command(CommandTable *table, const std::string &name);
void store_environment(EnvironmentList *list, const std::string &name);

// The order of the ".lst" reports, for qsort over a NameArray: the names
// compared byte by byte as unsigned values, a prefix first. Returns -1, 0 or
// 1.
int name_order(const void *a, const void *b);

// The directory separator of the platform, and `path` with each '/' made
// into it.
extern const char kSep;
std::string native(std::string path);

// `text` as the platform's console streams write it: each "\n" becomes
// "\r\n" on Windows.
std::string console(const std::string &text);

// `text` with the reason of each "Cannot read PATH: REASON" line replaced by
// "REASON": the system's own wording, which tests on Windows cannot know.
std::string without_reasons(const std::string &text);

// The bytes of a report listing `names`: each name followed by CR LF.
std::string crlf_lines(const std::vector<std::string> &names);

// The n-th of a series of distinct names made of name characters only
// ("enva", "envb", ...; digits would end a name).
std::string letter_name(unsigned n);

// A fresh directory below the system's temporary directory, removed with all
// its contents (links are removed, not followed) when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // A path below the directory; '/' in `relative` becomes the separator.
    std::string operator/(const std::string &relative) const
    {
        return path_ + kSep + native(relative);
    }

  private:
    std::string path_;
};

// Paths are UTF-8 on Windows, and written through extended-length paths
// there, so that any name can be made, "aux.tex" and "dot." among them.
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void make_dirs(const std::string &path);

// The names in `directory` in the order the system lists them, without "."
// and "..".
std::vector<std::string> listing_order(const std::string &directory);

struct ToolRun {
    int status = -1; // exit status, or -1 when the tool did not exit normally
    std::string out; // standard output
    std::string err; // standard error
};

// Runs the built quillmap with `args` in the working directory `cwd`. A
// non-empty `wrapper` is shell text that the command is appended to, such as
// "ulimit -n 64 && exec" (POSIX); on Windows, a batch file that is given the
// command as its arguments (%*).
ToolRun run_tool(const std::string &cwd, const std::vector<std::string> &args,
                 const std::string &wrapper = "");

// True when the tests and the tool are built with a sanitizer, which reserves
// address space that a memory limit would refuse.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLMAP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLMAP_SANITIZED 1
#endif
#endif
#ifndef QUILLMAP_SANITIZED
#define QUILLMAP_SANITIZED 0
#endif

#endif
