// Making the server's system (server_start.h).
#include "server_start.h"

#include <grp.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "access.h"
#include "conversions.h"
#include "device_policy.h"
#include "documents.h"
#include "driver.h"
#include "lifecycle.h"
#include "pappl_mends/mends.h"
#include "printer_page.h"
#include "request_reader.h"
#include "server.h"
#include "server_options.h"
#include "state_file.h"

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0.1.0"
#endif

namespace quillet::app {

namespace {

// The server's own folder: state, spool and, for root, its TLS key.
std::string state_directory()
{
    if (const char *chosen = std::getenv("QUILLET_STATE_DIR"); chosen && *chosen)
        return chosen;
    if (geteuid() == 0)
        return "/var/lib/quillet-printer-app";
    return std::string(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") + "/.local/state/quillet-printer-app";
}

// Listens on a host name, or on every address of IPv4 and IPv6 alike for
// none or "*": PAPPL 1.3.1 to 1.4.9 add IPv6 there only when IPv4 fails.  A
// host without IPv6 is served over IPv4.
bool listen_on(pappl_system_t *system, const char *hostname)
{
    if (hostname && std::strcmp(hostname, "*") != 0)
        return papplSystemAddListeners(system, hostname);
    const bool ipv4 = papplSystemAddListeners(system, "0.0.0.0");
    const bool ipv6 = papplSystemAddListeners(system, "[::]");
    return ipv4 || ipv6;
}

// Adding printers on the web page browses DNS-SD, which PAPPL 1.3 cannot do
// without avahi-daemon (it aborts); this page takes its place then.
bool add_printer_page(pappl_client_t *client, void *)
{
    if (!papplClientHTMLAuthorize(client))
        return true;
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0))
        return true;
    papplClientHTMLHeader(client, "Add Printer", 0);
    papplClientHTMLPrintf(client,
                          "<div class=\"content\"><div class=\"row\"><div class=\"col-12\"><h1 "
                          "class=\"title\">Add Printer</h1><p>Finding printers needs avahi-daemon, which is not "
                          "running. Printers on USB are added by themselves; add a network printer with "
                          "<code>%s add -d NAME -v socket://ADDRESS -m %s</code> on the server.</p></div></div></div>\n",
                          base_name, driver_name);
    papplClientHTMLFooter(client);
    return true;
}

}  // namespace

// The state, spool and log where the options say; a private server (the one
// the command line starts by itself) listens on its socket alone.
pappl_system_t *make_system(int num_options, cups_option_t *options, void *data)
{
    auto option = [&](const char *name) { return cupsGetOption(name, num_options, options); };
    Startup &startup = *static_cast<Startup *>(data);
    if (startup.listing_drivers) {
        // A system to ask for its drivers; it never runs.
        pappl_system_t *system = papplSystemCreate(PAPPL_SOPTIONS_NONE, base_name, 0, nullptr, nullptr, "-",
                                                   PAPPL_LOGLEVEL_ERROR, nullptr, false);
        if (system)
            papplSystemSetPrinterDrivers(system, static_cast<int>(printer_drivers().size()), printer_drivers().data(),
                                         autoadd_callback, nullptr, driver_callback, nullptr);
        return system;
    }
    // The server runs only with every mend it puts in front of the
    // libraries in place.
    if (const std::optional<std::string> failure = interposition_failure(mended_ipp_reader)) {
        std::cerr << base_name << ": refusing to start: " << *failure << "\n";
        return nullptr;
    }
    if (const std::optional<std::string> failure = pappl_unfit()) {
        std::cerr << base_name << ": refusing to start: " << *failure << "\n";
        return nullptr;
    }
    // Only one server per socket: a second one would take the first one's
    // local clients.
    if (socket_answers(socket_path().c_str())) {
        std::cerr << base_name << ": another server is already running on " << socket_path() << "\n";
        return nullptr;
    }

    const std::string state_dir = state_directory();
    ServerOptions chosen;
    if (const std::optional<std::string> refused = read_server_options(num_options, options, state_dir, chosen)) {
        std::cerr << base_name << ": " << *refused << "\n";
        return nullptr;
    }
    if (!option("state-file") || !option("spool-directory")) {
        // Made for the server alone, or closed to others' eyes; one that
        // others may already write in is refused, never closed over what
        // they may have put there.
        struct stat made{};
        std::error_code ignored;
        std::filesystem::create_directories(state_dir, ignored);
        if (lstat(state_dir.c_str(), &made) == 0 && S_ISDIR(made.st_mode) && (made.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            std::cerr << base_name << ": the state's folder " << state_dir << " may be written by other users\n";
            return nullptr;
        }
        chmod(state_dir.c_str(), 0700);
    }
    // The state for this server alone, in no folder another user writes;
    // the spool's names (the jobs' names) for it alone too.
    if (const std::optional<std::string> refused = claim_state(chosen.state_file, chosen.private_server)) {
        std::cerr << base_name << ": " << *refused << "\n";
        return nullptr;
    }
    if (struct stat spool{}; lstat(chosen.spool_directory.c_str(), &spool) == 0) {
        if (!S_ISDIR(spool.st_mode) || spool.st_uid != geteuid()) {
            std::cerr << base_name << ": the spool folder " << chosen.spool_directory
                      << " is a link, not a folder, or another user's\n";
            return nullptr;
        }
        if ((spool.st_mode & 077) != 0 && chmod(chosen.spool_directory.c_str(), 0700) != 0) {
            std::cerr << base_name << ": the spool folder " << chosen.spool_directory
                      << " is open to other users and cannot be closed: " << std::strerror(errno) << "\n";
            return nullptr;
        }
    }
    // A private server reads the state and never writes it: it lives for
    // one command, without the server's options, and would drop the
    // printers it cannot drive without them (file:// ones) from the state.
    if (!chosen.private_server)
        keep_state_in(chosen.state_file);
    const bool dns_sd = dns_sd_available();
    set_device_rule({chosen.output_directory, dns_sd, false});
    // Bounds on what one client may spend.
    set_page_limit(chosen.page_limit);
    // Documents are converted in scratch folders of their own, each as a
    // user of its own.
    if (const std::optional<std::string> why =
            set_up_conversions(chosen.state_file, chosen.conversion_ids, chosen.conversion)) {
        std::cerr << base_name << ": documents cannot be converted safely: " << *why << "\n";
        return nullptr;
    }

    pappl_system_t *system = papplSystemCreate(
        PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_SECURITY,
        option("system-name") ? option("system-name") : "Quillet Printer Application", chosen.port,
        "_print,_universal", chosen.spool_directory.c_str(), option("log-file") ? option("log-file") : "-",
        std::max(chosen.log_level, PAPPL_LOGLEVEL_ERROR), option("auth-service"), false);
    if (!system)
        return nullptr;
    // PAPPL rotates a log past 1 MiB, also one it did not open (standard
    // error sent to a file), and hangs in its own lock doing so: the log is
    // left to whoever keeps it, from the first line on.  (PAPPL logs while
    // it makes the system, before the size can be set: only errors then.)
    papplSystemSetMaxLogSize(system, 0);
    papplSystemSetLogLevel(system, chosen.log_level);
    papplSystemSetMaxClients(system, connections_in_all);
    log_refused_requests_to(system);
    // The TLS key and certificate made on first use: in the server's own
    // folder (ssl/ in it), rather than CUPS's.
    std::string tls_folder = state_dir + "/ssl";
    if (mkdir(tls_folder.c_str(), 0700) != 0 && errno != EEXIST)
        tls_folder.clear();
    keep_tls_folder(system, tls_folder);
    if (!chosen.private_server && !listen_on(system, option("listen-hostname"))) {
        std::cerr << base_name << ": cannot listen on port " << chosen.port << "\n";
        papplSystemDelete(system);
        return nullptr;
    }
    // Without a PAM service, the administrator's password set on the web
    // page (or with set-password) guards every change.
    if (!option("auth-service"))
        papplSystemSetAuthCallback(system, "Basic", authorize, nullptr);
    // What this PAPPL needs of the application (pappl_mends/mends.h).
    mend_system(system, chosen);
    // PAPPL checks a job's owner first and the admin group after: the group
    // tells the two apart.
    papplSystemSetAdminGroup(system, option("admin-group") ? option("admin-group") : "root");
    if (const char *group = option("admin-group")) {
        if (const struct group *entry = getgrnam(group)) {
            const std::string dir = runtime_directory();
            if (chown(dir.c_str(), geteuid(), entry->gr_gid) != 0 || chmod(dir.c_str(), 0750) != 0)
                std::cerr << base_name << ": cannot open " << dir << " to group " << group << "\n";
        }
    }
    papplSystemSetPrinterDrivers(system, static_cast<int>(printer_drivers().size()), printer_drivers().data(),
                                 autoadd_callback, replace_printer_page, driver_callback, nullptr);
    add_document_filters(system);
    if (!dns_sd)
        papplSystemAddResourceCallback(system, "/addprinter", "text/html", add_printer_page, nullptr);
    papplSystemAddResourceCallback(system, "/security", "text/html", security_page, nullptr);
    add_home_page(system);
    papplSystemAddResourceCallback(system, password_path, "text/plain", set_password_resource, nullptr);
    papplSystemAddResourceData(system, "/favicon.png", "image/png", icons()[1].data(), icons()[1].size());
    papplSystemAddResourceData(system, "/navicon.png", "image/png", icons()[0].data(), icons()[0].size());
    // The labels of the printer's own attribute and media types, where
    // PAPPL answers their languages once.  PAPPL 1.3 adds the languages of
    // an application's labels to the printer once more on every
    // Get-Printer-Attributes, under a read lock (a client grows the server
    // and its answers without end): there clients show the keywords.
    // PAPPL 1.4 has papplJobRetain().
    if (dlsym(RTLD_DEFAULT, "papplJobRetain"))
        for (const StringsFile &strings : strings_files())
            papplSystemAddStringsData(system, strings.path.c_str(), strings.language.c_str(), strings.text.c_str());
    // Every web page needs a footer: PAPPL's localised strings assume one.
    papplSystemSetFooterHTML(system, "Quillet printer application " QUILLET_VERSION);
    papplSystemSetSaveCallback(
        system, [](pappl_system_t *saved, void *) { return save_state_now(saved); }, nullptr);
    static pappl_version_t versions[1] = {{"quillet-printer-app", "", QUILLET_VERSION, {0, 1, 0, 0}}};
    papplSystemSetVersions(system, 1, versions);
    load_last_good_state(system, chosen.state_file);
    complete_printed_jobs(system, chosen.state_file);
    mend_saved_state(chosen.state_file, chosen.spool_directory);
    set_device_rule({chosen.output_directory, dns_sd, true});
    papplSystemLoadState(system, chosen.state_file.c_str());
    set_device_rule({chosen.output_directory, dns_sd, false});
    restore_job_messages(system, chosen.state_file);
    if (!chosen.private_server) {
        remove_unowned_spool_files(system, chosen.spool_directory);
        remove_crash_outputs(system);
    }
    start_timers(system, {chosen, dns_sd, tls_folder});
    startup.made_system = true;
    return system;
}

}  // namespace quillet::app
