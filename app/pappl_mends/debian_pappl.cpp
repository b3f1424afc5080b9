// The hooks of mends.h for the PAPPL that Debian ships, and the mends of the
// saved state.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "client_bounds.h"
#include "files.h"
#include "interposed.h"
#include "mends.h"
#include "server_options.h"
#include "server_start.h"
#include "spooling.h"
#include "state_file.h"

namespace quillet::app {

namespace {

// The state file's text with every job that was printing when the server
// stopped, and every waiting one whose spool file is gone, made aborted by
// the system: PAPPL would list the first as printing for good and drop the
// others altogether.  Waiting jobs with their documents print.
std::string interrupted_jobs_aborted(const std::string &state)
{
    return with_job_lines(state, [](const std::string &line, int count, cups_option_t *options) {
        const char *file = cupsGetOption("filename", count, options);
        struct stat info{};
        const int state_value = state_of(count, options);
        const bool unfinished = cupsGetOption("state", count, options) && state_value < IPP_JSTATE_STOPPED;
        const bool can_resume = file && *file && stat(file, &info) == 0;
        // A job that was printing is cut short; one that waited prints
        // unless its document is gone.
        if (unfinished && (state_value == IPP_JSTATE_PROCESSING || !can_resume))
            return ended_as(line, count, options, IPP_JSTATE_ABORTED, PAPPL_JREASON_ABORTED_BY_SYSTEM);
        return line;
    });
}

// What PAPPL gives a job it restores before it reads the job's saved
// attributes, which hold them too.
constexpr std::array made_at_restore = {"job-name", "job-originating-user-name", "job-id",
                                        "job-uri",  "job-uuid",                  "job-printer-uri"};

// The saved attributes of each job in the spool folder without the six
// PAPPL gives a job it restores before it reads them (each was answered
// twice, and each restart saved another copy); the number of files mended.
size_t saved_job_attributes_once(const std::string &spool_directory)
{
    size_t mended = 0;
    std::error_code failed;
    for (const auto &entry : std::filesystem::directory_iterator(spool_directory, failed)) {
        const std::string path = entry.path().string();
        if (!path.ends_with(".ipp") || entry.is_symlink(failed) || !entry.is_regular_file(failed))
            continue;
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        ipp_t *saved = ippNew();
        const bool read_whole = ippReadFile(fd, saved) == IPP_STATE_DATA;
        close(fd);
        const auto kept = [](void *, ipp_t *, ipp_attribute_t *attribute) -> int {
            const char *name = ippGetName(attribute);
            return !name || std::none_of(made_at_restore.begin(), made_at_restore.end(),
                                         [&](const char *made) { return !std::strcmp(name, made); });
        };
        ipp_t *once = ippNew();
        ippCopyAttributes(once, saved, 0, kept, nullptr);
        std::string bytes;
        const auto append = [](void *to, ipp_uchar_t *data, size_t length) -> ssize_t {
            static_cast<std::string *>(to)->append(reinterpret_cast<const char *>(data), length);
            return static_cast<ssize_t>(length);
        };
        if (read_whole && ippWriteIO(&bytes, append, 1, nullptr, once) == IPP_STATE_DATA && !replace_file(path, bytes))
            mended++;
        ippDelete(once);
        ippDelete(saved);
    }
    return mended;
}

}  // namespace

std::optional<std::string> pappl_unfit()
{
    return interposition_failure(mended_pappl);
}

void mend_saved_state(const std::string &state_file, const std::string &spool_directory)
{
    // Jobs cut short by a crash stay listed, as aborted.  PAPPL has no call
    // that ends a loaded job as aborted: its saved state is mended before it
    // is loaded (packaging/pappl-patches/0009-interrupted-jobs-end-aborted.patch
    // does it as PAPPL loads the state).
    if (std::ifstream saved{state_file}) {
        const std::string text{std::istreambuf_iterator<char>(saved), {}};
        if (const std::string mended = interrupted_jobs_aborted(text); mended != text)
            if (const std::optional<std::string> failure = replace_file(state_file, mended))
                std::cerr << base_name << ": the jobs a stop interrupted stay as they were: " << *failure << "\n";
    }
    saved_job_attributes_once(spool_directory);
}

void mend_system(pappl_system_t *system, const ServerOptions &chosen)
{
    set_max_document_size(chosen.max_document_bytes);
    // Each address's connections bounded (the patched PAPPL bounds them as
    // they come).
    if (!chosen.private_server)
        bound_connections(system);
}

void mend_printer(pappl_printer_t *printer)
{
    // PAPPL's clean walks finished jobs newest first and stops at the first
    // that ended within a minute, unless the printer preserves documents:
    // then it goes on, and the server's own clean bounds them (one document
    // kept for reprinting is the cost).
    if (papplPrinterGetMaxPreservedJobs(printer) < 1)
        papplPrinterSetMaxPreservedJobs(printer, 1);
}

void set_printer_state_message(pappl_printer_t *, const char *)
{
    // Said as PAPPL copies the printer's state (copy_printer_state()).
}

}  // namespace quillet::app
