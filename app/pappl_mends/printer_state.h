// A printer stopped for its device says why, on the PAPPL that Debian ships
// (interposed.cpp says what it mends).
#pragma once

#include <pappl/pappl.h>

#include "pappl_functions.h"

namespace quillet::app {

// A printer's state attributes (real: PAPPL's own), the message of one
// stopped for its device saying why (PAPPL's says "Stopped.").
void copy_printer_state(CopyPrinterState real, pappl_printer_t *printer, ipp_tag_t group, ipp_t *ipp,
                        pappl_client_t *client, cups_array_t *requested);

}  // namespace quillet::app
