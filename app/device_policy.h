// Where printers may write and which devices may be added.
#pragma once

#include <pappl/pappl.h>
#include <sys/stat.h>

#include <optional>
#include <string>

namespace quillet::app {

// A device URI's scheme and path; nothing when it is no URI.
struct DeviceUri {
    std::string scheme, path;
};
std::optional<DeviceUri> split_device_uri(const char *uri);

// Whether a printer may be created with this device URI.  file:// must name
// output_directory or a folder inside it (no symbolic links, no options);
// an empty output_directory refuses every file:// URI.  dnssd:// needs
// DNS-SD to be reachable.  Other schemes are the printer's connections.
bool device_uri_allowed(const char *uri, const std::string &output_directory, bool dns_sd, std::string &why);

// Whether a folder with this status may be written by its owner alone,
// and its owner is the server's user or root.
bool writable_only_by_owner(const struct stat &info);

// Whether DNS-SD (the system bus and avahi-daemon) answers on this machine.
bool dns_sd_available();

// Printers whose device cannot be used now (a file printer's folder not
// mounted yet, a server started without its output folder) are kept,
// stopped with the reason logged and in printer-state-reasons, and started
// again once the device can be used: at start and every few seconds.
// `stopped_list` names the printers stopped so, across restarts, so that
// one the administrator stopped stays stopped.
void stop_printers_without_device(pappl_system_t *system, const std::string &output_directory, bool dns_sd,
                                  const std::string &stopped_list);

// Why the printer is stopped for its device, as the last look found it;
// nothing when it is not.
std::optional<std::string> device_stop_reason(const char *printer_name);
// What such a printer's printer-state-message and web page say.
std::string device_stop_message(const std::string &why);

// A file printer's output file for a job: its number, ".ATTEMPT" when an
// earlier attempt's name was taken, '-', then at most 100 characters of its
// title as a portable file name ("12-report.prn").
std::string output_file_name(pappl_job_t *job, int attempt);

// At start: removes from the folders of file printers what a crash left:
// empty output files (a job that writes nothing leaves no file), and the
// part of its output that a job cut short by the crash had written (such a
// job ends as aborted, and an aborted job leaves no part of its output).
void remove_crash_outputs(pappl_system_t *system);

}  // namespace quillet::app
