// The functions of PAPPL that the application puts its own in front of
// (interposed.cpp), as the application calls the library's own.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

using DeviceOpen = pappl_device_t *(*)(const char *, const char *, pappl_deverror_cb_t, void *);
using JobProcess = void *(*)(pappl_job_t *);
using SubmitFile = void (*)(pappl_job_t *, const char *);
using CopyJobAttributes = void (*)(pappl_job_t *, pappl_client_t *, cups_array_t *);
using AuthorizeForGroup = http_status_t (*)(pappl_client_t *, bool, const char *, gid_t);
using ClientProcessIpp = bool (*)(pappl_client_t *);
using PrinterIsAuthorized = bool (*)(pappl_client_t *);
using CopyPrinterState = void (*)(pappl_printer_t *, ipp_tag_t, ipp_t *, pappl_client_t *, cups_array_t *);

}  // namespace quillet::app
