// Run driver and directory walk.
#ifndef QUILLMAP_DRIVER_H
#define QUILLMAP_DRIVER_H

#include <string>

#include "../store/store.h"

// Walks the tree below `directory`, a path ending with the separator,
// depth-first in the platform's listing order: entries whose name begins with
// '.' are passed over, directories (and links to directories) are walked at
// once, plain files go to scan_source(), and pipes, sockets and devices are
// passed over. A directory already being walked higher up the same descent is
// not entered again, so cycles of links end. Returns 0 after the last entry,
// 1 when the directory cannot be listed (silently skipped), and -1 when memory
// ran out (the walk stops at once).
int walk_tree(const std::string &directory, CommandTable *table, EnvironmentList *list);

// The whole run: usage lines, removal of the old store-order reports, the walk
// of every argument, the reports, release. Returns the process exit status:
// 0, or 1 when a report could not be written or memory ran out.
int run_quillmap(int argc, char **argv);

#endif
