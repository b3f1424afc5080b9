#include "printer_page.h"

#include <array>
#include <cstring>
#include <ctime>
#include <string>

#include "access.h"
#include "device_policy.h"

namespace quillet::app {

namespace {

const char *state_name(ipp_jstate_t state)
{
    switch (state) {
    case IPP_JSTATE_PENDING: return "Waiting";
    case IPP_JSTATE_HELD: return "Held";
    case IPP_JSTATE_PROCESSING: return "Printing";
    case IPP_JSTATE_STOPPED: return "Stopped";
    case IPP_JSTATE_CANCELED: return "Cancelled";
    case IPP_JSTATE_ABORTED: return "Aborted";
    case IPP_JSTATE_COMPLETED: return "Completed";
    }
    return "";
}

struct Listing {
    pappl_client_t *client;
    bool administrator;
    std::string user;  // the client's login, if any
};

void list_job(pappl_job_t *job, void *data)
{
    const auto &listing = *static_cast<const Listing *>(data);
    pappl_client_t *client = listing.client;
    const char *owner = papplJobGetUsername(job);
    const bool shown = listing.administrator || (!listing.user.empty() && owner && listing.user == owner);
    papplClientHTMLPrintf(client, "<tr><td>%d</td><td>", papplJobGetID(job));
    papplClientHTMLEscape(client, shown ? papplJobGetName(job) : "(withheld)", 0);
    papplClientHTMLPuts(client, "</td><td>");
    papplClientHTMLEscape(client, shown && owner ? owner : "(withheld)", 0);
    papplClientHTMLPrintf(client, "</td><td>%d</td><td>%s", papplJobGetImpressionsCompleted(job),
                          state_name(papplJobGetState(job)));
    if (const char *message = papplJobGetMessage(job); message && *message) {
        papplClientHTMLPuts(client, ": ");
        papplClientHTMLEscape(client, message, 0);
    }
    papplClientHTMLPuts(client, "</td></tr>\n");
}

// An action of the administrator's, from the page's form; the banner to
// show, or nothing.
const char *act(pappl_client_t *client, pappl_printer_t *printer)
{
    cups_option_t *form = nullptr;
    const int fields = papplClientGetForm(client, &form);
    const char *action = cupsGetOption("action", fields, form);
    const char *banner = "Unknown action.";
    if (!papplClientIsValidForm(client, fields, form) || !action)
        banner = "Invalid form submission.";
    else if (!std::strcmp(action, "hold-new-jobs") && papplPrinterHoldNewJobs(printer))
        banner = "Holding new jobs.";
    else if (!std::strcmp(action, "release-held-new-jobs") && papplPrinterReleaseHeldNewJobs(printer, "admin"))
        banner = "Released held new jobs.";
    else if (!std::strcmp(action, "pause-printer")) {
        papplPrinterPause(printer);
        banner = "Printer paused.";
    } else if (!std::strcmp(action, "resume-printer")) {
        papplPrinterResume(printer);
        banner = "Printer resumed.";
    }
    cupsFreeOptions(fields, form);
    return banner;
}

void action_button(pappl_client_t *client, const std::string &path, const char *action, const char *label)
{
    papplClientHTMLStartForm(client, path.c_str(), false);
    papplClientHTMLPrintf(client,
                          "<input type=\"hidden\" name=\"action\" value=\"%s\"><input type=\"submit\" value=\"%s\">"
                          "</form>\n",
                          action, label);
}

bool printer_page(pappl_client_t *client, void *data)
{
    auto *printer = static_cast<pappl_printer_t *>(data);
    const bool administrator = is_administrator(client);
    std::array<char, 1024> path{};
    papplPrinterGetPath(printer, "", path.data(), path.size());
    const char *banner = nullptr;
    if (papplClientGetMethod(client) == HTTP_STATE_POST) {
        // Only the administrator acts on the printer.
        if (!papplClientHTMLAuthorize(client))
            return true;
        banner = act(client, printer);
    }
    const ipp_pstate_t state = papplPrinterGetState(printer);
    // (The header answers the request itself.)
    papplClientHTMLPrinterHeader(client, printer, nullptr, state == IPP_PSTATE_PROCESSING ? 10 : 0, nullptr, nullptr);
    papplClientHTMLPuts(client, "<div class=\"row\"><div class=\"col-12\">\n");
    if (banner)
        papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", banner);
    const int waiting = papplPrinterGetNumberOfActiveJobs(printer), listed = papplPrinterGetNumberOfJobs(printer);
    papplClientHTMLPrintf(client, "<p>%s%s; %d job%s waiting or printing, %d listed.</p>\n",
                          state == IPP_PSTATE_STOPPED      ? "Stopped"
                          : state == IPP_PSTATE_PROCESSING ? "Printing"
                                                           : "Idle",
                          papplPrinterIsHoldingNewJobs(printer) ? ", holding new jobs" : "", waiting,
                          waiting == 1 ? "" : "s", listed);
    if (const std::optional<std::string> why = device_stop_reason(papplPrinterGetName(printer))) {
        papplClientHTMLPuts(client, "<p>");
        papplClientHTMLEscape(client, device_stop_message(*why).c_str(), 0);
        papplClientHTMLPuts(client, "</p>\n");
    }
    std::array<char, 256> text{};
    if (papplPrinterGetLocation(printer, text.data(), text.size()) && text[0]) {
        papplClientHTMLPuts(client, "<p>Location: ");
        papplClientHTMLEscape(client, text.data(), 0);
        papplClientHTMLPuts(client, "</p>\n");
    }
    if (administrator) {
        action_button(client, path.data(),
                      papplPrinterIsHoldingNewJobs(printer) ? "release-held-new-jobs" : "hold-new-jobs",
                      papplPrinterIsHoldingNewJobs(printer) ? "Release held new jobs" : "Hold new jobs");
        action_button(client, path.data(), state == IPP_PSTATE_STOPPED ? "resume-printer" : "pause-printer",
                      state == IPP_PSTATE_STOPPED ? "Resume printing" : "Pause printing");
    }
    papplClientHTMLPuts(client, "<h2 class=\"title\">Jobs</h2>\n<table class=\"list\" summary=\"Jobs\"><thead><tr>"
                                "<th>Job #</th><th>Name</th><th>Owner</th><th>Pages</th><th>Status</th></tr>"
                                "</thead><tbody>\n");
    const char *login = papplClientGetUsername(client);
    Listing listing{client, administrator, login ? login : ""};
    papplPrinterIterateAllJobs(printer, list_job, &listing, 1, 50);
    papplClientHTMLPuts(client, "</tbody></table></div></div>\n");
    papplClientHTMLPrinterFooter(client);
    return true;
}

}  // namespace

namespace {

// One printer's line on the home page.
void list_printer(pappl_printer_t *printer, void *data)
{
    auto *client = static_cast<pappl_client_t *>(data);
    std::array<char, 1024> path{};
    papplPrinterGetPath(printer, "", path.data(), path.size());
    const ipp_pstate_t state = papplPrinterGetState(printer);
    const int waiting = papplPrinterGetNumberOfActiveJobs(printer);
    papplClientHTMLPrintf(client, "<tr><td><a href=\"%s\">", path.data());
    papplClientHTMLEscape(client, papplPrinterGetName(printer), 0);
    papplClientHTMLPrintf(client, "</a></td><td>%s</td><td>%d</td></tr>\n",
                          state == IPP_PSTATE_STOPPED      ? "Stopped"
                          : state == IPP_PSTATE_PROCESSING ? "Printing"
                                                           : "Idle",
                          waiting);
}

// The home page, in place of PAPPL's, which puts the administrator's forms
// (and their token, the same for every client of one address) before
// anyone: the printers, each linked to its page, where the administrator
// acts.
bool home_page(pappl_client_t *client, void *)
{
    pappl_system_t *system = papplClientGetSystem(client);
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0))
        return true;
    papplClientHTMLHeader(client, "Printers", 0);
    papplClientHTMLPuts(client, "<div class=\"content\"><div class=\"row\"><div class=\"col-12\">"
                                "<h1 class=\"title\">Printers</h1>\n<table class=\"list\" summary=\"Printers\">"
                                "<thead><tr><th>Printer</th><th>State</th><th>Jobs waiting or printing</th></tr>"
                                "</thead><tbody>\n");
    papplSystemIteratePrinters(system, list_printer, client);
    papplClientHTMLPuts(client, "</tbody></table></div></div></div>\n");
    papplClientHTMLFooter(client);
    return true;
}

}  // namespace

void add_home_page(pappl_system_t *system)
{
    papplSystemAddResourceCallback(system, "/", "text/html", home_page, nullptr);
}

void replace_printer_page(pappl_printer_t *printer, void *)
{
    pappl_system_t *system = papplPrinterGetSystem(printer);
    std::array<char, 1024> path{};
    papplPrinterGetPath(printer, "", path.data(), path.size());
    papplSystemRemoveResource(system, path.data());
    papplSystemAddResourceCallback(system, path.data(), "text/html", printer_page, printer);
}

}  // namespace quillet::app
