#include "interposed.h"

#include <dlfcn.h>

#include <atomic>
#include <ctime>

#include "authorization.h"
#include "client_bounds.h"
#include "job_threads.h"
#include "pappl_functions.h"
#include "printer_attributes.h"
#include "printer_state.h"
#include "privacy.h"
#include "spooling.h"

// Every definition the application puts in front of PAPPL's own, built only
// for a PAPPL without the patches of packaging/pappl-patches.  Each calls
// the library's own through next_definition(), found when the server starts (interposition_failure()
// refuses to start without it); _papplJobCopyDocumentData also calls
// _papplJobSubmitFile and _papplJobCopyAttributesNoLock (the application's
// where it defines one, checked there too).  Every fault below was
// measured on Debian's PAPPL 1.3.1 and on PAPPL 1.4.9 built from its
// release, unless the comment says otherwise.

namespace {

template <typename Function>
Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

using namespace quillet::app;

// Job privacy, which PAPPL has no interface for: Get-Jobs and
// Get-Job-Attributes copy every job's name and owner to everyone.  (Restored
// jobs' job-id, job-uri and four more, sent twice, are mended in the saved
// files before PAPPL loads them: saved_job_attributes_once().)  Goes when
// PAPPL lets an application filter job attributes per client and restores a
// job's attributes once, each copy reading every attribute once
// (packaging/pappl-patches/0005-job-privacy-callback.patch,
// 0006-restored-jobs-keep-one-of-each-attribute.patch and
// 0007-copies-read-without-the-iteration-pointer.patch).
extern "C" void _papplJobCopyAttributesNoLock(pappl_job_t *job, pappl_client_t *client, cups_array_t *requested)
{
    static const auto real = next_definition<CopyJobAttributes>("_papplJobCopyAttributesNoLock");
    copy_job_attributes(real, job, client, requested);
}

// PAPPL asks for TLS before it asks the application's authorization
// callback, so plain ipp:// cannot print; with a PAM login it takes
// getgrouplist()'s count for an error (admin-group members by a
// supplementary group refused; mended in 1.4.7) and does not keep the login
// as the job's owner.  Goes when PAPPL asks the callback first and keeps
// the login
// (packaging/pappl-patches/0008-authorization-callback-before-tls.patch;
// 1.4.7 counts the groups right).
extern "C" http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t *client, bool allow_remote,
                                                          const char *group, gid_t group_id)
{
    static const auto real = next_definition<AuthorizeForGroup>("_papplClientIsAuthorizedForGroup");
    return authorize_for_group(real, client, allow_remote, group, group_id);
}

// Finished jobs are dropped only a minute after they end (see
// packaging/pappl-patches/0001-clean-oldest-completed-jobs-first.patch), so
// a client whose jobs end at once grew a printer's jobs without end: 3,000
// in 45 s, every Get-Jobs and Print-Job slower with each.  And a client
// could make jobs that wait for a document up to the printer's bound of
// active jobs.  Here, once its printer says who it is, a new job past
// either bound is refused as busy, with the reason (new_job_refusal()).
// Goes when PAPPL drops the oldest finished jobs as jobs end
// (packaging/pappl-patches/0001-clean-oldest-completed-jobs-first.patch)
// and bounds a client's jobs without a document (PAPPL keeps no job's
// client address; the patched build goes without this bound).
extern "C" bool _papplPrinterIsAuthorized(pappl_client_t *client)
{
    static const auto real = next_definition<PrinterIsAuthorized>("_papplPrinterIsAuthorized");
    if (!real(client))
        return false;
    const std::optional<std::string> refusal = new_job_refusal(client);
    if (!refusal)
        return true;
    // Logged once a minute at most: a flood would fill the log.
    static std::atomic<time_t> last_logged{0};
    if (const time_t now = time(nullptr); now - last_logged >= 60) {
        last_logged = now;
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "New job refused (and others within a minute, unlogged): %s",
                       refusal->c_str());
    }
    papplClientRespondIPP(client, IPP_STATUS_ERROR_BUSY, "%s", refusal->c_str());
    return false;
}

// A printer's printer-state-message is PAPPL's word for its state alone
// ("Stopped."), which no call of PAPPL's sets: a printer stopped because
// its device cannot be used (a server started without its output folder,
// a folder not mounted yet) says why here.  Goes when PAPPL lets an
// application set a printer's state message
// (packaging/pappl-patches/0013-printer-state-message.patch).
extern "C" void _papplPrinterCopyStateNoLock(pappl_printer_t *printer, ipp_tag_t group, ipp_t *ipp,
                                             pappl_client_t *client, cups_array_t *requested)
{
    static const auto real = next_definition<CopyPrinterState>("_papplPrinterCopyStateNoLock");
    copy_printer_state(real, printer, group, ipp, client, requested);
}

// File printers: the output file is written through links, over files of
// the same name, and a name too long for a file is taken for a printer that
// does not answer, retried for ever.  A printer that does not answer: no
// word on the job.  Goes when PAPPL's file device opens files safely under
// names of the job's own and tells lasting errors from passing ones, and a
// job says why it waits
// (packaging/pappl-patches/0012-devices-opened-for-their-job.patch).  PAPPL
// 1.4's papplDeviceAddScheme2() could replace the file scheme, but a
// device's callbacks learn the job's name only; on 1.3.1, which Debian 12
// and 13 ship, a scheme added before PAPPL's own loses socket and usb.
extern "C" pappl_device_t *papplDeviceOpen(const char *device_uri, const char *name, pappl_deverror_cb_t error_cb,
                                           void *error_data)
{
    static const auto real = next_definition<DeviceOpen>("papplDeviceOpen");
    return open_device(real, device_uri, name, error_cb, error_data);
}

// Two threads for one job, or a job beside another (the server crashes on
// a file printer, 1.3.1), the newest pending job printed first, and jobs
// started while the server stops.  Also the hook that tells the device
// which job it opens for.  Goes when PAPPL takes the printer before it
// starts a job's thread, keeps the order jobs came in, starts no job once
// it shuts down and opens a device for its job
// (packaging/pappl-patches/0010-jobs-start-one-at-a-time-oldest-first.patch,
// 0012-devices-opened-for-their-job.patch).
extern "C" void *_papplJobProcess(pappl_job_t *job)
{
    static const auto real = next_definition<JobProcess>("_papplJobProcess");
    return process_job(real, job);
}

// A raster is printed while its client sends it, through libcups's reader
// a pixel at a time: no spool file, so nothing to print after a restart,
// and a raster sent while another job prints refused as server-error-busy
// (the job listed as aborted).  Other documents are spooled without a
// bound on their size, and a full disk's short write is reported as
// "Unable to write print file: Success".  Here every document is spooled
// within the server's bound and submitted as a file (a raster for the
// application's own raster filter), and waits its turn.  Goes when PAPPL
// spools rasters and lets a filter take them, bounds a document's size and
// saves a waiting job before it answers
// (packaging/pappl-patches/0011-documents-spooled-within-a-bound.patch).
extern "C" void _papplJobCopyDocumentData(pappl_client_t *client, pappl_job_t *job)
{
    static const auto submit = reinterpret_cast<SubmitFile>(dlsym(RTLD_DEFAULT, "_papplJobSubmitFile"));
    static const auto copy_attributes =
        reinterpret_cast<CopyJobAttributes>(dlsym(RTLD_DEFAULT, "_papplJobCopyAttributesNoLock"));
    receive_document(submit, copy_attributes, client, job);
}

// Get-Printer-Attributes with a requested-attributes of 1,000 "all" takes
// 26 s of a core, without a login (libcups's array of the names, which
// PAPPL builds from the request).  And printer-location and
// printer-organization set with Set-Printer-Attributes are answered as done
// and dropped (PAPPL gives them to papplPrinterSetGeoLocation()).  Goes
// when PAPPL names each requested attribute once before it builds the
// array, and keeps the location and organization
// (packaging/pappl-patches/0003-name-requested-attributes-once.patch and
// 0004-keep-printer-location-and-organization.patch).
extern "C" bool _papplClientProcessIPP(pappl_client_t *client)
{
    static const auto real = next_definition<ClientProcessIpp>("_papplClientProcessIPP");
    name_requested_attributes_once(papplClientGetRequest(client));
    const bool answered = real(client);
    count_waiting_job(client);
    keep_location(client);
    forget_request(client);
    return answered;
}
