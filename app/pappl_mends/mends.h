// What the application does differently for the PAPPL it runs on.  PAPPL
// 1.3.1 to 1.4.9, which Debian ships, has faults that no public interface
// reaches: the application mends them with definitions in front of PAPPL's
// own (interposed.cpp says which and why) and the files of this folder.  A
// PAPPL with the patches of packaging/pappl-patches mends them at their
// source: for it the build takes patched_pappl.cpp alone, which does the
// same through the interfaces the patches add.
#pragma once

#include <pappl/pappl.h>

#include <optional>
#include <string>

namespace quillet::app {

struct ServerOptions;

// Why the server must not start on this PAPPL (a definition in front of
// it that it would not reach); nothing when it may.
std::optional<std::string> pappl_unfit();

// Before the saved state is loaded: jobs a stop interrupted end as
// aborted, and the jobs' saved attributes are read once.
void mend_saved_state(const std::string &state_file, const std::string &spool_directory);

// Once the system is made, before it runs: the bounds on documents and
// connections, and whose jobs a client may read about.
void mend_system(pappl_system_t *system, const ServerOptions &chosen);

// Every few seconds, for each printer.
void mend_printer(pappl_printer_t *printer);

// Whether any printer is printing a job now.
bool printing_now(pappl_system_t *system);

// From now on no job starts (the server is stopping).  Safe in a signal
// handler, with no system; a patched PAPPL learns it when it is called with
// the system, from the server's loop.
void stop_starting_jobs(pappl_system_t *system);

// As the server stops: the output files of the jobs it cuts short go (they
// end aborted at the next start).
void remove_cut_short_output();

// Why the device of the job being printed cannot be opened for good (a
// file printer's folder gone, or open to other users, or no room for the
// file); the device it was given then takes nothing.
std::optional<std::string> device_refused(pappl_job_t *job);

// What printer-state-message says of a printer stopped for its device;
// nullptr: PAPPL's own word for its state.
void set_printer_state_message(pappl_printer_t *printer, const char *message);

}  // namespace quillet::app
