// Documents: rasters read here, PNG decoded here within bounds, PDF and
// PostScript rendered by Ghostscript; all go through the page interface of
// render.h.
#pragma once

#include <pappl/pappl.h>

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quillet::app {

// The printer's own stream as a document format: such jobs go to the
// printer as they are.
inline constexpr const char *printer_format = "application/vnd.quillet-oakt";

// The largest image decoded, in pixels: a 100 MB grey buffer at most.
inline constexpr unsigned long max_image_pixels = 100'000'000;
inline constexpr unsigned max_image_side = 30000;

// What one conversion may spend: bytes written in its folder, and seconds
// without output before its job ends.
struct ConversionBounds {
    uint64_t bytes = uint64_t{16} << 20;
    unsigned silence_seconds = 60;
};

// PDF and PostScript are converted each in a fresh folder of their own,
// within bounds, and, when the server runs as root, each as
// a user id of its own from ids, which no user of the host and none of
// their containers has.  The folders are in one made for the state file's
// server, where those users can reach it (and what a crash left there is
// removed).  The reason when conversions cannot be made so.
struct ConversionIds {
    uid_t first = 1879048192;  // past the ids systemd hands to containers
    unsigned count = 1024;
};
std::optional<std::string> set_up_conversions(const std::string &state_file, ConversionIds ids,
                                              ConversionBounds bounds);
// Removes the conversions' folder as the server stops.
void remove_conversions_folder();

// Adds the raster and PNG filters, and the PDF filter when Ghostscript is
// installed.
void add_document_filters(pappl_system_t *system);

}  // namespace quillet::app
