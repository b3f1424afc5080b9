// What the printer offers IPP clients, from the printer's description: its
// sizes and margins, resolutions, media types, darkness, sides, its own
// attributes and their labels, and its icons.
#pragma once

#include <pappl/pappl.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet::app {

// Margins in hundredths of a millimetre that keep what a client prints
// within what the printer prints of a full-page raster of a sheet, at
// every resolution: the most printed_part() cuts at a side and at the
// bottom, brought up to half a millimetre.
struct Margins {
    int left_right = 0, bottom_top = 0;
};
// One pair for every size, the largest any size needs (PAPPL gives a
// printer one pair: a size that needs less loses a few millimetres, and
// none is drawn where the printer cannot print).
Margins printer_margins();
// Gives media (with a size) the printer's margins; whether they had others.
bool give_printer_margins(pappl_media_col_t &media);

// The icon in PAPPL's three sizes, drawn once.
const std::array<std::vector<uint8_t>, 3> &icons();

// The labels of the printer's own attributes and media types in one of
// PAPPL's languages: the web page and IPP clients (printer-strings-uri)
// show them instead of the keywords.  Kept for as long as the server runs
// (PAPPL does not copy them).
struct StringsFile {
    std::string language, path, text;
};
const std::vector<StringsFile> &strings_files();

// The printer's capabilities and defaults; the callbacks and the format
// are the caller's.
void describe_printer(pappl_pr_driver_data_t &data, ipp_t *&attributes);

}  // namespace quillet::app
