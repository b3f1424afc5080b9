// How jobs reach the printer: one at a time, each once, and a printer
// that does not answer.
#pragma once

#include <pappl/pappl.h>

#include <optional>
#include <string>

#include "mends.h"

namespace quillet::app {

// Whether a job of the printer is ready to print.
bool has_job_to_start(pappl_printer_t *printer);

// Whether any printer is printing a job now.
bool printing_now(pappl_system_t *system);

// From now on no job starts (the server is stopping).  Safe in a signal
// handler, with no system; a PAPPL with packaging/pappl-patches applied
// learns it when it is called with the system, from the server's loop.
void stop_starting_jobs(pappl_system_t *system);

#if !QUILLET_PATCHED_PAPPL
// The device of a printer (real: PAPPL's own): a file printer's output file
// made for the job printing, a printer that does not answer said on the job.
pappl_device_t *open_device(DeviceOpen real, const char *device_uri, const char *name,
                            pappl_deverror_cb_t error_cb, void *error_data);

// A thread PAPPL starts for a job (real: PAPPL's own) prints the printer's
// oldest waiting job, once no other job of the printer prints.
void *process_job(JobProcess real, pappl_job_t *job);

// Removes the output files of the jobs printing now, which a stopping
// server cuts short (they end aborted at the next start).
void remove_cut_short_output();

// Why the device of the job being printed cannot be opened for good (a
// file printer's folder gone, or open to other users, or no room for the
// file); the device it was given takes nothing.
std::optional<std::string> device_refused(pappl_job_t *job);
#endif

}  // namespace quillet::app
