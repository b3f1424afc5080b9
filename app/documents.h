// Documents: each format's filter (rasters in raster_jobs, JPEG and PNG in
// images, PDF and PostScript in pdf_filter); all go through the page
// interface of page_output.h.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

// Adds the raster, JPEG and PNG filters, and the PDF and PostScript filter
// when Ghostscript is installed.
void add_document_filters(pappl_system_t *system);

}  // namespace quillet::app
