// Report files: the four plain lists a run leaves in the working directory.
//
// "command.all" and "environment.all" list the names in the stores' own order
// (the run deletes them when it starts); "command.lst" and "environment.lst"
// list them sorted, byte by byte as unsigned values with a prefix first.
// Every line is a name followed by CR LF, on every platform.
// "environment.all" is not created when no environment name was found.
#ifndef QUILLMAP_REPORT_H
#define QUILLMAP_REPORT_H

#include "../store/store.h"

// Why a store-order report of an earlier run could not be removed (an errno
// value), or 0 when it was removed or was not there.
struct StaleReports {
    int environment_all;
    int command_all;
};

// Removes "environment.all" and "command.all", which a run writes afresh,
// and tells which could not be removed; removes too the temporary files that
// runs killed while they wrote their reports left beside them (this user's,
// and none that a live run holds).
StaleReports remove_store_order_reports();

// Writes the four reports, each to a temporary file beside it; once all four
// are whole, they take their places one right after another, so that an
// interrupted run leaves the reports as they were or all whole. (A pipe, a
// device, or a report beside which no file can be made is written in place.)
// Everything the phase allocates is allocated before the first report is
// opened. A report that cannot be opened, written or
// closed, or a store-order report that `stale` says is an earlier run's (it
// is then left alone, not appended to), gives "Cannot write NAME: REASON" on
// standard error after the others are written, in the order environment.all,
// command.all, command.lst, environment.lst. Returns 0 when every report was
// written, 1 otherwise.
int write_reports(const CommandTable *table, const EnvironmentList *list, StaleReports stale);

// The working space for sorting up to a given number of names, made before
// any report is opened.
struct SortRoom;
SortRoom *sort_room_new(int count);
void sort_room_free(SortRoom *room);

// Sorts `count` names into the order of the ".lst" reports (bytes compared
// as unsigned values, a prefix first), eight bytes a level: a level
// of many keys by radix, a small one by comparison. `room` was made for at
// least `count` names, which lie as the stores keep them (each on a name
// word, padded with zeros to one; any other ends the run as an internal
// error). As the names from the first on reach their final
// places, `sorted` (when given) is called with `context` and how many are:
// every few thousand names, and with `count` at the end (unless it is 0).
void sort_names(NameArray names, int count, SortRoom *room,
                void (*sorted)(void *context, int count) = nullptr, void *context = nullptr);

#endif
