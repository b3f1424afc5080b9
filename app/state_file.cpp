#include "state_file.h"

#include "device_policy.h"
#include "files.h"
#include "server.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace quillet::app {

std::string with_job_lines(const std::string &state,
                           const std::function<std::string(const std::string &, int, cups_option_t *)> &visit)
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
            line = visit(line, count, options);
            cupsFreeOptions(count, options);
        }
        mended += line;
    }
    return mended;
}

std::string ended_as(std::string line, int count, cups_option_t *options, ipp_jstate_t state, pappl_jreason_t reason)
{
    const char *job_state = cupsGetOption("state", count, options);
    if (const char *reasons = cupsGetOption("state_reasons", count, options)) {
        const std::string old_reasons = " state_reasons=\"" + std::string(reasons) + "\"";
        if (size_t field = line.find(old_reasons); field != std::string::npos)
            line.erase(field, old_reasons.size());
    }
    const std::string old_state = " state=\"" + std::string(job_state ? job_state : "") + "\"";
    if (size_t field = line.find(old_state); job_state && field != std::string::npos)
        line.replace(field, old_state.size(),
                     " state=\"" + std::to_string(state) + "\" state_reasons=\"" + std::to_string(reason) +
                         "\" completed=\"" + std::to_string(time(nullptr)) + "\"");
    return line;
}

int state_of(int count, cups_option_t *options)
{
    const char *job_state = cupsGetOption("state", count, options);
    return job_state ? std::atoi(job_state) : 0;
}

namespace {

// The last save failed: the next one is not to wait for a change.
std::atomic<bool> save_failed = false;

// Each ended job's message, "PRINTER JOB MESSAGE" a line: PAPPL keeps a
// job's state and reasons in its state, but not its message, and every job
// that failed would say "Job aborted." after a restart.  Written when it
// changes.
std::optional<std::string> save_job_messages(pappl_system_t *system, const std::string &path)
{
    std::string text;
    for_each_job(system, false, [&](pappl_job_t *job) {
        const char *message = papplJobGetMessage(job);
        // (A completed job says so by its state.)
        if (papplJobGetState(job) < IPP_JSTATE_STOPPED || papplJobGetState(job) == IPP_JSTATE_COMPLETED || !message ||
            !*message)
            return;
        std::string line = std::to_string(papplPrinterGetID(papplJobGetPrinter(job))) + " " +
                           std::to_string(papplJobGetID(job)) + " " + message;
        std::replace(line.begin(), line.end(), '\n', ' ');
        text += line + "\n";
    });
    static std::string saved;
    if (text == saved)
        return std::nullopt;
    std::optional<std::string> failure = replace_file(path, text);
    if (!failure)
        saved = text;
    return failure;
}

}  // namespace

void restore_job_messages(pappl_system_t *system, const std::string &state_path)
{
    std::ifstream saved(state_path + ".messages");
    for (std::string line; std::getline(saved, line);) {
        int printer_id = 0, job_id = 0, end = 0;
        if (std::sscanf(line.c_str(), "%d %d %n", &printer_id, &job_id, &end) != 2 || end == 0)
            continue;
        pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
        pappl_job_t *job = printer ? papplPrinterFindJob(printer, job_id) : nullptr;
        if (job && papplJobGetState(job) >= IPP_JSTATE_STOPPED)
            papplJobSetMessage(job, "%s", line.c_str() + end);
    }
}

namespace {

std::string kept_state_file;

// The jobs noted as printed in full (PATH.printed), a number a line.
std::mutex printed_notes_lock;
std::string printed_notes_of(const std::string &state_path)
{
    return state_path + ".printed";
}
std::set<int> noted_printed(const std::string &state_path)
{
    std::set<int> ids;
    std::ifstream notes(printed_notes_of(state_path));
    for (int id = 0; notes >> id;)
        ids.insert(id);
    return ids;
}

// After a save: the notes of jobs the saved state holds as ended go.
void forget_saved_printed_jobs(const std::string &state_path, const std::string &saved)
{
    const std::lock_guard hold(printed_notes_lock);
    const std::set<int> noted = noted_printed(state_path);
    if (noted.empty())
        return;
    std::set<int> unsaved;
    with_job_lines(saved, [&](const std::string &line, int count, cups_option_t *options) {
        const char *id = cupsGetOption("id", count, options);
        if (id && noted.count(std::atoi(id)) && state_of(count, options) < IPP_JSTATE_STOPPED)
            unsaved.insert(std::atoi(id));
        return line;
    });
    if (unsaved.size() == noted.size())
        return;
    std::string text;
    for (const int id : unsaved)
        text += std::to_string(id) + "\n";
    if (text.empty())
        unlink(printed_notes_of(state_path).c_str());
    else
        replace_file(printed_notes_of(state_path), text);
}

size_t count_of(std::string_view text, std::string_view what)
{
    size_t count = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string_view::npos; at += what.size())
        count++;
    return count;
}

}  // namespace

bool save_state_atomically(pappl_system_t *system, const std::string &path)
{
    // The main loop and the job threads save alike: one at a time.
    static std::mutex saving;
    std::lock_guard one_at_a_time(saving);
    // PAPPL writes its state without looking at a write's result: on a full
    // disk it leaves a short or empty file and says it saved.  It writes
    // into a pipe here (libcups opens no link, so no memory file), which a
    // thread drains; the application writes the file and checks each step,
    // and on any failure the old file stays.
    std::optional<std::string> failure;
    std::string text;
    const std::string pipe = runtime_directory() + "/state.pipe";
    unlink(pipe.c_str());
    if (mkfifo(pipe.c_str(), 0600) != 0) {
        failure = "no pipe to write it into: " + std::string(std::strerror(errno));
    } else {
        std::thread drain([&] {
            // Waits for PAPPL to open it, then reads until PAPPL closes it.
            const int fd = open(pipe.c_str(), O_RDONLY | O_CLOEXEC);
            std::array<char, 65536> buffer;
            for (ssize_t got; fd >= 0 && (got = read(fd, buffer.data(), buffer.size())) > 0;)
                text.append(buffer.data(), static_cast<size_t>(got));
            if (fd >= 0)
                close(fd);
        });
        // PAPPL saves holding the system's lock while it takes each
        // printer's.  The one call of PAPPL's that waited the other way
        // round, the abort of a document's job, is the application's
        // (_papplJobCopyDocumentData, interposed.cpp) or mended
        // (packaging/pappl-patches/0011-documents-spooled-within-a-bound.patch).
        if (!papplSystemSaveState(system, pipe.c_str()))
            failure = "PAPPL could not write it";
        // Ends the drain's wait when PAPPL never opened the pipe.
        if (const int unblock = open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); unblock >= 0)
            close(unblock);
        drain.join();
        unlink(pipe.c_str());
        if (!failure && text.empty())
            failure = "PAPPL wrote nothing";
    }
    if (!failure) {
        // The state before this one stays beside it, whole, for a start
        // that finds this one damaged.
        const std::string last = path + ".last";
        unlink(last.c_str());
        if (link(path.c_str(), last.c_str()) != 0 && errno != ENOENT)
            papplLog(system, PAPPL_LOGLEVEL_WARN, "The state before this save is not kept as %s: %s", last.c_str(),
                     std::strerror(errno));
        failure = replace_file(path, text);
    }
    if (!failure)
        failure = save_job_messages(system, path + ".messages");
    if (!failure)
        forget_saved_printed_jobs(path, text);
    save_failed = failure.has_value();
    if (failure)
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "The state is not saved, and %s stays as it was: %s. The save is tried again in a few seconds.",
                 path.c_str(), failure->c_str());
    return !failure;
}

bool state_save_failed()
{
    return save_failed;
}

std::optional<std::string> claim_state(const std::string &path, bool shared)
{
    const std::filesystem::path file(path);
    const std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
    struct stat info{};
    if (lstat(folder.c_str(), &info) != 0 || S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode) ||
        !writable_only_by_owner(info))
        return "the state's folder " + folder + " is a link, missing, or may be written by other users";
    if (lstat(path.c_str(), &info) == 0 &&
        (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0))
        return "the state file " + path + " is a link, not a file, or may be written by another user";
    // Held for as long as the server runs: never closed.
    const std::string lock = path + ".lock";
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return "cannot open " + lock + ": " + std::strerror(errno);
    if (flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        close(fd);
        return "another server uses the state in " + path;
    }
    return std::nullopt;
}

void for_each_job(pappl_system_t *system, bool active_only, const std::function<void(pappl_job_t *)> &visit)
{
    struct Walk {
        bool active_only;
        std::function<void(pappl_job_t *)> visit;
    } walk{active_only, visit};
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *data) {
            auto &walk = *static_cast<Walk *>(data);
            auto each = [](pappl_job_t *job, void *visit) { (*static_cast<std::function<void(pappl_job_t *)> *>(visit))(job); };
            if (walk.active_only)
                papplPrinterIterateActiveJobs(printer, each, &walk.visit, 1, 0);
            else
                papplPrinterIterateAllJobs(printer, each, &walk.visit, 1, 0);
        },
        &walk);
}

size_t remove_unowned_spool_files(pappl_system_t *system, const std::string &spool_directory)
{
    // PAPPL names a job's files pPRINTERjJOB-NAME.EXT, the numbers padded.
    std::set<std::pair<int, int>> owned;
    for_each_job(system, false, [&](pappl_job_t *job) {
        owned.emplace(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
    });
    size_t removed = 0;
    std::error_code failed;
    for (const auto &entry : std::filesystem::directory_iterator(spool_directory, failed)) {
        const std::string name = entry.path().filename().string();
        int printer = 0, job = 0, end = 0;
        if (std::sscanf(name.c_str(), "p%5dj%9d-%n", &printer, &job, &end) != 2 || end != 17 || owned.count({printer, job}))
            continue;
        if (entry.is_regular_file(failed) && unlink(entry.path().c_str()) == 0)
            removed++;
    }
    if (removed)
        papplLog(system, PAPPL_LOGLEVEL_INFO, "Removed %zu spool files of jobs the state does not hold.", removed);
    return removed;
}

bool state_is_whole(std::string_view text)
{
    // PAPPL writes the system's settings, then each printer with its jobs,
    // and warns of any line it does not know: a state cut short ends
    // within a printer, or without a line's end.
    const size_t printers = count_of(text, "<Printer ");
    return !text.empty() && text.back() == '\n' && printers == count_of(text, "</Printer>") &&
           (printers == 0 || text.ends_with("</Printer>\n"));
}

void load_last_good_state(pappl_system_t *system, const std::string &path)
{
    auto read = [](const std::string &file) -> std::optional<std::string> {
        const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        std::string text;
        std::array<char, 65536> buffer;
        for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;)
            text.append(buffer.data(), static_cast<size_t>(got));
        close(fd);
        return text;
    };
    const std::optional<std::string> current = read(path);
    if (!current || state_is_whole(*current))
        return;
    const std::string damaged = path + ".damaged", last = path + ".last";
    unlink(damaged.c_str());
    const bool kept = link(path.c_str(), damaged.c_str()) == 0;
    const std::optional<std::string> good = read(last);
    if (good && state_is_whole(*good) && !replace_file(path, *good)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "The state in %s is cut short or damaged: the one saved before it (%s) is loaded instead%s.",
                 path.c_str(), last.c_str(), kept ? (", and the damaged one is kept as " + damaged).c_str() : "");
        return;
    }
    papplLog(system, PAPPL_LOGLEVEL_ERROR,
             "The state in %s is cut short or damaged, and no whole one is kept beside it: what it holds is loaded%s.",
             path.c_str(), kept ? (", and it is kept as " + damaged).c_str() : "");
}

void keep_state_in(const std::string &path)
{
    kept_state_file = path;
}

bool save_state_now(pappl_system_t *system)
{
    return !kept_state_file.empty() && save_state_atomically(system, kept_state_file);
}

void note_printed_job(pappl_job_t *job)
{
    if (kept_state_file.empty())
        return;
    const std::lock_guard hold(printed_notes_lock);
    const int fd = open(printed_notes_of(kept_state_file).c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (write_all(fd, std::to_string(papplJobGetID(job)) + "\n") || fdatasync(fd) != 0)
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Not noted as printed in full: a crash before its end is saved "
                                              "would list it as aborted.");
    close(fd);
}

void complete_printed_jobs(pappl_system_t *system, const std::string &state_path)
{
    const std::set<int> printed = noted_printed(state_path);
    std::ifstream saved{state_path};
    if (printed.empty() || !saved)
        return;
    const std::string text{std::istreambuf_iterator<char>(saved), {}};
    const std::string mended = with_job_lines(text, [&](const std::string &line, int count, cups_option_t *options) {
        const char *id = cupsGetOption("id", count, options);
        if (!id || !printed.count(std::atoi(id)) || state_of(count, options) != IPP_JSTATE_PROCESSING)
            return line;
        papplLog(system, PAPPL_LOGLEVEL_INFO, "Job %s had printed in full when the server stopped: it is completed.", id);
        return ended_as(line, count, options, IPP_JSTATE_COMPLETED, PAPPL_JREASON_NONE);
    });
    if (mended == text || !replace_file(state_path, mended))
        unlink(printed_notes_of(state_path).c_str());
}

}  // namespace quillet::app
