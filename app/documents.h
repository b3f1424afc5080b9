// Documents: rasters read here, PNG decoded here within bounds, PDF and
// PostScript rendered by Ghostscript; all go through the page interface of
// render.h.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace quillet::app {

// The printer's own stream as a document format: such jobs go to the
// printer as they are.
inline constexpr const char *printer_format = "application/vnd.quillet-oakt";

// The largest image decoded, in pixels: a 100 MB grey buffer at most.
inline constexpr unsigned long max_image_pixels = 100'000'000;
inline constexpr unsigned max_image_side = 30000;

// The longest Ghostscript may go without producing output before its job
// ends.
inline constexpr int ghostscript_silence_seconds = 60;

// PDF and PostScript are converted as user (when the server runs as root),
// each job in a fresh folder inside scratch_root, which only the server
// may write to.  False with the reason when the user cannot be used.
bool set_conversion_sandbox(const std::string &scratch_root, const char *user, std::string &why);

// Adds the raster and PNG filters, and the PDF filter when Ghostscript is
// installed.
void add_document_filters(pappl_system_t *system);

// PWG and Apple raster jobs, read from their spool file (raster_jobs.cpp).
bool print_raster(pappl_job_t *job, pappl_device_t *device, void *);

}  // namespace quillet::app
