// PWG and Apple raster jobs: spooled like every other document, then read
// by the application's own reader straight into the printer's bands.
//
// PAPPL prints a raster while its client still sends it, through libcups's
// reader: a raster sent while another job prints is refused (and listed as
// an aborted job), the job has no spool file to survive a restart, and
// every grey row is decoded a pixel at a time before the driver sees it.
// Here the raster is written to the spool and submitted as a file, to wait
// its turn like any document; the printer's document filter for it
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

namespace {

bool is_raster(const char *format)
{
    return format && (!std::strcmp(format, "image/pwg-raster") || !std::strcmp(format, "image/urf"));
}

// Writes the request's document to the job's spool file and submits it;
// false, the job ended with the reason, when it cannot be kept.
bool spool(SubmitFile submit, pappl_job_t *job, pappl_client_t *client)
{
    std::array<char, 1024> filename{};
    const int fd = papplJobOpenFile(job, filename.data(), filename.size(), nullptr, nullptr, "w");
    int error = fd < 0 ? errno : 0;
    http_t *http = papplClientGetHTTP(client);
    std::array<char, 65536> buffer;
    ssize_t got = 0;
    while ((got = httpRead2(http, buffer.data(), buffer.size())) > 0)
        if (!error && write(fd, buffer.data(), static_cast<size_t>(got)) != got)
            error = errno;
    if (fd >= 0 && close(fd) != 0 && !error)
        error = errno;
    if (error) {
        if (fd >= 0)
            unlink(filename.data());
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 std::string("The document could not be kept in the spool folder: ") + std::strerror(error) + ".");
        papplJobCancel(job);
        return false;
    }
    // A raster cut short by its client prints up to where it stops, then
    // ends with the reason.
    submit(job, filename.data());
    return true;
}

}  // namespace

void receive_document(CopyDocumentData real, SubmitFile submit, CopyJobAttributes copy_attributes,
                      pappl_client_t *client, pappl_job_t *job)
{
    if (!is_raster(papplJobGetFormat(job)))
        return real(client, job);
    if (!spool(submit, job, client)) {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "%s", papplJobGetMessage(job));
        return;
    }
    // What PAPPL answers for a document, but job-state-message, which the
    // job's own thread may be replacing by now.
    papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
    const auto by_name = [](void *a, void *b, void *) {
        return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
    };
    cups_array_t *requested = cupsArrayNew(by_name, nullptr);
    for (const char *name : {"job-id", "job-state", "job-state-reasons", "job-uri"})
        cupsArrayAdd(requested, const_cast<char *>(name));
    copy_attributes(job, client, requested);
    cupsArrayDelete(requested);
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
