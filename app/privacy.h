// Whose jobs a client may read about.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace quillet::app {

// Whether the client may read the job's private attributes: its name, its
// owner and what its client said about itself are for its owner and the
// administrator alone.
bool reads_job(pappl_client_t *client, pappl_job_t *job, void *);

// The client's request is answered: what was kept for it goes (on a
// PAPPL without the patches; elsewhere the next request of a client at the
// same place replaces it).
void forget_request(const pappl_client_t *client);

}  // namespace quillet::app
