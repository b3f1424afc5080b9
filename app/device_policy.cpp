#include "device_policy.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "files.h"
#include "pappl_mends/mends.h"
#include "server.h"
#include "state_file.h"

namespace quillet::app {

std::optional<DeviceUri> split_device_uri(const char *uri)
{
    std::array<char, 32> scheme{};
    std::array<char, 256> userpass{}, host{};
    std::array<char, 1024> resource{};
    int port = 0;
    if (!uri || httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme.data(), scheme.size(), userpass.data(),
                                userpass.size(), host.data(), host.size(), &port, resource.data(),
                                resource.size()) < HTTP_URI_STATUS_OK)
        return std::nullopt;
    return DeviceUri{scheme.data(), resource.data()};
}

bool device_uri_allowed(const char *uri, const std::string &output_directory, bool dns_sd, std::string &why)
{
    const std::optional<DeviceUri> parts = split_device_uri(uri);
    if (!parts) {
        why = "The device URI is not a valid URI.";
        return false;
    }
    const std::string &kind = parts->scheme;
    if (kind == "usb" || kind == "socket" || kind == "snmp")
        return true;
    if (kind == "dnssd") {
        if (dns_sd)
            return true;
        why = "dnssd:// printers need avahi-daemon, which is not running.";
        return false;
    }
    if (kind != "file") {
        why = "The printer cannot be reached through '" + kind + "' URIs.";
        return false;
    }
    if (output_directory.empty()) {
        why = "Printing to files is off: the server was started without -o output-directory=FOLDER.";
        return false;
    }
    const std::string &path = parts->path;
    std::error_code failed;
    const auto allowed = std::filesystem::canonical(output_directory, failed);
    if (failed) {
        why = "The output folder " + output_directory + " does not exist.";
        return false;
    }
    const auto target = std::filesystem::weakly_canonical(path, failed);
    // The path as given must be the resolved one: no links, no "..".
    if (failed || path.find('?') != std::string::npos || target != std::filesystem::path(path).lexically_normal() ||
        !std::filesystem::is_directory(target, failed)) {
        why = "file:// must name an existing folder inside " + allowed.string() + ".";
        return false;
    }
    auto [end, rest] = std::mismatch(allowed.begin(), allowed.end(), target.begin(), target.end());
    if (end != allowed.end()) {
        why = "file:// must name a folder inside " + allowed.string() + ".";
        return false;
    }
    struct stat info{};
    if (lstat(target.c_str(), &info) != 0 || !writable_only_by_owner(info)) {
        why = "The folder " + target.string() + " may be written by other users; file:// needs one only the server writes.";
        return false;
    }
    return true;
}

bool writable_only_by_owner(const struct stat &info)
{
    return (info.st_uid == geteuid() || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool dns_sd_available()
{
    return socket_answers("/run/dbus/system_bus_socket") && socket_answers("/run/avahi-daemon/socket");
}

std::string output_file_name(pappl_job_t *job, int attempt)
{
    const char *title = papplJobGetName(job);
    std::string name = std::to_string(papplJobGetID(job));
    if (attempt)
        name.append(".").append(std::to_string(attempt));
    name += '-';
    // At most 100 characters of the title, of a portable file name's.
    for (const char *c = title ? title : ""; *c && name.size() < 110; c++)
        name += std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' || *c == '_' || *c == '.' ? *c : '_';
    return name + ".prn";
}

void remove_crash_outputs(pappl_system_t *system)
{
    // Each file printer's folder, with the first attempt's file names of
    // its aborted jobs.
    std::map<std::string, std::set<std::string>> folders;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *folders) {
            if (const std::optional<DeviceUri> uri = split_device_uri(papplPrinterGetDeviceURI(printer));
                uri && uri->scheme == "file")
                (*static_cast<std::map<std::string, std::set<std::string>> *>(folders))[uri->path];
        },
        &folders);
    for_each_job(system, false, [&](pappl_job_t *job) {
        if (papplJobGetState(job) != IPP_JSTATE_ABORTED)
            return;
        if (const std::optional<DeviceUri> uri = split_device_uri(papplPrinterGetDeviceURI(papplJobGetPrinter(job)));
            uri && folders.count(uri->path))
            folders[uri->path].insert(output_file_name(job, 0));
    });
    for (const auto &[folder, aborted] : folders) {
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0)
            continue;
        std::error_code failed;
        for (const auto &entry : std::filesystem::directory_iterator(folder, failed)) {
            const std::string name = entry.path().filename().string();
            // NUMBER[.ATTEMPT]-TITLE.prn, and the name of its first attempt.
            const size_t number = name.find_first_not_of("0123456789");
            const size_t dash = name.find('-');
            if (number == 0 || dash == std::string::npos || name.find_first_not_of("0123456789.") != dash ||
                !name.ends_with(".prn"))
                continue;
            const std::string first_attempt = name.substr(0, number) + name.substr(dash);
            struct stat info{};
            if (fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
                (info.st_size == 0 || aborted.count(first_attempt)))
                unlinkat(dir, name.c_str(), 0);
        }
        close(dir);
    }
}

namespace {

// The printers stopped for their device, with the reason.
class DeviceStops {
public:
    void set(const std::string &printer, const std::string &why)
    {
        const std::lock_guard hold(lock_);
        reasons_[printer] = why;
    }
    void clear(const std::string &printer)
    {
        const std::lock_guard hold(lock_);
        reasons_.erase(printer);
    }
    std::optional<std::string> reason(const std::string &printer)
    {
        const std::lock_guard hold(lock_);
        const auto found = reasons_.find(printer);
        return found == reasons_.end() ? std::nullopt : std::optional(found->second);
    }

private:
    std::mutex lock_;
    std::map<std::string, std::string> reasons_;
};
DeviceStops device_stops;

}  // namespace

std::optional<std::string> device_stop_reason(const char *printer_name)
{
    return printer_name ? device_stops.reason(printer_name) : std::nullopt;
}

std::string device_stop_message(const std::string &why)
{
    return "Stopped until its device can be used. " + why;
}

void stop_printers_without_device(pappl_system_t *system, const std::string &output_directory, bool dns_sd,
                                  const std::string &stopped_list)
{
    std::set<std::string> stopped;
    if (std::ifstream listed{stopped_list})
        for (std::string name; std::getline(listed, name);)
            if (!name.empty())
                stopped.insert(name);
    std::vector<pappl_printer_t *> printers;
    papplSystemIteratePrinters(
        system, [](pappl_printer_t *printer, void *all) { static_cast<std::vector<pappl_printer_t *> *>(all)->push_back(printer); },
        &printers);
    std::set<std::string> still_stopped;
    for (pappl_printer_t *printer : printers) {
        const std::string name = papplPrinterGetName(printer);
        std::string why;
        const bool usable = device_uri_allowed(papplPrinterGetDeviceURI(printer), output_directory, dns_sd, why);
        if (!usable && !stopped.count(name)) {
            if (papplPrinterGetState(printer) != IPP_PSTATE_STOPPED)
                papplPrinterPause(printer);
            papplLog(system, PAPPL_LOGLEVEL_WARN, "Printer '%s' is stopped until its device can be used: %s",
                     name.c_str(), why.c_str());
        } else if (usable && stopped.count(name)) {
            device_stops.clear(name);
            set_printer_state_message(printer, nullptr);
            papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OTHER);
            papplPrinterResume(printer);
            papplLog(system, PAPPL_LOGLEVEL_INFO, "Printer '%s' prints again: its device can be used.", name.c_str());
            continue;
        }
        if (!usable) {
            device_stops.set(name, why);
            set_printer_state_message(printer, device_stop_message(why).c_str());
            papplPrinterSetReasons(printer, PAPPL_PREASON_OTHER, PAPPL_PREASON_NONE);
            still_stopped.insert(name);
        }
    }
    if (still_stopped != stopped) {
        std::string text;
        for (const std::string &name : still_stopped)
            text += name + "\n";
        if (const std::optional<std::string> failure = replace_file(stopped_list, text))
            papplLog(system, PAPPL_LOGLEVEL_ERROR, "The printers stopped for their device cannot be listed: %s",
                     failure->c_str());
    }
}

}  // namespace quillet::app
