// Documents as they come: every one spooled within the server's bound,
// then printed from its spool file; rasters read here.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>

#include "mends.h"

namespace quillet::app {

// The largest document a client may send, in bytes; a larger one is
// refused as it comes in.
inline constexpr uint64_t default_max_document_size = uint64_t{256} << 20;

#if !QUILLET_PATCHED_PAPPL
void set_max_document_size(uint64_t bytes);

// A document its client sends, spooled within the bound, then submitted as
// a file (submit: PAPPL's own) and answered with the job's attributes
// (copy_attributes: the application's, which withhold what is private).
void receive_document(SubmitFile submit, CopyJobAttributes copy_attributes, pappl_client_t *client,
                      pappl_job_t *job);
#endif

// Jobs a printer holds that have not ended (waiting for a document,
// waiting to print, printing); past them a new job is refused as busy, so
// that Create-Job without a document cannot grow the server without end.
inline constexpr int active_jobs_per_printer = 500;

// Seconds a job made without its document (Create-Job) waits for one;
// then it ends, canceled, with the reason.
inline constexpr int document_wait_seconds = 300;

// Ends each job that has waited longer than document_wait_seconds for its
// document; the number ended.
size_t end_jobs_without_document(pappl_system_t *system);

// PWG and Apple raster jobs, read from their spool file.
bool print_raster(pappl_job_t *job, pappl_device_t *device, void *);

}  // namespace quillet::app
