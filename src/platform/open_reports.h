// Inside the platform layer: the reports being written, so that a run that
// ends early can remove their temporary files.
#ifndef QUILLMAP_OPEN_REPORTS_H
#define QUILLMAP_OPEN_REPORTS_H

#include "platform.h"

// Notes that `stream`, with a temporary file, is open (`open`) or closed.
void note_open_report(const ReportStream *stream, bool open);

#endif
