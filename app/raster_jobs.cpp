// PWG and Apple raster jobs: spooled like every other document, then read
// by the application's own reader straight into the printer's bands.
//
// PAPPL prints a raster while its client still sends it, through libcups's
// reader: a second raster is refused while one prints, the job has no
// spool file to survive a restart, and every grey row is decoded a pixel
// at a time before the driver sees it.  Here the raster is written to the
// spool and submitted as a file; the printer's document filter for it
// (print_raster) reads it run by run.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "documents.h"
#include "mends.h"
#include "raster_reader.h"
#include "render.h"

namespace quillet::app {

void spool_raster(SubmitFile submit, pappl_job_t *job, pappl_client_t *client)
{
    std::array<char, 1024> filename{};
    const int fd = papplJobOpenFile(job, filename.data(), filename.size(), nullptr, nullptr, "w");
    http_t *http = papplClientGetHTTP(client);
    std::array<char, 65536> buffer;
    ssize_t got = 0;
    bool written = fd >= 0;
    while ((got = httpRead2(http, buffer.data(), buffer.size())) > 0)
        written = written && write(fd, buffer.data(), static_cast<size_t>(got)) == got;
    if (fd >= 0 && close(fd) != 0)
        written = false;
    if (!written) {
        if (fd >= 0)
            unlink(filename.data());
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 std::string("The document could not be kept in the spool folder: ") + std::strerror(errno) + ".");
        papplJobCancel(job);
        return;
    }
    // A raster cut short by its client prints up to where it stops, then
    // ends with the reason.
    submit(job, filename.data());
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
        const BlackRows how{ok && page_dithers(job), header->color_space == CUPS_CSPACE_K};
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
