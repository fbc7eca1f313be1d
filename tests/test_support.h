// Helpers shared by the tests: scanning a byte string, temporary trees, and
// running the built tool.
#ifndef QUILLMAP_TEST_SUPPORT_H
#define QUILLMAP_TEST_SUPPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "formatted_model.h"

// Runs the real scanner over `bytes` through a buffer of `buffer_size` bytes
// and returns every name it yields, in order.
NameSequences scan_bytes(const std::string &bytes, size_t buffer_size);

// The same through the formatted-input model.
NameSequences model_bytes(const std::string &bytes);

// A fresh directory below the system's temporary directory, removed with all
// its contents (links are removed, not followed) when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

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

// Runs the built quillmap with `args` in the working directory `cwd`.
ToolRun run_tool(const std::string &cwd, const std::vector<std::string> &args,
                 const std::string &shell_prefix = "");

#endif
