// One job of a printer at a time, each job once.
//
// PAPPL 1.3 looks for a job in progress before it takes the printer's lock,
// and marks a job as printing only when the thread it started for it runs:
// two requests that end at once can start two threads for one job, or a job
// beside another.  Both then share the printer's one device; a file
// printer's device is closed by the first to end, under the second, and the
// server crashes.  PAPPL starts a job's thread with _papplJobProcess and
// prints a streamed raster with _papplJobProcessRaster; both are exported
// and reached through the dynamic linker, so the application defines them:
// a thread for a job already taken, or no longer pending, ends at once, and
// a job waits until no other job of its printer is printing.
#include <pappl/pappl.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "next_definition.h"

namespace {

class JobOrder {
public:
    // False when this job is being printed already, or is not pending.
    bool take(pappl_job_t *job)
    {
        std::unique_lock lock(mutex_);
        if (taken_.count(job) || papplJobGetState(job) != IPP_JSTATE_PENDING)
            return false;
        taken_.insert(job);
        pappl_printer_t *printer = papplJobGetPrinter(job);
        free_.wait(lock, [&] { return !printing_.count(printer); });
        // Cancelled while it waited: PAPPL has ended it already.
        if (papplJobGetState(job) != IPP_JSTATE_PENDING) {
            taken_.erase(job);
            return false;
        }
        printing_[printer] = job;
        return true;
    }
    // Waits until the printer is free for a streamed job.
    void take_streamed(pappl_job_t *job)
    {
        std::unique_lock lock(mutex_);
        pappl_printer_t *printer = papplJobGetPrinter(job);
        free_.wait(lock, [&] { return !printing_.count(printer); });
        printing_[printer] = job;
    }
    void done(pappl_printer_t *printer, pappl_job_t *job)
    {
        std::lock_guard lock(mutex_);
        printing_.erase(printer);
        taken_.erase(job);
        free_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    std::set<pappl_job_t *> taken_;
    std::map<pappl_printer_t *, pappl_job_t *> printing_;
};

JobOrder order;

using quillet::app::next_definition;

}  // namespace

extern "C" void *_papplJobProcess(pappl_job_t *job)
{
    static const auto real = next_definition<void *(*)(pappl_job_t *)>("_papplJobProcess");
    pappl_printer_t *printer = papplJobGetPrinter(job);
    if (!order.take(job))
        return nullptr;
    void *result = real(job);
    order.done(printer, job);
    return result;
}

extern "C" void _papplJobProcessRaster(pappl_job_t *job, pappl_client_t *client)
{
    static const auto real = next_definition<void (*)(pappl_job_t *, pappl_client_t *)>("_papplJobProcessRaster");
    pappl_printer_t *printer = papplJobGetPrinter(job);
    order.take_streamed(job);
    real(job, client);
    order.done(printer, job);
}
