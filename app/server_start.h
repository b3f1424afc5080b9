// Making the server's system from the administrator's options: its state,
// spool, log, bounds, pages and printers, everything checked before it runs.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

inline constexpr const char *base_name = "quillet-printer-app";

// What this run of the program does, passed to make_system by papplMainloop:
// only the server itself needs a socket, folders and state of its own.
struct Startup {
    bool listing_drivers = false;  // the drivers sub-command: a system that never runs
    bool made_system = false;      // a server's system was made
};

// papplMainloop's system callback (data: the Startup); nullptr, with the
// reason on standard error, when the server must not start.
pappl_system_t *make_system(int num_options, cups_option_t *options, void *data);

}  // namespace quillet::app
