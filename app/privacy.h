// Whose jobs a client may read about, and who the client is
// (interposed.cpp says what each mends in PAPPL).
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "mends.h"

namespace quillet::app {

// A job's attributes for a client (real: PAPPL's own): its private ones
// only for its owner and the administrator.
void copy_job_attributes(CopyJobAttributes real, pappl_job_t *job, pappl_client_t *client, cups_array_t *requested);

#if !QUILLET_PATCHED_PAPPL
// Who may do what, asked before PAPPL asks for TLS; a PAM login kept as the
// job's owner.
http_status_t authorize_for_group(AuthorizeForGroup real, pappl_client_t *client, bool allow_remote,
                                  const char *group, gid_t group_id);
#endif

// Whether the client may read the job's private attributes: its name, its
// owner and what its client said about itself are for its owner and the
// administrator alone.
bool reads_job(pappl_client_t *client, pappl_job_t *job, void *);

// The client's request is answered: what was kept for it goes (on a
// PAPPL without the patches; elsewhere the next request of a client at the
// same place replaces it).
void forget_request(const pappl_client_t *client);

}  // namespace quillet::app
