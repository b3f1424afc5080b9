// Jobs' threads and devices on the PAPPL that Debian ships (job_threads.cpp
// says what each mends).
#pragma once

#include <pappl/pappl.h>

#include "pappl_functions.h"

namespace quillet::app {

// The device of a printer (real: PAPPL's own): a file printer's output file
// made for the job printing, a printer that does not answer said on the job.
pappl_device_t *open_device(DeviceOpen real, const char *device_uri, const char *name,
                            pappl_deverror_cb_t error_cb, void *error_data);

// A thread PAPPL starts for a job (real: PAPPL's own) prints the printer's
// oldest waiting job, once no other job of the printer prints.
void *process_job(JobProcess real, pappl_job_t *job);

}  // namespace quillet::app
