// Run driver: the run sequence and the directory walk.
#ifndef QUILLMAP_DRIVER_H
#define QUILLMAP_DRIVER_H

#include <string>

#include "../ahead/ahead.h"
#include "../collect/collect.h"

// Walks the tree below `directory`, a path ending with the separator,
// depth-first in the platform's listing order: entries whose name begins with
// '.' are passed over, directories (and links to directories) are walked at
// once, and each plain file whose extension marks a source is announced on
// standard error and added to the pipeline. Each directory is walked once,
// however many links lead to it, so cycles and joins of links end. A
// directory below the top that cannot be opened is passed over silently.
// Returns 0, or 1 when `directory` itself cannot be listed or a listing
// failed part way (both said on standard error as "Cannot read DIR: REASON").
// The system is asked through `ahead`, which reads ahead where that pays.
int walk_tree(const std::string &directory, Ahead *ahead, Collector *collector);

// Writes a progress or failure message, formatted as by printf, to standard
// error in one piece. Once a message cannot be written, the later ones are
// dropped.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Says "quillmap: out of memory", removes the temporary files of any report
// being written, and ends the process with status 1; on a thread that reads
// ahead, throws std::bad_alloc instead, for the request to be made again by
// the walk.
void out_of_memory();

// The whole run: usage lines, the lock on the working directory, removal of
// the old store-order reports, the walk of every argument, the reports,
// release. Returns the process exit status: 0, or 1 when a report could not
// be written, an argument could not be listed or a listing failed part way.
// When memory runs out, anywhere, "quillmap: out of memory" is written and
// the process ends with status 1.
int run_quillmap(int argc, char **argv);

#endif
