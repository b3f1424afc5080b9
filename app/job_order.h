// Which job of a printer prints next: the oldest that is ready, once every
// older job's document has come.
#pragma once

#include <pappl/pappl.h>

#include <set>

namespace quillet::app {

// The printer's oldest pending job with its document that is not in taken
// (none: nullptr), and the number of its oldest job whose document is
// still arriving (none: 0), which holds the jobs after it back.
struct NextJob {
    pappl_job_t *oldest_pending = nullptr;
    int first_arriving = 0;
};
NextJob next_job(pappl_printer_t *printer, const std::set<pappl_job_t *> &taken);

// Whether a job of the printer is ready to print.
bool has_job_to_start(pappl_printer_t *printer);

}  // namespace quillet::app
