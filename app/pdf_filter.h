// The filter of PDF and PostScript documents: pages rendered by Ghostscript
// into the printer's dots at the job's resolution and paper size, screened
// with the job's screen, cut or fitted to what the printer prints.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

bool print_pdf(pappl_job_t *job, pappl_device_t *device, void *);

}  // namespace quillet::app
