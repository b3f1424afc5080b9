#include "documents.h"

#include "driver.h"
#include "ghostscript.h"
#include "images.h"
#include "page_output.h"
#include "pdf_filter.h"
#include "raster_jobs.h"

namespace quillet::app {

namespace {

// Documents the printer cannot print end their job with the reason in
// the filter's data.
constexpr const char *unknown_format =
    "The document is in a format this printer cannot print; it takes PDF, PostScript, PNG, JPEG, PWG raster and "
    "Apple raster.";

bool refuse(pappl_job_t *job, pappl_device_t *, void *reason)
{
    fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, static_cast<const char *>(reason));
    return false;
}

}  // namespace

void add_document_filters(pappl_system_t *system)
{
    // Looked up by the driver's format before PAPPL's own.
    papplSystemAddMIMEFilter(system, "image/png", printer_format, print_png, nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", printer_format, print_jpeg, nullptr);
    papplSystemAddMIMEFilter(system, "image/pwg-raster", printer_format, print_raster, nullptr);
    papplSystemAddMIMEFilter(system, "image/urf", printer_format, print_raster, nullptr);
    papplSystemAddMIMEFilter(system, "application/octet-stream", printer_format, refuse,
                             const_cast<char *>(unknown_format));
    if (ghostscript_installed()) {
        papplSystemAddMIMEFilter(system, "application/pdf", printer_format, print_pdf, nullptr);
        papplSystemAddMIMEFilter(system, "application/postscript", printer_format, print_pdf, nullptr);
    }
}

}  // namespace quillet::app
