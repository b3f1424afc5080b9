// Who may read what of a job, and who may do what, on the PAPPL that Debian
// ships (interposed.cpp says what each mends).
#pragma once

#include <pappl/pappl.h>

#include "pappl_functions.h"

namespace quillet::app {

// A job's attributes for a client (real: PAPPL's own): its private ones
// only for its owner and the administrator.
void copy_job_attributes(CopyJobAttributes real, pappl_job_t *job, pappl_client_t *client, cups_array_t *requested);

// Who may do what, asked before PAPPL asks for TLS; a PAM login kept as the
// job's owner.
http_status_t authorize_for_group(AuthorizeForGroup real, pappl_client_t *client, bool allow_remote,
                                  const char *group, gid_t group_id);

}  // namespace quillet::app
