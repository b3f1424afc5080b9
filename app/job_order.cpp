// Which job of a printer prints next.  Jobs print one at a time, each
// once, in the order they came: PAPPL's own scheduling does it with the
// patches of packaging/pappl-patches, pappl_mends/job_threads.cpp on the
// PAPPL that Debian ships; both ask here.
#include "job_order.h"

#include <ctime>

namespace quillet::app {

namespace {

// How long a job whose document is still arriving keeps the jobs after it
// waiting (a client that made a job and never sent its document holds
// nothing for longer).
constexpr time_t longest_arrival = 120;

struct Walk {
    const std::set<pappl_job_t *> *taken;
    NextJob next;
};
void keep_oldest(pappl_job_t *job, void *data)
{
    auto &walk = *static_cast<Walk *>(data);
    NextJob &next = walk.next;
    // A job still arriving is held, without a spool file, and was not held
    // by its client.
    const int id = papplJobGetID(job);
    if (papplJobGetState(job) == IPP_JSTATE_HELD && !papplJobGetFilename(job) &&
        !(papplJobGetReasons(job) & PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED) &&
        time(nullptr) - papplJobGetTimeCreated(job) < longest_arrival &&
        (!next.first_arriving || id < next.first_arriving))
        next.first_arriving = id;
    if (walk.taken->count(job) || papplJobGetState(job) != IPP_JSTATE_PENDING || !papplJobGetFilename(job))
        return;
    if (!next.oldest_pending || id < papplJobGetID(next.oldest_pending))
        next.oldest_pending = job;
}

}  // namespace

NextJob next_job(pappl_printer_t *printer, const std::set<pappl_job_t *> &taken)
{
    Walk walk{&taken, {}};
    papplPrinterIterateActiveJobs(printer, keep_oldest, &walk, 1, 0);
    return walk.next;
}

bool has_job_to_start(pappl_printer_t *printer)
{
    return next_job(printer, {}).oldest_pending != nullptr;
}

}  // namespace quillet::app
