#include "driver.h"

#ifdef __MINGW32__
// The arguments are directory names taken as they stand: the runtime must
// not expand wildcards in them ('*' is a name like any other).
extern "C" {
int _dowildcard = 0;
}
#endif

int main(int argc, char **argv)
{
    return run_quillmap(argc, argv);
}
