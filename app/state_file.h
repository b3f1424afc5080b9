// The state on disk: jobs a crash interrupted, and saves that a crash at
// any moment leaves whole.
#pragma once

#include <pappl/pappl.h>
#include <sys/stat.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::app {

// A state's text: each "Job" line with its options, what visit returns
// taking the line's place.
std::string with_job_lines(const std::string &state,
                           const std::function<std::string(const std::string &, int, cups_option_t *)> &visit);
// A job's line, ended now in state with reason.  An ended job without its
// time of ending is never cleaned out by PAPPL, nor any job after it.
std::string ended_as(std::string line, int count, cups_option_t *options, ipp_jstate_t state, pappl_jreason_t reason);
// A job line's state (ipp_jstate_t); 0 when it has none.
int state_of(int count, cups_option_t *options);

// Refuses a state file, or its folder, that is a link or that another
// user may write (whoever writes it sets the administrator's password),
// then locks the state for this server alone (shared: a private server
// that only reads it).  The reason when the server must not start.
std::optional<std::string> claim_state(const std::string &path, bool shared);

// Whether a state is whole: every printer in it closed, and the last one
// at its end.
bool state_is_whole(std::string_view text);

// Before the state is loaded: when it is not whole, the last good one
// (saved beside it as PATH.last) takes its place and the damaged one is
// kept as PATH.damaged; said in the log either way.
void load_last_good_state(pappl_system_t *system, const std::string &path);

// Calls visit with every job of every printer (only those that have not
// ended when active_only), under the printers' locks: visit neither
// cancels nor ends a job.
void for_each_job(pappl_system_t *system, bool active_only, const std::function<void(pappl_job_t *)> &visit);

// After the state is loaded: removes the spool files of jobs the state
// does not hold (a job made but never saved, one dropped from the state),
// which would stay for good; the number removed.
size_t remove_unowned_spool_files(pappl_system_t *system, const std::string &spool_directory);

// After the state is loaded: the message of each job that ended without
// completing, as it was saved beside the state (PATH.messages), which
// PAPPL's state does not keep.
void restore_job_messages(pappl_system_t *system, const std::string &state_path);

// Saves the state as replace_file writes, the state before it kept as
// PATH.last; false, logged with the reason, when the old file stays.
bool save_state_atomically(pappl_system_t *system, const std::string &path);
// The last save failed: the state is to be saved again without waiting for
// a change.
bool state_save_failed();

// The server's state file, named once before the server runs, and a save
// of the state to it now (what PAPPL's save callback and the mends below
// call).
void keep_state_in(const std::string &path);
bool save_state_now(pappl_system_t *system);

// A job printed in full is noted beside the state (PATH.printed) before
// PAPPL ends it as completed and saves that: a crash in between listed it
// as aborted.  The notes go once a saved state holds the job as ended.
void note_printed_job(pappl_job_t *job);
// Before the state is loaded: the jobs it holds as printing that were
// noted as printed in full are completed.
void complete_printed_jobs(pappl_system_t *system, const std::string &state_path);

}  // namespace quillet::app
