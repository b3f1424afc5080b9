// PDF and PostScript: rendered by Ghostscript (-dSAFER, bounded in memory,
// time, bytes and files, as the conversion's own user in its scratch
// folder) into the printer's dots, screened with the job's screen.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

// Whether Ghostscript is installed.
bool ghostscript_installed();
// The filter of PDF and PostScript documents.
bool print_pdf(pappl_job_t *job, pappl_device_t *device, void *);

}  // namespace quillet::app
