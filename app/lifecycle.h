// The server once it runs: the timers that keep its state, printers and
// jobs going, and how it stops.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "server_options.h"

namespace quillet::app {

// What the timers read, given once as the server starts.
struct RunningServer {
    ServerOptions chosen;
    bool dns_sd = false;
    std::string tls_folder;  // of the TLS key and certificate; empty: CUPS's
};

// Before the system runs, after its state is loaded: printers whose device
// cannot be used now stopped, saved media given the printer's margins, and
// every timer (and SIGTERM's handler, once the system runs) in place.
void start_timers(pappl_system_t *system, const RunningServer &server);

// Points libcups at the server's TLS folder for the system's host name.
void keep_tls_folder(pappl_system_t *system, const std::string &folder);

}  // namespace quillet::app
