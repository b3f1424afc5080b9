// The server's options as the administrator gives them (-o NAME=VALUE),
// each value checked.
#pragma once

#include <cups/cups.h>
#include <pappl/pappl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "conversions.h"
#include "raster_jobs.h"
#include "page_output.h"

namespace quillet::app {

// Connections the server holds in all, each with a thread of its own; past
// them PAPPL takes no more until one ends.
inline constexpr int connections_in_all = 256;

// What the administrator chose when starting the server (-o NAME=VALUE),
// each value checked.
struct ServerOptions {
    bool private_server = false;  // the one a sub-command starts by itself
    std::string state_file;
    std::string spool_directory;
    std::string output_directory;  // where file:// printers may write
    unsigned page_limit = default_page_limit;
    uint64_t max_document_bytes = default_max_document_size;
    int completed_jobs_kept = 100;  // per printer
    int document_wait_seconds = default_document_wait_seconds;
    ConversionIds conversion_ids;
    ConversionBounds conversion;
    pappl_loglevel_t log_level = PAPPL_LOGLEVEL_WARN;
    int port = 8000;
};

// The server's options, or the reason one is refused; folders default to
// ones in state_dir.
std::optional<std::string> read_server_options(int num_options, cups_option_t *options, const std::string &state_dir,
                                               ServerOptions &chosen);

}  // namespace quillet::app
