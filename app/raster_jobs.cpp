// Jobs' documents as the server reads them: PWG and Apple raster jobs read
// from their spool files by the application's own reader, straight into the
// printer's bands, and jobs whose document never came ended.
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "raster_jobs.h"

#include "raster_reader.h"
#include "page_output.h"
#include "state_file.h"

namespace quillet::app {

size_t end_jobs_without_document(pappl_system_t *system, int wait_seconds)
{
    std::vector<pappl_job_t *> waiting;
    for_each_job(system, true, [&](pappl_job_t *job) {
        if (papplJobGetState(job) < IPP_JSTATE_PROCESSING && !papplJobGetFilename(job) &&
            time(nullptr) - papplJobGetTimeCreated(job) > wait_seconds)
            waiting.push_back(job);
    });
    // Ended outside the printers' locks, which the walk holds.
    for (pappl_job_t *job : waiting) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 "No document came within " +
                     (wait_seconds % 60 ? std::to_string(wait_seconds) + " seconds"
                                        : std::to_string(wait_seconds / 60) + (wait_seconds == 60 ? " minute" : " minutes")) +
                     " of the job's creation.");
        papplJobCancel(job);
    }
    return waiting.size();
}


bool print_raster(pappl_job_t *job, pappl_device_t *device, void *)
{
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The document's spool file cannot be opened.");
        return false;
    }
    FileInput input(fd);
    RasterReader reader(input);
    const PrintOptions options(papplJobCreatePrintOptions(job, 0, false));
    bool ok = start_job(job, options.get(), device);
    unsigned page = 0;
    while (ok && !papplJobIsCanceled(job)) {
        const std::optional<RasterPageHeader> header = reader.next_page();
        if (!header)
            break;
        page++;
        const std::optional<std::string> refused =
            unprintable_pixels(header->bits_per_pixel, header->color_space, page);
        if (refused) {
            fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, *refused);
            ok = false;
            break;
        }
        if (header->total_pages && page == 1)
            papplJobSetImpressions(job, static_cast<int>(header->total_pages));
        ok = begin_page(job, options.get(), {header->width, header->height, header->resolution_x, header->resolution_y},
                        page);
        if (ok)
            papplJobSetImpressionsCompleted(job, 1);
        const BlackRows how{page_screen(job), header->color_space == CUPS_CSPACE_K};
        for (unsigned y = 0; ok && y < header->height && !papplJobIsCanceled(job); y++) {
            std::span<uint8_t> room = page_row(job);
            if (room.empty() || !reader.read_black_row(room, how, y))
                break;  // a page that ends short: end_page says so
            ok = commit_page_row(job);
        }
        ok = end_page(job, options.get(), device, page) && ok;
    }
    close(fd);
    if (ok && !papplJobIsCanceled(job) && (!reader.failure().empty() || page == 0)) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 "The raster cannot be printed: " + (page == 0 && reader.failure().empty()
                                                          ? std::string("it has no pages.")
                                                          : reader.failure() + "."));
        ok = false;
    }
    return end_job(job, options.get(), device) && ok;
}

}  // namespace quillet::app
