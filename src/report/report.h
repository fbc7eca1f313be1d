// Report files: the four plain lists a run leaves in the working directory.
//
// "command.all" and "environment.all" list the names in the stores' own order
// and are appended to (the run deletes them when it starts); "command.lst"
// and "environment.lst" list them sorted by name_order() and are truncated
// first. Every line is a name followed by CR LF, on every platform.
// "environment.all" is not created when no environment name was found.
#ifndef QUILLMAP_REPORT_H
#define QUILLMAP_REPORT_H

#include "../store/store.h"

// Writes the four reports. A report that cannot be opened, written or closed
// gives "Cannot write NAME: REASON" on standard error and the others are still
// written. Returns 0 when every report was written, 1 when one or more failed,
// and -1 when memory ran out (no message; the caller reports it).
int write_reports(const CommandTable *table, const EnvironmentList *list);

// Writes "environment.all" from the list, newest name first, unless the list
// is empty. Returns the number of names in the list; a failure is counted in
// *failures.
int write_environment_all(const EnvironmentList *list, int *failures);

// Writes "command.all" from the table in table order, creating it even when
// the table is empty. A failure is counted in *failures.
void write_command_all(const CommandTable *table, int *failures);

// Sorts `count` names into name_order() order, faster than a comparison sort
// over whole names when many share long prefixes. Returns false (the array
// unchanged) when memory runs out.
bool sort_names(NameArray names, int count);

// The sort order of the ".lst" reports, for qsort over a NameArray: compares
// the names that slots `a` and `b` point to byte by byte as unsigned values
// (a prefix first). Returns -1, 0 or 1.
int name_order(const void *a, const void *b);

#endif
