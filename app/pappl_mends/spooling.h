// Documents as they come, on the PAPPL that Debian ships: every one spooled
// within the server's bound, then submitted as a file; a client's jobs
// that wait for their documents counted (spooling.cpp says what each mends).
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "pappl_functions.h"

namespace quillet::app {

void set_max_document_size(uint64_t bytes);

// A document its client sends, spooled within the bound, then submitted as
// a file (submit: PAPPL's own) and answered with the job's attributes
// (copy_attributes: the application's, which withhold what is private).
void receive_document(SubmitFile submit, CopyJobAttributes copy_attributes, pappl_client_t *client,
                      pappl_job_t *job);

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

// PAPPL marks its state as changed when a job is made and when it ends,
// and saves it later, from its main loop; a document's arrival, which
// makes the job printable, marks nothing.  A crash then lost every job
// whose document had come since the last save: listed without one, it was
// aborted at the restart.  The state is saved before the client hears that
// its document is in (and again as it starts to print, in both builds).
void save_accepted_document(pappl_client_t *client);

}  // namespace quillet::app
