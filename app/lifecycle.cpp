// The server once it runs (lifecycle.h).  PAPPL runs each timer under the
// system's lock: they add no timers themselves.
#include "lifecycle.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "conversions.h"
#include "device_policy.h"
#include "driver.h"
#include "job_order.h"
#include "pappl_mends/mends.h"
#include "raster_jobs.h"
#include "server.h"
#include "state_file.h"

namespace quillet::app {

namespace {

RunningServer server;

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
    remove_cut_short_output();
    save_state_now(system);
    unlink(socket_path().c_str());
    remove_conversions_folder();
    std::fflush(nullptr);
    _exit(0);
}

// The folder of the server's TLS key and certificate.  PAPPL 1.3.1 to
// 1.4.9 point libcups back at CUPS's own folder whenever the host's name
// changes, as it does once avahi-daemon answers: there the key would be
// made in /etc/cups/ssl, which the service's unit keeps read-only (every
// TLS connection then fails).  So the folder is given again every second.
bool keep_tls_folder_given(pappl_system_t *system, void *)
{
    keep_tls_folder(system, server.tls_folder);
    return true;
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

// The jobs that waited when the server stopped print by themselves: PAPPL
// starts a printer's waiting jobs only when another job comes.
bool start_waiting_jobs(pappl_system_t *system, void *)
{
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *) {
            if (papplPrinterGetState(printer) != IPP_PSTATE_STOPPED && papplPrinterGetNumberOfActiveJobs(printer) > 0)
                papplPrinterResume(printer);
        },
        nullptr);
    return false;
}

bool watch_devices(pappl_system_t *system, void *)
{
    if (!server.chosen.state_file.empty() && !server.chosen.private_server)
        stop_printers_without_device(system, server.chosen.output_directory, server.dns_sd,
                                     server.chosen.state_file + ".stopped");
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
            if (papplPrinterGetMaxCompletedJobs(printer) != server.chosen.completed_jobs_kept)
                papplPrinterSetMaxCompletedJobs(printer, server.chosen.completed_jobs_kept);
            if (papplPrinterGetMaxActiveJobs(printer) != active_jobs_per_printer)
                papplPrinterSetMaxActiveJobs(printer, active_jobs_per_printer);
            mend_printer(printer);
            // A job that waited for an older one whose document never came
            // starts once that one no longer holds it.
            if (papplPrinterGetState(printer) == IPP_PSTATE_IDLE && has_job_to_start(printer))
                papplPrinterResume(printer);
        },
        nullptr);
    end_jobs_without_document(system, server.chosen.document_wait_seconds);
    // PAPPL cleans only a minute after a job ends, and again only after
    // the next one ends: jobs that end at once would pile up meanwhile.
    papplSystemCleanJobs(system);
    if (state_save_failed())
        save_state_now(system);
    return true;
}

}  // namespace

void keep_tls_folder(pappl_system_t *system, const std::string &folder)
{
    std::array<char, 256> host{};
    if (!folder.empty())
        cupsSetServerCredentials(folder.c_str(), papplSystemGetHostName(system, host.data(), host.size()), 1);
}

void start_timers(pappl_system_t *system, const RunningServer &running)
{
    server = running;
    watch_devices(system, nullptr);
    papplSystemIteratePrinters(system, current_margins, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr), 0, start_waiting_jobs, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr), 1, stop_when_asked, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr), 5, keep_state, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr) + 5, 5, watch_devices, nullptr);
    papplSystemAddTimerCallback(system, time(nullptr), 1, keep_tls_folder_given, nullptr);
    if (server.chosen.private_server)
        papplSystemAddTimerCallback(system, time(nullptr) + 1, 1, end_private_server_when_idle, nullptr);
}

}  // namespace quillet::app
