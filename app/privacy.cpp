// Whose jobs a client may read about and cancel, who the client is, and
// what a user who adds a printer the driver refuses reads (see
// interposed.cpp for the fault each mends).  The printer's web page is the
// application's own: printer_page.cpp.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mends.h"
#include "access.h"

namespace quillet::app {

namespace {

// Anyone may list the jobs, but a job's name, its owner and what its client
// said about itself are for its owner and the administrator alone.
constexpr std::array private_attributes = {"job-name", "job-originating-user-name", "job-originating-host-name",
                                           "document-name-supplied", "client-info"};

// Whether the client may see this job's private attributes.
bool reads_job(pappl_client_t *client, pappl_job_t *job)
{
    const char *user = papplClientGetUsername(client);
    if (!user || !*user)
        user = ippGetString(ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME), 0,
                            nullptr);
    const char *owner = papplJobGetUsername(job);
    if (user && owner && !std::strcmp(user, owner))
        return true;
    // Asked once per request: a Get-Jobs answer copies every job.
    thread_local const ipp_t *asked_for = nullptr;
    thread_local std::string asked_with;
    thread_local bool administrator = false;
    const ipp_t *request = papplClientGetRequest(client);
    const char *credentials = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (request != asked_for || asked_with != (credentials ? credentials : "")) {
        asked_for = request;
        asked_with = credentials ? credentials : "";
        administrator = is_administrator(client);
    }
    return administrator;
}

// Whether the client's request is Cancel-My-Jobs.
bool cancels_own_jobs(pappl_client_t *client)
{
    ipp_t *request = papplClientGetRequest(client);
    return request && ippGetOperation(request) == IPP_OP_CANCEL_MY_JOBS;
}

// Why the driver refused the printer being added on this thread.
thread_local std::string printer_refusal;

}  // namespace

void copy_job_attributes(CopyJobAttributes real, pappl_job_t *job, pappl_client_t *client, cups_array_t *requested)
{
    real(job, client, requested);
    // This job's attributes are the response's last group: the private
    // ones are dropped for a client who may not read them, and a second
    // attribute of a name for everyone.
    const bool withheld = !reads_job(client, job);
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

http_status_t authorize_for_group(AuthorizeForGroup real, pappl_client_t *client, bool allow_remote,
                                  const char *group, gid_t group_id)
{
    note_client(client);
    const bool login = papplSystemGetAuthService(papplClientGetSystem(client)) != nullptr;
    // What is open to everyone is decided before PAPPL asks for TLS.
    if (!login)
        if (std::optional<http_status_t> decided = open_decision(client, group))
            return *decided;
    http_status_t status = real(client, allow_remote, group, group_id);
    if (!login || httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL)
        return status;
    const std::string user = basic_user(client);
    const char *known = papplClientGetUsername(client);
    const std::string logged_in = known ? known : "";
    if (status == HTTP_STATUS_CONTINUE && !user.empty() && logged_in.empty())
        papplClientSetUsername(client, user.c_str());  // PAM has just taken the password
    else if (status == HTTP_STATUS_FORBIDDEN && !user.empty() && user == logged_in &&
             (cancels_own_jobs(client) || (group_id != static_cast<gid_t>(-1) && in_group(user, group_id))))
        status = HTTP_STATUS_CONTINUE;
    return status;
}

void cancel_all_jobs(CancelAllJobs real, pappl_printer_t *printer)
{
    pappl_client_t *client = noted_client();
    if (!client || !cancels_own_jobs(client))
        return real(printer);
    // Cancel-My-Jobs: the jobs of the user who asks (the login, else
    // requesting-user-name).
    const char *login = papplClientGetUsername(client);
    const char *named = ippGetString(
        ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
    struct Own {
        std::string user;
        std::vector<int> jobs;
    } own{login && *login ? login : named ? named : "", {}};
    if (own.user.empty())
        return;
    papplPrinterIterateActiveJobs(
        printer,
        [](pappl_job_t *job, void *data) {
            auto &mine = *static_cast<Own *>(data);
            if (const char *owner = papplJobGetUsername(job); owner && mine.user == owner)
                mine.jobs.push_back(papplJobGetID(job));
        },
        &own, 1, 0);
    for (int id : own.jobs)
        if (pappl_job_t *job = papplPrinterFindJob(printer, id))
            papplJobCancel(job);
}

void refuse_printer(const std::string &why)
{
    printer_refusal = why;
}

ipp_t *respond_ipp(RespondIpp real, pappl_client_t *client, ipp_status_t status, const char *message)
{
    if (!message)
        return real(client, status, nullptr);
    const std::string refusal = std::exchange(printer_refusal, {});
    if (!refusal.empty() && status == IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES &&
        std::strstr(message, "cannot be used with this printer"))
        return real(client, status, "%s", refusal.c_str());
    // PAPPL names the device URI by its own attribute's name.
    if (std::strstr(message, "smi55357-device-uri"))
        return real(client, status, "%s",
                    "The device URI is refused: this server prints to socket://ADDRESS, usb:// and file:// naming an "
                    "existing folder inside its output folder.");
    return real(client, status, "%s", message);
}

}  // namespace quillet::app
