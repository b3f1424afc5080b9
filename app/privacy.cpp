// Whose jobs a client may read about, who the client is, and what a user
// who adds a printer the driver refuses reads (see interposed.cpp for the
// fault each mends).  The printer's web page is the application's own:
// printer_page.cpp.
#include "privacy.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "access.h"

namespace quillet::app {

namespace {

// Anyone may list the jobs, but a job's name, its owner and what its client
// said about itself are for its owner and the administrator alone.
constexpr std::array private_attributes = {"job-name", "job-originating-user-name", "job-originating-host-name",
                                           "document-name-supplied", "client-info"};

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

void copy_job_attributes(CopyJobAttributes real, pappl_job_t *job, pappl_client_t *client, cups_array_t *requested)
{
    real(job, client, requested);
    // This job's attributes are the response's last group: the private
    // ones are dropped for a client who may not read them, and a second
    // attribute of a name for everyone.
    const bool withheld = !reads_job(client, job, nullptr);
    ipp_t *response = papplClientGetResponse(client);
    std::vector<ipp_attribute_t *> dropped;
    std::vector<std::string> seen;
    ipp_tag_t group = IPP_TAG_ZERO;
    for (ipp_attribute_t *attribute = ippFirstAttribute(response); attribute;
         attribute = ippNextAttribute(response)) {
        const char *name = ippGetName(attribute);
        if (!name || ippGetGroupTag(attribute) != group) {
            group = ippGetGroupTag(attribute);
            dropped.clear();
            seen.clear();
            if (!name)
                continue;
        }
        if (std::find(seen.begin(), seen.end(), name) != seen.end() ||
            (withheld && std::any_of(private_attributes.begin(), private_attributes.end(),
                                     [&](const char *secret) { return !std::strcmp(name, secret); })))
            dropped.push_back(attribute);
        else
            seen.emplace_back(name);
    }
    for (ipp_attribute_t *attribute : dropped)
        ippDeleteAttribute(response, attribute);
}

#if !QUILLET_PATCHED_PAPPL
http_status_t authorize_for_group(AuthorizeForGroup real, pappl_client_t *client, bool allow_remote,
                                  const char *group, gid_t group_id)
{
    const bool login = papplSystemGetAuthService(papplClientGetSystem(client)) != nullptr;
    // What is open to everyone is decided before PAPPL asks for TLS.
    if (!login)
        if (std::optional<http_status_t> decided = open_decision(client, group))
            return *decided;
    http_status_t status = real(client, allow_remote, group, group_id);
    if (!login || on_local_socket(client))
        return status;
    const std::string user = basic_user(client);
    const char *known = papplClientGetUsername(client);
    const std::string logged_in = known ? known : "";
    if (status == HTTP_STATUS_CONTINUE && !user.empty() && logged_in.empty())
        papplClientSetUsername(client, user.c_str());  // PAM has just taken the password
    else if (status == HTTP_STATUS_FORBIDDEN && !user.empty() && user == logged_in && group_id != static_cast<gid_t>(-1) &&
             in_group(user, group_id))
        status = HTTP_STATUS_CONTINUE;
    return status;
}
#endif

}  // namespace quillet::app
