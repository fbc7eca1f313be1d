// The reports being written, on every platform.
#include "open_reports.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The reports open at once (four at most), so that a run ending early can
// remove their temporary files without allocating.
std::mutex open_reports_lock;
const ReportStream *open_reports[8];

} // namespace

const char kTemporaryMark[] = ".quillmap-";

const char *report_error_text(int error)
{
    if (error == kReportLinkRefused)
        return "it is another user's link in a shared directory";
    return strerror(error);
}

void note_open_report(const ReportStream *stream, bool open)
{
    std::lock_guard<std::mutex> guard(open_reports_lock);
    for (const ReportStream *&slot : open_reports)
        if (slot == (open ? nullptr : stream)) {
            slot = open ? stream : nullptr;
            return;
        }
}

void report_streams_abandon()
{
    std::lock_guard<std::mutex> guard(open_reports_lock);
    for (const ReportStream *&slot : open_reports)
        if (slot != nullptr) {
            remove(slot->temporary.c_str());
            slot = nullptr;
        }
}
