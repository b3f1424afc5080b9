// Documents as they arrive, on the PAPPL that Debian ships: spooled within
// the server's bound on a document's size, then submitted as a file.
//
// PAPPL prints a raster while its client still sends it, through libcups's
// reader: a raster sent while another job prints is refused (and listed as
// an aborted job), the job has no spool file to survive a restart, and
// every grey row is decoded a pixel at a time before the driver sees it.
// PAPPL spools other documents without a bound, and a full disk's short
// write is reported with errno's last value ("Success").  Here every
// document is written to the spool and submitted as a file, to wait its
// turn; the printer's document filter for a raster (print_raster) reads it
// run by run.  A client's jobs that wait for their documents are counted
// here too.  packaging/pappl-patches/0011 makes PAPPL spool so itself.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access.h"
#include "raster_jobs.h"
#include "page_output.h"
#include "spooling.h"
#include "files.h"
#include "state_file.h"

namespace quillet::app {

namespace {

std::atomic<uint64_t> max_document_bytes = default_max_document_size;

// Writes the request's document to the job's spool file, at most
// max_document_bytes of it; the IPP status and message that refuse it when
// it cannot be kept.
std::optional<std::pair<ipp_status_t, std::string>> spool(pappl_job_t *job, pappl_client_t *client,
                                                          std::array<char, 1024> &filename)
{
    const uint64_t most = max_document_bytes;
    const auto too_large = std::pair{IPP_STATUS_ERROR_REQUEST_ENTITY,
                                     "The document is larger than this server's limit of " + std::to_string(most) +
                                         " bytes."};
    http_t *http = papplClientGetHTTP(client);
    // A declared length is refused before a byte is read.
    if (const off_t declared = httpGetLength2(http); declared > 0 && static_cast<uint64_t>(declared) > most)
        return too_large;
    const int fd = papplJobOpenFile(job, filename.data(), filename.size(), nullptr, nullptr, "w");
    std::optional<std::string> error;
    if (fd < 0)
        error = std::strerror(errno);
    std::array<char, 65536> buffer;
    uint64_t total = 0;
    ssize_t got = 0;
    while (!error && (got = httpRead2(http, buffer.data(), buffer.size())) > 0) {
        total += static_cast<uint64_t>(got);
        if (total > most)
            break;
        error = write_all(fd, {buffer.data(), static_cast<size_t>(got)});
    }
    if (fd >= 0 && close(fd) != 0 && !error)
        error = std::strerror(errno);
    if (error || total > most || got < 0) {
        if (fd >= 0)
            unlink(filename.data());
        if (total > most)
            return too_large;
        if (got < 0)
            return std::pair{IPP_STATUS_ERROR_INTERNAL, std::string("The document could not be read from the client.")};
        return std::pair{IPP_STATUS_ERROR_INTERNAL, "The document could not be kept in the spool folder: " + *error + "."};
    }
    return std::nullopt;
}

}  // namespace

void set_max_document_size(uint64_t bytes)
{
    max_document_bytes = bytes;
}

void receive_document(SubmitFile submit, CopyJobAttributes copy_attributes, pappl_client_t *client,
                      pappl_job_t *job)
{
    std::array<char, 1024> filename{};
    if (const auto refused = spool(job, client, filename)) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, refused->second);
        papplJobCancel(job);
        papplClientRespondIPP(client, refused->first, "%s", refused->second.c_str());
        return;
    }
    // A raster cut short by its client prints up to where it stops, then
    // ends with the reason.
    submit(job, filename.data());
    save_accepted_document(client);
    // What PAPPL answers for a document, but job-state-message, which the
    // job's own thread may be replacing by now.
    papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
    const auto by_name = [](void *a, void *b, void *) {
        return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
    };
    cups_array_t *requested = cupsArrayNew(by_name, nullptr);
    for (const char *name : {"job-id", "job-state", "job-state-reasons", "job-uri"})
        cupsArrayAdd(requested, const_cast<char *>(name));
    copy_attributes(job, client, requested);
    cupsArrayDelete(requested);
}

namespace {

// The jobs each client made with Create-Job that may still wait for their
// documents, by printer id and job id.
class WaitingJobs {
public:
    void add(const std::string &client, int printer, int job)
    {
        const std::lock_guard hold(lock_);
        by_client_[client].emplace_back(printer, job);
    }
    // The client's jobs that still wait; those that no longer do go.
    size_t count(pappl_system_t *system, const std::string &client)
    {
        const std::lock_guard hold(lock_);
        auto found = by_client_.find(client);
        if (found == by_client_.end())
            return 0;
        std::erase_if(found->second, [&](const std::pair<int, int> &made) {
            pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, made.first, nullptr);
            pappl_job_t *job = printer ? papplPrinterFindJob(printer, made.second) : nullptr;
            return !job || papplJobGetState(job) >= IPP_JSTATE_PROCESSING || papplJobGetFilename(job);
        });
        const size_t waiting = found->second.size();
        if (!waiting)
            by_client_.erase(found);
        return waiting;
    }

private:
    std::mutex lock_;
    std::map<std::string, std::vector<std::pair<int, int>>> by_client_;
};
WaitingJobs waiting_jobs;

}  // namespace

std::optional<std::string> new_job_refusal(pappl_client_t *client)
{
    const ipp_op_t operation = ippGetOperation(papplClientGetRequest(client));
    pappl_printer_t *printer = papplClientGetPrinter(client);
    if ((operation != IPP_OP_PRINT_JOB && operation != IPP_OP_CREATE_JOB) || !printer)
        return std::nullopt;
    const int kept = papplPrinterGetMaxCompletedJobs(printer);
    if (papplPrinterGetNumberOfCompletedJobs(printer) >= std::max(kept, 0) + finished_jobs_within_a_minute)
        return "More than " + std::to_string(finished_jobs_within_a_minute) +
               " jobs of this printer ended within the last minute; it takes new jobs again as they grow older.";
    const std::string from = client_network(client);
    if (operation == IPP_OP_CREATE_JOB && !from.empty() &&
        waiting_jobs.count(papplClientGetSystem(client), from) >= waiting_jobs_per_client)
        return std::to_string(waiting_jobs_per_client) +
               " jobs of this client wait for their documents: send them, or cancel the jobs, first.";
    return std::nullopt;
}

void count_waiting_job(pappl_client_t *client)
{
    ipp_t *request = papplClientGetRequest(client);
    ipp_t *response = papplClientGetResponse(client);
    pappl_printer_t *printer = papplClientGetPrinter(client);
    if (!request || !response || !printer || ippGetOperation(request) != IPP_OP_CREATE_JOB ||
        ippGetStatusCode(response) >= IPP_STATUS_REDIRECTION_OTHER_SITE)
        return;
    const std::string from = client_network(client);
    if (ipp_attribute_t *id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER); id && !from.empty())
        waiting_jobs.add(from, papplPrinterGetID(printer), ippGetInteger(id, 0));
}

void save_accepted_document(pappl_client_t *client)
{
    // Even a job that starts at once: its thread saves it as it starts,
    // maybe after the client hears of it, and a crash in between would lose
    // it and give its number to the next job.
    save_state_now(papplClientGetSystem(client));
}

}  // namespace quillet::app
