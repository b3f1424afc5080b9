// Who may read what of a job, and who may do what, on the PAPPL that Debian
// ships (interposed.cpp says what each mends).
#include "authorization.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "access.h"
#include "privacy.h"

namespace quillet::app {

namespace {

// Anyone may list the jobs, but a job's name, its owner and what its client
// said about itself are for its owner and the administrator alone.
constexpr std::array private_attributes = {"job-name", "job-originating-user-name", "job-originating-host-name",
                                           "document-name-supplied", "client-info"};

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

}  // namespace quillet::app
