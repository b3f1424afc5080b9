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
//
// A printer that does not answer: PAPPL tries its device again every five
// seconds for as long as it takes, with no word on the job.  A job from the
// spool waits, and says why; a raster streamed by its client would hold the
// client's request open all that time, so it ends at once with the reason.
#include <pappl/pappl.h>

#include "job_order.h"

#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

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

// The job this thread is printing, and what its device said.
struct CurrentJob {
    pappl_job_t *job = nullptr;
    bool streamed = false;
    bool waiting = false;       // the job's state says it waits for the device
    std::string device_error;   // the device's last error message
    std::string unreachable;    // a streamed job's device that did not open
};
thread_local CurrentJob current;

class Printing {
public:
    Printing(pappl_job_t *job, bool streamed)
    {
        current = CurrentJob{};
        current.job = job;
        current.streamed = streamed;
    }
    ~Printing() { current = CurrentJob{}; }
    Printing(const Printing &) = delete;
    Printing &operator=(const Printing &) = delete;
};

using quillet::app::next_definition;

// PAPPL's own error callback and its data, behind the application's.  A
// device keeps them for every later error it reports, so they are kept for
// as long as the server runs (one pair for each the library passes).
using ErrorCallback = std::pair<pappl_deverror_cb_t, void *>;
ErrorCallback *kept(ErrorCallback callback)
{
    static std::mutex mutex;
    static std::list<ErrorCallback> callbacks;
    std::lock_guard lock(mutex);
    for (ErrorCallback &known : callbacks)
        if (known == callback)
            return &known;
    return &callbacks.emplace_back(callback);
}

void keep_device_error(const char *message, void *forward_to)
{
    current.device_error = message ? message : "";
    if (const auto *next = static_cast<ErrorCallback *>(forward_to); next->first)
        next->first(message, next->second);
}

}  // namespace

namespace quillet::app {

std::optional<std::string> unreachable_device()
{
    if (current.unreachable.empty())
        return std::nullopt;
    return "The printer at " + current.unreachable + " does not answer" +
           (current.device_error.empty() ? std::string() : " (" + current.device_error + ")") +
           ": nothing was printed.";
}

}  // namespace quillet::app

extern "C" pappl_device_t *papplDeviceOpen(const char *device_uri, const char *name, pappl_deverror_cb_t error_cb,
                                           void *error_data)
{
    static const auto real = next_definition<pappl_device_t *(*)(const char *, const char *, pappl_deverror_cb_t,
                                                                   void *)>("papplDeviceOpen");
    if (!current.job)
        return real(device_uri, name, error_cb, error_data);
    pappl_device_t *device = real(device_uri, name, keep_device_error, kept({error_cb, error_data}));
    pappl_job_t *job = current.job;
    if (device) {
        if (current.waiting) {
            papplJobSetReasons(job, PAPPL_JREASON_JOB_PRINTING, PAPPL_JREASON_PRINTER_STOPPED);
            papplJobSetMessage(job, "Printing.");
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The printer answers again.");
        }
        return device;
    }
    if (current.streamed) {
        // The client is sending the pages now: the job ends, through a
        // device that takes nothing, with the reason (see start_job).
        current.unreachable = device_uri ? device_uri : "";
        return real("file:///dev/null", name, error_cb, error_data);
    }
    if (!current.waiting) {
        current.waiting = true;
        const std::string why = "Waiting for the printer at " + std::string(device_uri ? device_uri : "") +
                                ", which does not answer" +
                                (current.device_error.empty() ? std::string() : " (" + current.device_error + ")") +
                                "; trying again every 5 seconds.";
        papplJobSetReasons(job, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "%s", why.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", why.c_str());
    }
    return nullptr;
}

extern "C" void *_papplJobProcess(pappl_job_t *job)
{
    static const auto real = next_definition<void *(*)(pappl_job_t *)>("_papplJobProcess");
    pappl_printer_t *printer = papplJobGetPrinter(job);
    if (!order.take(job))
        return nullptr;
    void *result;
    {
        Printing printing(job, false);
        result = real(job);
    }
    order.done(printer, job);
    return result;
}

extern "C" void _papplJobProcessRaster(pappl_job_t *job, pappl_client_t *client)
{
    static const auto real = next_definition<void (*)(pappl_job_t *, pappl_client_t *)>("_papplJobProcessRaster");
    pappl_printer_t *printer = papplJobGetPrinter(job);
    order.take_streamed(job);
    {
        Printing printing(job, true);
        real(job, client);
    }
    order.done(printer, job);
}
