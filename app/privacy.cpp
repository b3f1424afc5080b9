// Whose jobs a client may read about: the job privacy callback of a patched
// PAPPL, and what pappl_mends/authorization.cpp asks on Debian's.
#include "privacy.h"

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "access.h"

namespace quillet::app {

namespace {

// Whether a client administers the server, asked once per request (a
// Get-Jobs answer copies every job, and a password is slow to check).
class Administrators {
public:
    bool ask(pappl_client_t *client)
    {
        // The local socket is the administrator's, asked or not; what is
        // kept below holds only for the same request with the same
        // credentials.
        if (on_local_socket(client))
            return true;
        const ipp_t *request = papplClientGetRequest(client);
        const char *given = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
        const std::string credentials = given ? given : "";
        {
            const std::lock_guard hold(lock_);
            if (auto known = answers_.find(client);
                known != answers_.end() && known->second.request == request && known->second.credentials == credentials)
                return known->second.administrator;
        }
        const bool administrator = is_administrator(client);
        const std::lock_guard hold(lock_);
        answers_[client] = {request, credentials, administrator};
        return administrator;
    }
    void forget(const pappl_client_t *client)
    {
        const std::lock_guard hold(lock_);
        answers_.erase(client);
    }

private:
    struct Answer {
        const ipp_t *request;
        std::string credentials;
        bool administrator;
    };
    std::mutex lock_;
    std::map<const pappl_client_t *, Answer> answers_;
};
Administrators administrators;

}  // namespace

// Whether the client may see this job's private attributes.
bool reads_job(pappl_client_t *client, pappl_job_t *job, void *)
{
    const char *user = papplClientGetUsername(client);
    if (!user || !*user)
        user = ippGetString(ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME), 0,
                            nullptr);
    const char *owner = papplJobGetUsername(job);
    if (user && owner && !std::strcmp(user, owner))
        return true;
    return administrators.ask(client);
}

void forget_request(const pappl_client_t *client)
{
    administrators.forget(client);
}

}  // namespace quillet::app
