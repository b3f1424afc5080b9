#include "state_file.h"

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
#include <iostream>
#include <mutex>
#include <vector>

namespace quillet::app {
std::string interrupted_jobs_aborted(const std::string &state)
{
    std::string mended;
    size_t at = 0;
    while (at < state.size()) {
        size_t end = state.find('\n', at);
        end = end == std::string::npos ? state.size() : end + 1;
        std::string line = state.substr(at, end - at);
        at = end;
        if (line.rfind("Job ", 0) == 0) {
            cups_option_t *options = nullptr;
            const int count = cupsParseOptions(line.c_str() + 4, 0, &options);
            const char *job_state = cupsGetOption("state", count, options);
            const char *file = cupsGetOption("filename", count, options);
            struct stat info{};
            const int state_value = job_state ? std::atoi(job_state) : 0;
            const bool unfinished = job_state && state_value < IPP_JSTATE_STOPPED;
            const bool can_resume = file && *file && stat(file, &info) == 0;
            // A job that was printing is cut short; one that waited prints
            // unless its document is gone.
            if (unfinished && (state_value == IPP_JSTATE_PROCESSING || !can_resume)) {
                // Values are quoted with their quotes escaped: these are the
                // options themselves.
                if (const char *reasons = cupsGetOption("state_reasons", count, options)) {
                    const std::string old_reasons = " state_reasons=\"" + std::string(reasons) + "\"";
                    if (size_t field = line.find(old_reasons); field != std::string::npos)
                        line.erase(field, old_reasons.size());
                }
                const std::string old_state = " state=\"" + std::string(job_state) + "\"";
                if (size_t field = line.find(old_state); field != std::string::npos)
                    line.replace(field, old_state.size(),
                                 " state=\"" + std::to_string(IPP_JSTATE_ABORTED) + "\" state_reasons=\"" +
                                     std::to_string(PAPPL_JREASON_ABORTED_BY_SYSTEM) + "\"");
            }
            cupsFreeOptions(count, options);
        }
        mended += line;
    }
    return mended;
}

namespace {

// Flushes temporary to disk and renames it over path, then flushes the
// folder so that the rename itself is kept.
bool commit_file(const std::string &temporary, const std::string &path)
{
    int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    if (!synced || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace

bool replace_file(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written ? commit_file(temporary, path) : (unlink(temporary.c_str()), false);
}

namespace {

// PAPPL saves its state holding the system's lock while it waits for each
// printer's; a job it aborts (a raster while another job prints, a client
// gone mid-upload) holds its printer's lock while it waits for the
// system's: the two wait for each other for good, and so does every
// request after them.  The save holds each printer's lock first (through
// the one public call that holds it: a walk over the printer's jobs; a
// printer with no job at all has none to abort).
struct Save {
    pappl_system_t *system;
    const char *path;
    std::vector<pappl_printer_t *> printers;
};

bool save_holding_printers(const Save &save, size_t next)
{
    if (next == save.printers.size())
        return papplSystemSaveState(save.system, save.path);
    struct Step {
        const Save *save;
        size_t next;
        bool entered = false, saved = false;
    } step{&save, next};
    papplPrinterIterateAllJobs(
        save.printers[next],
        [](pappl_job_t *, void *data) {
            auto &held = *static_cast<Step *>(data);
            if (!held.entered) {
                held.entered = true;
                held.saved = save_holding_printers(*held.save, held.next + 1);
            }
        },
        &step, 1, 1);
    return step.entered ? step.saved : save_holding_printers(save, next + 1);
}

}  // namespace

bool save_state_atomically(pappl_system_t *system, const std::string &path)
{
    // The main loop and the job threads save alike: one at a time.
    static std::mutex saving;
    std::lock_guard one_at_a_time(saving);
    const std::string temporary = path + ".new";
    Save save{system, temporary.c_str(), {}};
    papplSystemIteratePrinters(
        system, [](pappl_printer_t *printer, void *data) { static_cast<Save *>(data)->printers.push_back(printer); },
        &save);
    if (!save_holding_printers(save, 0) || !commit_file(temporary, path)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to '%s': %s", path.c_str(),
                 std::strerror(errno));
        return false;
    }
    return true;
}

namespace {
std::string kept_state_file;
}  // namespace

void keep_state_in(const std::string &path)
{
    kept_state_file = path;
}

bool save_state_now(pappl_system_t *system)
{
    return !kept_state_file.empty() && save_state_atomically(system, kept_state_file);
}

void save_accepted_document(pappl_client_t *client, ipp_status_t status)
{
    const ipp_op_t operation = papplClientGetOperation(client);
    if (status > IPP_STATUS_OK_EVENTS_COMPLETE || (operation != IPP_OP_PRINT_JOB && operation != IPP_OP_SEND_DOCUMENT))
        return;
    // The one job of an idle printer starts at once, and is saved as it
    // starts (start_saved_job); a job that waits is saved now.
    pappl_printer_t *printer = papplClientGetPrinter(client);
    if (printer && papplPrinterGetState(printer) == IPP_PSTATE_IDLE && papplPrinterGetNumberOfActiveJobs(printer) <= 1)
        return;
    save_state_now(papplClientGetSystem(client));
}

}  // namespace quillet::app
