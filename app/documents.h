// Documents other than raster: PNG decoded here within bounds, PDF and
// PostScript rendered by Ghostscript; all go through the driver's raster
// callbacks.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

// The printer's own stream as a document format: such jobs go to the
// printer as they are.
inline constexpr const char *printer_format = "application/vnd.quillet-oakt";

// The largest image decoded, in pixels: a 100 MB grey buffer at most.
inline constexpr unsigned long max_image_pixels = 100'000'000;
inline constexpr unsigned max_image_side = 30000;

// Adds the PNG filter, and the PDF filter when Ghostscript is installed.
void add_document_filters(pappl_system_t *system);

}  // namespace quillet::app
