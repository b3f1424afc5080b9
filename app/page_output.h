// Page output: every page of a job, from whichever document, to the
// printer's stream through the encoding core; PAPPL's raster callbacks.
#pragma once

#include <pappl/pappl.h>

#include "halftone.h"
#include "page_plan.h"
#include "printer.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quillet::app {

bool start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned y,
                const unsigned char *line);
bool end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// A job's print options, deleted with it.
struct OptionsDeleter {
    void operator()(pappl_pr_options_t *options) const { papplJobDeletePrintOptions(options); }
};
using PrintOptions = std::unique_ptr<pappl_pr_options_t, OptionsDeleter>;

// A page as the application prints it: its size in pixels and its
// resolution.
struct PageFormat {
    unsigned width = 0, height = 0;
    unsigned resolution_x = 0, resolution_y = 0;
};

// Every page of a job, from a client's raster, a rendered document or an
// image: begun with its format (number counts from 1), filled a row at a
// time with 1-bit black, most significant bit leftmost, ended by
// end_page().  Each is false once the job has failed, its reason set.
bool begin_page(pappl_job_t *job, const pappl_pr_options_t *options, const PageFormat &format, unsigned number);
// Room for the page's next row, (width + 7) / 8 bytes; empty when the
// page failed.
std::span<uint8_t> page_row(pappl_job_t *job);
bool commit_page_row(pappl_job_t *job);
// How a page's greys become dots: a clustered-dot screen unless the job
// asks for text alone (a threshold) or photos (a dispersed-dot dither).
Halftone halftone_for(pappl_content_t optimize);
// The halftone of the page begun last.
const Screen &page_screen(pappl_job_t *job);

// What the printer prints of a page: the page is cut to the largest part
// it prints whole, the same on the left and the right (to the byte), and
// at the bottom.  The printer centres the part that is left, so that every
// pixel lands where it would on the whole sheet.
struct PrintedPart {
    PixelSize kept;
    unsigned left = 0;  // pixels cut on the left, a multiple of 8
};
PrintedPart printed_part(const PageFormat &format);

// Why pixels of these bits and colour space (cups_cspace_t) cannot be
// printed; none when they can.
std::optional<std::string> unprintable_pixels(unsigned bits, unsigned color_space, unsigned page);

// The most pages one job may print, copies included: a document that
// never ends, or a thousand copies, ends with the reason instead.  The
// printer prints 20 pages a minute.
inline constexpr unsigned default_page_limit = 200;
void set_page_limit(unsigned pages);
unsigned pages_per_job();

// Ends the job with a reason the user sees in its state and in the log.
void fail_job(pappl_job_t *job, pappl_jreason_t reason, const std::string &message);

}  // namespace quillet::app
