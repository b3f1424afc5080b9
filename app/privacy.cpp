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

namespace {

bool is_private(const void *name)
{
    return std::any_of(private_attributes.begin(), private_attributes.end(),
                       [&](const char *secret) { return !std::strcmp(static_cast<const char *>(name), secret); });
}

// The names a withheld job's attributes are copied by: those asked for but
// the private ones, or, when every name is asked for, a list that holds
// every name but them (its one entry matches every other name).
cups_array_t *names_but_private(cups_array_t *requested)
{
    if (!requested) {
        cups_array_t *everything = cupsArrayNew(
            [](void *name, void *entry, void *) { return is_private(name) || is_private(entry) ? 1 : 0; }, nullptr);
        cupsArrayAdd(everything, const_cast<char *>(""));
        return everything;
    }
    cups_array_t *names = cupsArrayNew(
        [](void *a, void *b, void *) { return std::strcmp(static_cast<char *>(a), static_cast<char *>(b)); }, nullptr);
    for (void *name = cupsArrayFirst(requested); name; name = cupsArrayNext(requested))
        if (!is_private(name))
            cupsArrayAdd(names, name);
    return names;
}

}  // namespace

void copy_job_attributes(CopyJobAttributes real, pappl_job_t *job, pappl_client_t *client, cups_array_t *requested)
{
    // Left out as they are copied: a Get-Jobs answer costs what it holds
    // (libcups finds and deletes an attribute from the message's start).
    if (reads_job(client, job, nullptr))
        return real(job, client, requested);
    cups_array_t *names = names_but_private(requested);
    real(job, client, names);
    cupsArrayDelete(names);
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
