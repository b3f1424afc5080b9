// What PAPPL drops of a printer's settings (interposed.cpp says what it
// mends): printer-location and printer-organization set over IPP.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

// After PAPPL has answered the client's request: a printer-location or
// printer-organization it took (and dropped) is kept.
void keep_location(pappl_client_t *client);

}  // namespace quillet::app
