// One job of a printer at a time, each job once, in the order they came,
// on the PAPPL that Debian ships.
//
// PAPPL 1.3 looks for a job in progress before it takes the printer's lock,
// and marks a job as printing only when the thread it started for it runs:
// two requests that end at once can start two threads for one job, or a job
// beside another.  Both then share the printer's one device; a file
// printer's device is closed by the first to end, under the second, and the
// server crashes.  Here (reached from _papplJobProcess, interposed.cpp) a
// job waits until no other job of its printer is printing.  PAPPL also
// starts the newest pending job first; a thread it starts prints the
// printer's oldest pending job that no thread has taken, or ends at once.
//
// A file printer: PAPPL writes NAME.prn in the folder, through any link and
// over any file of that name, and takes a name too long for a file name for
// a printer that does not answer.  The file is made here, named by the
// job's number, and handed to PAPPL by its descriptor.
//
// A printer that does not answer: PAPPL tries its device again every five
// seconds for as long as it takes, with no word on the job.  The job waits,
// and says why.
//
// packaging/pappl-patches (0010 and 0012) make PAPPL do all of this itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "device_policy.h"
#include "job_order.h"
#include "job_threads.h"
#include "mends.h"
#include "page_output.h"

namespace {

using quillet::app::NextJob;
using quillet::app::next_job;
using quillet::app::output_file_name;

// Set from the SIGTERM handler: lock-free.
std::atomic<bool> stopping = false;
static_assert(std::atomic<bool>::is_always_lock_free);

class JobOrder {
public:
    // The job a thread started for a job of this printer prints: the
    // printer's oldest pending job once the printer is free (PAPPL starts
    // the newest), or none when every pending job is taken or an older
    // job's document is still arriving (the jobs print in the order they
    // came, not the order their documents ended).
    pappl_job_t *take(pappl_printer_t *printer)
    {
        std::unique_lock lock(mutex_);
        free_.wait(lock, [&] { return !printing_.count(printer); });
        // A thread that waited for the printer while the server began to
        // stop starts nothing.
        if (stopping)
            return nullptr;
        const NextJob next = next_job(printer, taken_);
        pappl_job_t *oldest = next.oldest_pending;
        if (oldest && next.first_arriving && next.first_arriving < papplJobGetID(oldest))
            return nullptr;
        if (oldest) {
            taken_.insert(oldest);
            printing_[printer] = oldest;
        }
        return oldest;
    }
    void done(pappl_printer_t *printer, pappl_job_t *job)
    {
        std::lock_guard lock(mutex_);
        printing_.erase(printer);
        taken_.erase(job);
        free_.notify_all();
    }
    // Whether any printer is printing a job now.
    bool busy()
    {
        std::lock_guard lock(mutex_);
        return !printing_.empty();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    std::set<pappl_job_t *> taken_;
    std::map<pappl_printer_t *, pappl_job_t *> printing_;
};

JobOrder order;

// A file printer's output file for one job, made in the printer's folder,
// which only the server may write to: the job's number in its name, never
// a name that is there already, never through a link.
struct OutputFile {
    int folder = -1;
    std::string name;
    OutputFile() = default;
    OutputFile(OutputFile &&other) noexcept
        : folder(std::exchange(other.folder, -1)), name(std::move(other.name))
    {
    }
    OutputFile &operator=(OutputFile &&other) noexcept
    {
        if (this != &other) {
            reset();
            folder = std::exchange(other.folder, -1);
            name = std::move(other.name);
        }
        return *this;
    }
    ~OutputFile() { reset(); }
    void reset()
    {
        if (folder >= 0)
            close(folder);
        folder = -1;
        name.clear();
    }
};

// Opens the output file; -1 with the reason in why when the folder
// cannot take it, which no retry mends.
int open_output(pappl_job_t *job, const std::string &folder, OutputFile &output, std::string &why)
{
    output.folder = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info{};
    if (output.folder < 0 || fstat(output.folder, &info) != 0) {
        why = errno == ENOENT ? "The printer's output folder " + folder + " is gone."
                              : "The printer's output folder " + folder + " cannot be opened: " + std::strerror(errno) +
                                    ".";
        return -1;
    }
    if (!quillet::app::writable_only_by_owner(info)) {
        why = "The printer's output folder " + folder + " may be written by other users: nothing is written there.";
        return -1;
    }
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string name = output_file_name(job, attempt);
        const int fd = openat(output.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
        if (fd >= 0) {
            output.name = name;
            return fd;
        }
        if (errno != EEXIST)
            break;
    }
    why = "The output file for the job cannot be made in " + folder + ": " + std::strerror(errno) + ".";
    return -1;
}

// A job that ended before it wrote anything leaves no file, and one that
// was aborted (a full disk, a server stopped under it) none that it cut
// short: a printer would print what it holds as if it were whole.
void remove_unwanted_output(const OutputFile &output, bool aborted = false)
{
    struct stat info{};
    if (output.folder >= 0 && !output.name.empty() &&
        fstatat(output.folder, output.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        (info.st_size == 0 || aborted))
        unlinkat(output.folder, output.name.c_str(), 0);
}

// The jobs being printed, one per printer, and what their devices said.
// PAPPL opens a job's device with its printer's device URI and the job's
// name (and the device of no job, to probe it, by other names).
struct PrintingJob {
    pappl_job_t *job = nullptr;
    std::string device_uri;
    std::string name;
    bool waiting = false;      // the job's state says it waits for the device
    std::string refused;       // why the device cannot be opened, for good
    OutputFile output;         // a file printer's output file
};

class PrintingJobs {
public:
    PrintingJob &add(pappl_job_t *job)
    {
        PrintingJob started;
        started.job = job;
        const char *uri = papplPrinterGetDeviceURI(papplJobGetPrinter(job));
        const char *name = papplJobGetName(job);
        started.device_uri = uri ? uri : "";
        started.name = name ? name : "";
        const std::lock_guard hold(lock_);
        return jobs_.emplace_back(std::move(started));
    }
    // The output files of every job printing now, which the server cuts
    // short as it stops.
    void remove_outputs()
    {
        const std::lock_guard hold(lock_);
        for (const PrintingJob &printing : jobs_)
            remove_unwanted_output(printing.output, true);
    }
    void remove(const PrintingJob &ended)
    {
        const std::lock_guard hold(lock_);
        jobs_.remove_if([&](const PrintingJob &job) { return &job == &ended; });
    }
    PrintingJob *find(pappl_job_t *job)
    {
        const std::lock_guard hold(lock_);
        for (PrintingJob &printing : jobs_)
            if (printing.job == job)
                return &printing;
        return nullptr;
    }
    PrintingJob *opening(const char *device_uri, const char *name)
    {
        const std::lock_guard hold(lock_);
        for (PrintingJob &printing : jobs_)
            if (device_uri && name && printing.device_uri == device_uri && printing.name == name)
                return &printing;
        return nullptr;
    }

private:
    std::mutex lock_;
    std::list<PrintingJob> jobs_;  // each stays where it is while it prints
};
PrintingJobs printing_jobs;


// PAPPL's own error callback and its data, behind the application's, and
// the last error the device said.  A device keeps them for every later
// error it reports, so they are kept for as long as the server runs (one
// for each device URI and pair the library passes).
struct DeviceErrors {
    std::string device_uri;
    pappl_deverror_cb_t forward = nullptr;
    void *forward_data = nullptr;
    std::mutex lock;
    std::string last;
};
DeviceErrors &errors_of(const std::string &device_uri, pappl_deverror_cb_t forward, void *forward_data)
{
    static std::mutex mutex;
    static std::list<DeviceErrors> known;
    const std::lock_guard hold(mutex);
    for (DeviceErrors &errors : known)
        if (errors.device_uri == device_uri && errors.forward == forward && errors.forward_data == forward_data)
            return errors;
    DeviceErrors &added = known.emplace_back();
    added.device_uri = device_uri;
    added.forward = forward;
    added.forward_data = forward_data;
    return added;
}

void keep_device_error(const char *message, void *data)
{
    auto &errors = *static_cast<DeviceErrors *>(data);
    {
        const std::lock_guard hold(errors.lock);
        errors.last = message ? message : "";
    }
    if (errors.forward)
        errors.forward(message, errors.forward_data);
}


}  // namespace

namespace quillet::app {

std::optional<std::string> device_refused(pappl_job_t *job)
{
    const PrintingJob *printing = printing_jobs.find(job);
    if (!printing || printing->refused.empty())
        return std::nullopt;
    return printing->refused;
}

bool printing_now(pappl_system_t *)
{
    return order.busy();
}

pappl_device_t *open_device(DeviceOpen real, const char *device_uri, const char *name, pappl_deverror_cb_t error_cb,
                            void *error_data)
{
    const std::optional<quillet::app::DeviceUri> parts = quillet::app::split_device_uri(device_uri);
    const bool to_a_folder = parts && parts->scheme == "file" && parts->path != "/dev/null";
    PrintingJob *printing = printing_jobs.opening(device_uri, name);
    if (!printing) {
        // A file printer is only written by its jobs.
        if (to_a_folder) {
            if (error_cb)
                error_cb("A file printer is opened for its jobs only.", error_data);
            return nullptr;
        }
        return real(device_uri, name, error_cb, error_data);
    }
    pappl_job_t *job = printing->job;
    if (to_a_folder) {
        // The library would write NAME.prn through any link; the file is
        // made here and handed over by its descriptor.
        printing->output = OutputFile{};
        const int fd = open_output(job, parts->path, printing->output, printing->refused);
        if (fd < 0)
            return real("file:///dev/null", name, error_cb, error_data);
        const std::string by_descriptor = "file:///proc/self/fd/" + std::to_string(fd);
        pappl_device_t *device = real(by_descriptor.c_str(), name, error_cb, error_data);
        close(fd);
        return device;
    }
    DeviceErrors &errors = errors_of(device_uri, error_cb, error_data);
    {
        const std::lock_guard hold(errors.lock);
        errors.last.clear();
    }
    pappl_device_t *device = real(device_uri, name, keep_device_error, &errors);
    if (device) {
        if (printing->waiting) {
            papplJobSetReasons(job, PAPPL_JREASON_JOB_PRINTING, PAPPL_JREASON_PRINTER_STOPPED);
            papplJobSetMessage(job, "Printing.");
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The printer answers again.");
        }
        return device;
    }
    if (!printing->waiting) {
        printing->waiting = true;
        std::string said;
        {
            const std::lock_guard hold(errors.lock);
            said = errors.last;
        }
        const std::string why = "Waiting for the printer at " + std::string(device_uri) + ", which does not answer" +
                                (said.empty() ? std::string() : " (" + said + ")") + "; trying again every 5 seconds.";
        papplJobSetReasons(job, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "%s", why.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", why.c_str());
    }
    return nullptr;
}

void stop_starting_jobs(pappl_system_t *)
{
    stopping = true;
}

void remove_cut_short_output()
{
    printing_jobs.remove_outputs();
}

void *process_job(JobProcess real, pappl_job_t *job)
{
    // A server that is stopping starts no job: it waits, saved, for the
    // next start.
    if (stopping)
        return nullptr;
    pappl_printer_t *printer = papplJobGetPrinter(job);
    pappl_job_t *oldest = order.take(printer);
    if (!oldest)
        return nullptr;
    // A file the command line submits as .txt is plain text, which nothing
    // prints: PAPPL would end the job with its reason in the log alone.
    if (const char *format = papplJobGetFormat(oldest); format && !std::strcmp(format, "text/plain"))
        fail_job(oldest, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 "Plain text is not printed as it is; print it from an application (as PDF).");
    PrintingJob &printing = printing_jobs.add(oldest);
    void *result = real(oldest);
    remove_unwanted_output(printing.output, papplJobGetState(oldest) == IPP_JSTATE_ABORTED);
    printing_jobs.remove(printing);
    order.done(printer, oldest);
    return result;
}

}  // namespace quillet::app
