// The state on disk: jobs a crash interrupted, and saves that a crash at
// any moment leaves whole.
#pragma once

#include <pappl/pappl.h>
#include <sys/stat.h>

#include <optional>
#include <string>

namespace quillet::app {

// The state file's text with every job that was printing when the server
// stopped, and every waiting one whose spool file is gone, made aborted by
// the system: PAPPL would list the first as printing for good and drop the
// others altogether.  Waiting jobs with their documents print.
std::string interrupted_jobs_aborted(const std::string &state);

// Writes text to path so that a crash leaves the old or the new file.
bool replace_file(const std::string &path, const std::string &text);

// Saves the state so that a crash at any moment leaves the old or the new
// file: a temporary file beside it, flushed to disk, renamed over it.
bool save_state_atomically(pappl_system_t *system, const std::string &path);

// The server's state file, named once before the server runs, and a save
// of the state to it now (what PAPPL's save callback and the mends below
// call).
void keep_state_in(const std::string &path);
bool save_state_now(pappl_system_t *system);

// PAPPL marks its state as changed when a job is made and when it ends,
// and saves it later, from its main loop; a document's arrival, which
// makes the job printable, marks nothing.  A crash then lost every job
// whose document had come since the last save: listed without one, it was
// aborted at the restart.  The state is saved before the client hears that
// its document is in, unless the job is to start at once (it is saved as
// it starts).
void save_accepted_document(pappl_client_t *client, ipp_status_t status);

}  // namespace quillet::app
