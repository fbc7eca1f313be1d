// The program's entry: the arguments handed to the run.
#include "driver.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "../platform/platform_win32.h"

// The arguments are directory names taken as they stand: the runtime must
// not expand wildcards in them ('*' is a name like any other). They come as
// UTF-16, so that no name is lost to the ANSI code page, and go on as UTF-8.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t **argv)
{
    std::vector<std::string> arguments = utf8_arguments(argc, argv);
    std::vector<char *> pointers;
    for (std::string &argument : arguments)
        pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    return run_quillmap(argc, pointers.data());
}
#else
int main(int argc, char **argv)
{
    return run_quillmap(argc, argv);
}
#endif
