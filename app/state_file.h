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

}  // namespace quillet::app
