// Whose jobs a client may read about, who the client is, and what PAPPL
// answers a printer the driver refuses.
//
// Anyone may list the jobs, but a job's name, its owner and what its client
// said about itself are for its owner and the administrator alone.  PAPPL
// 1.3 copies every job's attributes into Get-Jobs and Get-Job-Attributes
// answers through _papplJobCopyAttributesNoLock, which is reached through
// the dynamic linker, so the application defines it in front of the
// library (the printer's web page is the application's own:
// printer_page.cpp).
#include <pappl/pappl.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "next_definition.h"
#include "server.h"

namespace {

using quillet::app::next_definition;

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
        administrator = quillet::app::is_administrator(client);
    }
    return administrator;
}

}  // namespace

extern "C" void _papplJobCopyAttributesNoLock(pappl_job_t *job, pappl_client_t *client, cups_array_t *requested)
{
    static const auto real = next_definition<void (*)(pappl_job_t *, pappl_client_t *, cups_array_t *)>(
        "_papplJobCopyAttributesNoLock");
    real(job, client, requested);
    // This job's attributes are the response's last group.  A job PAPPL
    // 1.3 restored from its spool after a restart has its job-id and
    // job-uri twice (made anew, then read back): each is sent once.
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
        }
        if (!name) {
            dropped.clear();
            seen.clear();
        } else if (std::find(seen.begin(), seen.end(), name) != seen.end() ||
                   (withheld && std::any_of(private_attributes.begin(), private_attributes.end(),
                                            [&](const char *secret) { return !std::strcmp(name, secret); }))) {
            dropped.push_back(attribute);
        } else {
            seen.emplace_back(name);
        }
    }
    for (ipp_attribute_t *attribute : dropped)
        ippDeleteAttribute(response, attribute);
}

namespace {
// Whether the client's request is Cancel-My-Jobs.
bool cancels_own_jobs(pappl_client_t *client)
{
    ipp_t *request = papplClientGetRequest(client);
    return request && ippGetOperation(request) == IPP_OP_CANCEL_MY_JOBS;
}
}  // namespace

// Who the client is, as PAPPL 1.3 gets it wrong:
// - it asks for TLS before it asks the application, even for what needs no
//   credentials: a client that does not upgrade could not print over plain
//   ipp://.  What the application opens to everyone is decided first;
//   credentials are still taken over TLS only;
// - with a PAM login it takes getgrouplist()'s group count for an error, so
//   a member of the admin group whose primary group is another is refused
//   (mended in PAPPL 1.4.7);
// - with a PAM login and no print group it does not keep the login, so the
//   job belongs to whatever requesting-user-name the client sends, and its
//   owner is refused their own job.
extern "C" http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t *client, bool allow_remote,
                                                          const char *group, gid_t group_id)
{
    static const auto real = next_definition<http_status_t (*)(pappl_client_t *, bool, const char *, gid_t)>(
        "_papplClientIsAuthorizedForGroup");
    quillet::app::note_client(client);
    const bool login = papplSystemGetAuthService(papplClientGetSystem(client)) != nullptr;
    if (!login)
        if (std::optional<http_status_t> decided = quillet::app::open_decision(client, group))
            return *decided;
    http_status_t status = real(client, allow_remote, group, group_id);
    if (!login || httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL)
        return status;
    const std::string user = quillet::app::basic_user(client);
    const char *known = papplClientGetUsername(client);
    const std::string logged_in = known ? known : "";
    if (status == HTTP_STATUS_CONTINUE && !user.empty() && logged_in.empty())
        papplClientSetUsername(client, user.c_str());  // PAM has just taken the password
    else if (status == HTTP_STATUS_FORBIDDEN && !user.empty() && user == logged_in &&
             (cancels_own_jobs(client) || (group_id != static_cast<gid_t>(-1) && quillet::app::in_group(user, group_id))))
        status = HTTP_STATUS_CONTINUE;
    return status;
}

// Cancel-My-Jobs: PAPPL 1.3 and 1.4 cancel every job of the printer with
// it, and so ask for the administrator.  It cancels the jobs of the user
// who asks (the login, else requesting-user-name), and anyone may ask.
extern "C" void papplPrinterCancelAllJobs(pappl_printer_t *printer)
{
    static const auto real = next_definition<void (*)(pappl_printer_t *)>("papplPrinterCancelAllJobs");
    pappl_client_t *client = quillet::app::noted_client();
    if (!client || !cancels_own_jobs(client))
        return real(printer);
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

namespace {
// Why the driver refused the printer being added on this thread.
thread_local std::string printer_refusal;
}  // namespace

namespace quillet::app {
void refuse_printer(const std::string &why)
{
    printer_refusal = why;
}
}  // namespace quillet::app

// PAPPL answers a printer the driver refuses with "Driver ... cannot be
// used with this printer"; the user who adds it reads the driver's reason.
extern "C" ipp_t *papplClientRespondIPP(pappl_client_t *client, ipp_status_t status, const char *message, ...)
{
    static const auto real =
        next_definition<ipp_t *(*)(pappl_client_t *, ipp_status_t, const char *, ...)>("papplClientRespondIPP");
    if (!message)
        return real(client, status, nullptr);
    std::array<char, 2048> text{};
    va_list arguments;
    va_start(arguments, message);
    std::vsnprintf(text.data(), text.size(), message, arguments);
    va_end(arguments);
    const std::string refusal = std::exchange(printer_refusal, {});
    if (!refusal.empty() && status == IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES &&
        std::strstr(text.data(), "cannot be used with this printer"))
        return real(client, status, "%s", refusal.c_str());
    return real(client, status, "%s", text.data());
}
