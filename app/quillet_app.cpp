// quillet-printer-app: a driverless IPP printer for the printer, on PAPPL.
// Phones, desktops and CUPS print to it as to any IPP Everywhere printer; it
// turns their documents into the printer's OAKT stream through the encoding
// core and sends it over USB, the network (socket://) or to a file.
#include <pappl/pappl.h>

#include <dlfcn.h>
#include <grp.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>

#include "conversions.h"
#include "documents.h"
#include "icons.h"
#include "capabilities.h"
#include "client_bounds.h"
#include "interposed.h"
#include "request_reader.h"
#include "job_order.h"
#include "page_plan.h"
#include "printer.h"
#include "printer_page.h"
#include "privacy.h"
#include "raster_jobs.h"
#include "render.h"
#include "access.h"
#include "device_policy.h"
#include "server.h"
#include "server_options.h"
#include "state_file.h"

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0.1.0"
#endif

namespace {

using namespace quillet::app;

constexpr const char *driver_name = "quillet_mono";
constexpr const char *base_name = "quillet-printer-app";

pappl_pr_driver_t drivers[] = {
    {driver_name, quillet::make_and_model.data(), quillet::device_id.data(), nullptr},
};

// What the printers and timers read, set once as the server starts.
struct ServerSettings {
    ServerOptions chosen;
    bool dns_sd = false;
    bool loading_state = false;  // printers come from the saved state
};
ServerSettings settings;

// What this run of the program does: only the server itself needs a
// socket, folders and state of its own.
bool listing_drivers = false;
bool made_system = false;

// The server's own folder: state, spool and, for root, its TLS key.
std::string state_directory()
{
    if (const char *chosen = std::getenv("QUILLET_STATE_DIR"); chosen && *chosen)
        return chosen;
    if (geteuid() == 0)
        return "/var/lib/quillet-printer-app";
    return std::string(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") + "/.local/state/quillet-printer-app";
}

bool save_state(pappl_system_t *system, void *)
{
    return save_state_now(system);
}

// A printer whose device ID names this printer's maker or command set
// takes this driver.
const char *autoadd(const char *, const char *, const char *id, void *)
{
    return takes_this_driver(id) ? driver_name : nullptr;
}

bool driver(pappl_system_t *system, const char *name, const char *device_uri, const char *,
            pappl_pr_driver_data_t *data, ipp_t **attributes, void *)
{
    if (std::strcmp(name, driver_name))
        return false;
    std::string why;
    // A saved printer whose device cannot be used now is kept, stopped
    // (stop_printers_without_device()): PAPPL would drop it for good.
    if (!device_uri_allowed(device_uri, settings.chosen.output_directory, settings.dns_sd, why) &&
        !settings.loading_state) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Refusing printer on '%s': %s", device_uri ? device_uri : "",
                 why.c_str());
        return false;
    }

    data->rstartjob_cb = start_job;
    data->rstartpage_cb = start_page;
    data->rwriteline_cb = write_line;
    data->rendpage_cb = end_page;
    data->rendjob_cb = end_job;
    // The printer's own stream: jobs in it go to the printer as they are,
    // and PAPPL looks up this application's document filters by it.
    data->format = printer_format;

    describe_printer(*data, *attributes);
    return true;
}

void start_printer(pappl_printer_t *printer, void *)
{
    if (papplPrinterGetState(printer) != IPP_PSTATE_STOPPED && papplPrinterGetNumberOfActiveJobs(printer) > 0)
        papplPrinterResume(printer);
}

// Stopping: PAPPL waits up to a minute for every job that is still to
// print, held ones included, longer than a service manager waits.  Jobs
// that wait are kept in the state and print after the restart; only a job
// that is printing is given a few seconds to end.
constexpr int seconds_to_finish_printing = 5;
volatile sig_atomic_t stop_asked = 0;

// SIGTERM is the application's alone: PAPPL would wait for every job, or
// tear the system down under its client threads.
void on_sigterm(int)
{
    stop_asked = 1;
    stop_starting_jobs(nullptr);
}

// The folder of the server's TLS key and certificate.  PAPPL 1.3.1 to
// 1.4.9 point libcups back at CUPS's own folder whenever the host's name
// changes, as it does once avahi-daemon answers: there the key would be
// made in /etc/cups/ssl, which the service's unit keeps read-only (every
// TLS connection then fails).  So the folder is given again every second.
std::string tls_folder;

bool keep_tls_folder(pappl_system_t *system, void *)
{
    std::array<char, 256> host{};
    if (!tls_folder.empty())
        cupsSetServerCredentials(tls_folder.c_str(), papplSystemGetHostName(system, host.data(), host.size()), 1);
    return true;
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

bool stop_when_asked(pappl_system_t *system, void *)
{
    // In place of PAPPL's own handler, which is there once the system runs.
    static bool handled = false;
    if (!handled) {
        std::signal(SIGTERM, on_sigterm);
        handled = true;
    }
    static time_t asked = 0;
    if (!stop_asked && !papplSystemIsShutdown(system))
        return true;
    if (!asked) {
        asked = time(nullptr);
        stop_starting_jobs(system);
    }
    if (printing_now(system) && time(nullptr) - asked < seconds_to_finish_printing)
        return true;
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopping; %s", printing_now(system) ? "the job printing is cut short." :
                                                                            "no job is printing.");
#if !QUILLET_PATCHED_PAPPL
    remove_cut_short_output();
#endif
    save_state_now(system);
    unlink(socket_path().c_str());
    remove_conversions_folder();
    std::fflush(nullptr);
    _exit(0);
}

// Media saved by an earlier version keep margins this one no longer
// offers: PAPPL would list a default and ready media with margins it does
// not support.  They take the printer's.
void current_margins(pappl_printer_t *printer, void *)
{
    pappl_pr_driver_data_t data{};
    papplPrinterGetDriverData(printer, &data);
    bool stale = give_printer_margins(data.media_default);
    for (int i = 0; i < data.num_source; i++)
        stale = give_printer_margins(data.media_ready[i]) || stale;
    if (stale && !(papplPrinterSetDriverDefaults(printer, &data, 0, nullptr) &&
                   papplPrinterSetReadyMedia(printer, data.num_source, data.media_ready)))
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "The media's margins could not be brought up to date.");
}

// The jobs that waited when the server stopped print by themselves.
bool start_waiting_jobs(pappl_system_t *system, void *)
{
    papplSystemIteratePrinters(system, start_printer, nullptr);
    return false;
}

bool watch_devices(pappl_system_t *system, void *)
{
    if (!settings.chosen.state_file.empty() && !settings.chosen.private_server)
        stop_printers_without_device(system, settings.chosen.output_directory, settings.dns_sd,
                                     settings.chosen.state_file + ".stopped");
    return true;
}

// A private server (the one a sub-command starts when no server runs)
// stops once it has had no job for a few seconds: its command is done.
bool end_private_server_when_idle(pappl_system_t *system, void *)
{
    static int idle_seconds = 0;
    bool busy = false;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *data) { *static_cast<bool *>(data) |= papplPrinterGetNumberOfActiveJobs(printer) > 0; },
        &busy);
    idle_seconds = busy ? 0 : idle_seconds + 1;
    if (idle_seconds >= 5)
        stop_asked = 1;
    return true;
}

// Every few seconds: a state that could not be saved is saved again,
// every printer, new ones too, keeps the finished jobs the administrator
// chose (PAPPL cleans out older ones a minute after they end), and an idle
// printer with jobs to print starts them.
bool keep_state(pappl_system_t *system, void *)
{
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *) {
            if (papplPrinterGetMaxCompletedJobs(printer) != settings.chosen.completed_jobs_kept)
                papplPrinterSetMaxCompletedJobs(printer, settings.chosen.completed_jobs_kept);
            if (papplPrinterGetMaxActiveJobs(printer) != active_jobs_per_printer)
                papplPrinterSetMaxActiveJobs(printer, active_jobs_per_printer);
#if !QUILLET_PATCHED_PAPPL
            // PAPPL's clean walks finished jobs newest first and stops at
            // the first that ended within a minute, unless the printer
            // preserves documents: then it goes on, and the clean below
            // bounds them (one document kept for reprinting is the cost).
            if (papplPrinterGetMaxPreservedJobs(printer) < 1)
                papplPrinterSetMaxPreservedJobs(printer, 1);
#endif
            // A job that waited for an older one whose document never came
            // starts once that one no longer holds it.
            if (papplPrinterGetState(printer) == IPP_PSTATE_IDLE && has_job_to_start(printer))
                papplPrinterResume(printer);
        },
        nullptr);
    end_jobs_without_document(system, settings.chosen.document_wait_seconds);
    // PAPPL cleans only a minute after a job ends, and again only after
    // the next one ends: jobs that end at once would pile up meanwhile.
    papplSystemCleanJobs(system);
    if (state_save_failed())
        save_state_now(system);
    return true;
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

// The state, spool and log where the options say; a private server (the one
// the command line starts by itself) listens on its socket alone.
pappl_system_t *make_system(int num_options, cups_option_t *options, void *)
{
    auto option = [&](const char *name) { return cupsGetOption(name, num_options, options); };
    if (listing_drivers) {
        // A system to ask for its drivers; it never runs.
        pappl_system_t *system = papplSystemCreate(PAPPL_SOPTIONS_NONE, base_name, 0, nullptr, nullptr, "-",
                                                   PAPPL_LOGLEVEL_ERROR, nullptr, false);
        if (system)
            papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(drivers)), drivers, autoadd, nullptr,
                                         driver, nullptr);
        return system;
    }
    // The server runs only with every mend it puts in front of the
    // libraries in place.
    if (const std::optional<std::string> failure = interposition_failure(mended_ipp_reader)) {
        std::cerr << base_name << ": refusing to start: " << *failure << "\n";
        return nullptr;
    }
#if !QUILLET_PATCHED_PAPPL
    if (const std::optional<std::string> failure = interposition_failure(mended_pappl)) {
        std::cerr << base_name << ": refusing to start: " << *failure << "\n";
        return nullptr;
    }
#endif
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
        std::error_code ignored;
        std::filesystem::create_directories(state_dir, ignored);
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
    settings = {chosen, dns_sd_available()};
    // Bounds on what one client may spend.
    set_page_limit(chosen.page_limit);
#if !QUILLET_PATCHED_PAPPL
    set_max_document_size(chosen.max_document_bytes);
#endif
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
    tls_folder = state_dir + "/ssl";
    if (mkdir(tls_folder.c_str(), 0700) != 0 && errno != EEXIST)
        tls_folder.clear();
    keep_tls_folder(system, nullptr);
    if (!chosen.private_server && !listen_on(system, option("listen-hostname"))) {
        std::cerr << base_name << ": cannot listen on port " << chosen.port << "\n";
        papplSystemDelete(system);
        return nullptr;
    }
    // Without a PAM service, the administrator's password set on the web
    // page (or with set-password) guards every change.
    if (!option("auth-service"))
        papplSystemSetAuthCallback(system, "Basic", authorize, nullptr);
#if !QUILLET_PATCHED_PAPPL
    // Each address's connections bounded (the patched PAPPL bounds them as
    // they come).
    if (!chosen.private_server)
        bound_connections(system);
#else
    // Other users' job names and owners withheld (the definition in front
    // of PAPPL's does it elsewhere).
    papplSystemSetJobPrivacyCallback(system, reads_job, nullptr);
    // Documents spooled within the bound (the definition in front of
    // PAPPL's does it as they come).
    papplSystemSetMaxDocumentSize(system, static_cast<size_t>(chosen.max_document_bytes));
#endif
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
    papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(drivers)), drivers, autoadd,
                                 replace_printer_page, driver, nullptr);
    add_document_filters(system);
    if (!settings.dns_sd)
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
    papplSystemSetSaveCallback(system, save_state, nullptr);
    static pappl_version_t versions[1] = {{"quillet-printer-app", "", QUILLET_VERSION, {0, 1, 0, 0}}};
    papplSystemSetVersions(system, 1, versions);
    load_last_good_state(system, chosen.state_file);
    complete_printed_jobs(system, chosen.state_file);
#if !QUILLET_PATCHED_PAPPL
    // Jobs cut short by a crash stay listed, as aborted.  PAPPL has no call
    // that ends a loaded job as aborted: its saved state is mended before it
    // is loaded (packaging/pappl-patches/0009-interrupted-jobs-end-aborted.patch
    // does it as PAPPL loads the state).
    if (std::ifstream saved{chosen.state_file}) {
        const std::string text{std::istreambuf_iterator<char>(saved), {}};
        if (const std::string mended = interrupted_jobs_aborted(text); mended != text)
            if (const std::optional<std::string> failure = replace_file(chosen.state_file, mended))
                std::cerr << base_name << ": the jobs a stop interrupted stay as they were: " << *failure << "\n";
    }
    saved_job_attributes_once(chosen.spool_directory);
#endif
    settings.loading_state = true;
    papplSystemLoadState(system, chosen.state_file.c_str());
    settings.loading_state = false;
    restore_job_messages(system, chosen.state_file);
    if (!chosen.private_server) {
        remove_unowned_spool_files(system, chosen.spool_directory);
        remove_empty_outputs(system);
    }
    watch_devices(system, nullptr);
    papplSystemIteratePrinters(system, current_margins, nullptr);
    // PAPPL starts a printer's waiting jobs only when another job comes.
    // (Timers run under the system's lock: they add no timers themselves.)
    papplSystemAddTimerCallback(system, time(nullptr), 0, start_waiting_jobs, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr), 1, stop_when_asked, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr), 5, keep_state, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr) + 5, 5, watch_devices, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr), 1, keep_tls_folder, nullptr);
    if (chosen.private_server)
        papplSystemAddTimerCallback(system, time(nullptr) + 1, 1, end_private_server_when_idle, nullptr);
    made_system = true;
    return system;
}

void usage(void *)
{
    std::printf("Usage: %s SUB-COMMAND [OPTIONS] [FILENAME]\n"
                "       %s [OPTIONS] [FILENAME]\n"
                "       %s [OPTIONS] -\n\n"
                "Sub-commands:\n"
                "  add PRINTER      Add a printer.\n"
                "  autoadd          Automatically add supported printers.\n"
                "  cancel           Cancel one or more jobs.\n"
                "  default          Set the default printer.\n"
                "  delete           Delete a printer.\n"
                "  devices          List devices.\n"
                "  drivers          List drivers.\n"
                "  jobs             List jobs.\n"
                "  modify           Modify a printer.\n"
                "  options          List printer options.\n"
                "  pause            Pause printing for a printer.\n"
                "  printers         List printers.\n"
                "  resume           Resume printing for a printer.\n"
                "  server           Run a server.\n"
                "  set-password     Set the administrator's password, read from standard input.\n"
                "  shutdown         Shutdown a running server.\n"
                "  status           Show server/printer/job status.\n"
                "  submit           Submit a file for printing.\n\n"
                "Options:\n"
                "  -a               Cancel all jobs (cancel).\n"
                "  -d PRINTER       Specify printer.\n"
                "  -j JOB-ID        Specify job ID (cancel).\n"
                "  -m DRIVER-NAME   Specify driver (add/modify).\n"
                "  -n COPIES        Specify number of copies (submit).\n"
                "  -o NAME=VALUE    Specify option (add,modify,server,submit).\n"
                "  -u URI           Specify ipp: or ipps: printer/server.\n"
                "  -v DEVICE-URI    Specify socket:, usb: or file: device (add/modify).\n\n"
                "Server options (-o NAME=VALUE with server), see %s(8):\n"
                "  admin-group, auth-service, conversion-silence-limit, conversion-uids, document-wait-limit,\n"
                "  listen-hostname, log-file, log-level, max-completed-jobs, max-document-size,\n"
                "  output-directory, page-limit, server-port, spool-directory, state-file\n",
                base_name, base_name, base_name, base_name);
}

}  // namespace

int main(int argc, char *argv[])
{
    // PAPPL puts a root server's socket into $SNAP_COMMON when set: there it
    // sits in a folder only root (or the admin group) may enter.  A user's
    // server has its socket in $TMPDIR, made the user's own folder.
    const std::string runtime = runtime_directory();
    std::string error;
    if (geteuid() == 0 || std::getenv("QUILLET_RUNTIME_DIR")) {
        if (geteuid() == 0 && !make_private_directory(runtime, error)) {
            std::cerr << base_name << ": " << error << "\n";
            return 1;
        }
        setenv("SNAP_COMMON", runtime.c_str(), 1);
    }
    if (geteuid() == 0) {
        // Whatever the libraries make is the server's alone: the TLS key
        // made on first use, the log.
        umask(077);
    }
    if (geteuid() != 0) {
        if (!make_private_directory(runtime, error)) {
            std::cerr << base_name << ": " << error << "\n";
            return 1;
        }
        setenv("TMPDIR", runtime.c_str(), 1);
    }
    for (int i = 1; i < argc; i++) {
        const bool takes_value = i > 1 && argv[i - 1][0] == '-' && std::strlen(argv[i - 1]) == 2;
        if (argv[i][0] != '-' && !takes_value) {
            listing_drivers = !std::strcmp(argv[i], "drivers");
            break;
        }
    }
    const bool shutting_down = std::any_of(argv + 1, argv + argc, [](const char *a) { return !std::strcmp(a, "shutdown"); });
    const int status = papplMainloop(argc, argv, QUILLET_VERSION, "Quillet printer application",
                                     static_cast<int>(std::size(drivers)), drivers, autoadd, driver, "set-password",
                                     set_password_command, make_system, usage, nullptr);
    if (made_system)
        remove_conversions_folder();
    // shutdown returns once the server is gone, so that a new one can start.
    for (int waited = 0; shutting_down && status == 0 && waited < 300 && socket_answers(socket_path().c_str());
         waited++)
        usleep(100'000);
    return status;
}
