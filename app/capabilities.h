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
// Each size's own, by its dimensions in hundredths of a millimetre (as
// PWG names them); any other size (a custom one) takes the largest of all.
Margins size_margins(int width, int length);
// The smallest of them, which PAPPL takes for the printer's (it refuses
// ready media with less), and every value offered at the sides and at the
// ends, in ascending order.
Margins least_margins();
// Gives media (with a size) their size's own margins; whether they had
// others.
bool give_size_margins(pappl_media_col_t &media);
std::vector<int> side_margins_offered();
std::vector<int> end_margins_offered();

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
