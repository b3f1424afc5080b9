// Jobs' documents: the bounds on them, rasters read from their spool
// files, and jobs whose document never came.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>

namespace quillet::app {

// The largest document a client may send, in bytes; a larger one is
// refused as it comes in.
inline constexpr uint64_t default_max_document_size = uint64_t{256} << 20;

// Jobs a printer holds that have not ended (waiting for a document,
// waiting to print, printing); past them a new job is refused as busy, so
// that Create-Job without a document cannot grow the server without end.
inline constexpr int active_jobs_per_printer = 500;

// Seconds a job made without its document (Create-Job) waits for one
// unless the server is told otherwise (-o document-wait-limit); then it
// ends, canceled, with the reason.
inline constexpr int default_document_wait_seconds = 300;

// Ends each job that has waited longer than wait_seconds for its document;
// the number ended.
size_t end_jobs_without_document(pappl_system_t *system, int wait_seconds);

// PWG and Apple raster jobs, read from their spool file.
bool print_raster(pappl_job_t *job, pappl_device_t *device, void *);

}  // namespace quillet::app
