// Documents as they come: every one spooled within the server's bound,
// then printed from its spool file; rasters read here.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "mends.h"

namespace quillet::app {

// The largest document a client may send, in bytes; a larger one is
// refused as it comes in.
inline constexpr uint64_t default_max_document_size = uint64_t{256} << 20;

#if !QUILLET_PATCHED_PAPPL
void set_max_document_size(uint64_t bytes);

// A document its client sends, spooled within the bound, then submitted as
// a file (submit: PAPPL's own) and answered with the job's attributes
// (copy_attributes: the application's, which withhold what is private).
void receive_document(SubmitFile submit, CopyJobAttributes copy_attributes, pappl_client_t *client,
                      pappl_job_t *job);
#endif

// Jobs a printer holds that have not ended (waiting for a document,
// waiting to print, printing); past them a new job is refused as busy, so
// that Create-Job without a document cannot grow the server without end.
inline constexpr int active_jobs_per_printer = 500;

// Seconds a job made without its document (Create-Job) waits for one
// unless the server is told otherwise (-o document-wait-limit); then it
// ends, canceled, with the reason.
inline constexpr int default_document_wait_seconds = 300;

// Ends each job that has waited longer than wait_seconds for its document;
// the number ended.
size_t end_jobs_without_document(pappl_system_t *system, int wait_seconds);

#if !QUILLET_PATCHED_PAPPL
// Finished jobs a printer may hold past those it keeps (max-completed-jobs):
// jobs that ended within the last minute, which this PAPPL cannot drop
// sooner.  Past them a new job is refused as busy until they are a minute
// old, so that jobs that end at once cannot grow the server without end.
inline constexpr int finished_jobs_within_a_minute = 500;

// Jobs one client (an address, or an IPv6 /64) may have waiting for their
// documents at once; past them its Create-Job is refused as busy.
inline constexpr size_t waiting_jobs_per_client = 20;

// Why the client's request may not make a new job (a Print-Job or a
// Create-Job past a bound above); nothing for any other request.
std::optional<std::string> new_job_refusal(pappl_client_t *client);

// After a request: the job a Create-Job made is counted as its client's
// while it waits for its document.
void count_waiting_job(pappl_client_t *client);
#endif

// PWG and Apple raster jobs, read from their spool file.
bool print_raster(pappl_job_t *job, pappl_device_t *device, void *);

}  // namespace quillet::app
