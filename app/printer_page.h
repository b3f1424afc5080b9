// The printer's web page, in place of PAPPL's: its state and how many jobs
// wait, its jobs (a job's name and owner for its owner and the
// administrator alone), and the administrator's actions for the
// administrator alone.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

// Puts the page in place of PAPPL's for a printer just created or loaded
// (the driver's create callback).
void replace_printer_page(pappl_printer_t *printer, void *);

// The home page in place of PAPPL's: the printers and their state, with no
// form of the administrator's (added before the system runs).
void add_home_page(pappl_system_t *system);

}  // namespace quillet::app
