// The hooks of mends.h for a PAPPL with the patches of
// packaging/pappl-patches: it mends at their source what the other files of
// this folder mend, and this file only uses what the patches add.
#include "mends.h"
#include "privacy.h"
#include "server_options.h"

namespace quillet::app {

std::optional<std::string> pappl_unfit()
{
    return std::nullopt;
}

void mend_saved_state(const std::string &, const std::string &)
{
    // PAPPL ends the jobs a stop interrupted as it loads the state (0009).
}

void mend_system(pappl_system_t *system, const ServerOptions &chosen)
{
    // Other users' job names and owners withheld (0005).
    papplSystemSetJobPrivacyCallback(system, reads_job, nullptr);
    // Documents spooled within the bound (0011).
    papplSystemSetMaxDocumentSize(system, static_cast<size_t>(chosen.max_document_bytes));
}

void mend_printer(pappl_printer_t *)
{
}

bool printing_now(pappl_system_t *system)
{
    bool printing = false;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *data) {
            *static_cast<bool *>(data) |= papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING;
        },
        &printing);
    return printing;
}

void stop_starting_jobs(pappl_system_t *system)
{
    // PAPPL starts no job once it is shutting down (0012).
    if (system)
        papplSystemShutdown(system);
}

void remove_cut_short_output()
{
    // PAPPL's own device makes a file printer's output file (0012): no list
    // of them is kept here.
}

std::optional<std::string> device_refused(pappl_job_t *)
{
    // A file device that cannot be opened ends its job as aborted, with the
    // device's words as its message (0012).
    return std::nullopt;
}

void set_printer_state_message(pappl_printer_t *printer, const char *message)
{
    papplPrinterSetStateMessage(printer, message);
}

}  // namespace quillet::app
