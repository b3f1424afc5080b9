// The printer's driver: what the printer offers IPP clients (its sizes and
// margins, resolutions, media types, darkness, sides, its own options and
// their labels, its icons), which printers take it, and what a job asks of
// the printer.  PAPPL's raster callbacks it hands over are page output's
// (page_output.h).
#pragma once

#include <pappl/pappl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "page_plan.h"
#include "printer.h"

namespace quillet::app {

inline constexpr const char *driver_name = "quillet_mono";

// The printer's own stream as a document format: such jobs go to the
// printer as they are, and PAPPL looks up the document filters by it.
inline constexpr const char *printer_format = "application/vnd.quillet-oakt";

// The drivers the application offers (one), for papplMainloop and
// papplSystemSetPrinterDrivers.
std::span<pappl_pr_driver_t> printer_drivers();

// PAPPL's auto-add callback: the driver for a printer whose IEEE 1284
// device ID names this printer's maker or command set.
const char *autoadd_callback(const char *device_info, const char *device_uri, const char *device_id, void *);
// PAPPL's driver callback: the printer's description and its callbacks.
bool driver_callback(pappl_system_t *system, const char *driver_name, const char *device_uri, const char *device_id,
                     pappl_pr_driver_data_t *data, ipp_t **attributes, void *);

// Which devices a new printer may have: file:// only in output_directory,
// dnssd:// only with DNS-SD (device_uri_allowed()).  A printer the saved
// state holds is kept while loading_state, whatever its device: the
// server stops it until its device can be used (PAPPL would drop it).
struct DeviceRule {
    std::string output_directory;
    bool dns_sd = false;
    bool loading_state = false;
};
void set_device_rule(const DeviceRule &rule);

// Whether a printer with this IEEE 1284 device ID takes this driver: its
// maker is Quillet, or its command set has OAKT.
bool takes_this_driver(const char *device_id);

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

// The labels of the printer's own options and media types in one of
// PAPPL's languages: the web page and IPP clients (printer-strings-uri)
// show them instead of the keywords.  Kept for as long as the server runs
// (PAPPL does not copy them).
struct StringsFile {
    std::string language, path, text;
};
const std::vector<StringsFile> &strings_files();

// What the job asks of the printer, read once as it starts: media type,
// density, copies (one when the application sends the copies again
// itself), sides and the printer's own options.
PrintSettings job_settings(pappl_job_t *job, const pappl_pr_options_t *options, bool copies_repeated);
// The job's settings for a page of height rows at this resolution.
PrintSettings page_settings(PrintSettings job, unsigned height, unsigned resolution_x, unsigned resolution_y);

// The page length in points for a length in hundredths of millimetres,
// measured at resolution dots per inch (0: exact): the printer's own size
// when it is within a pixel and a half of one.
unsigned length_points(int hundredths_mm, int resolution);

// The density level 0 to 4 from the printer's configured darkness (0 to
// 100) and the job's print-darkness (-100 to 100).
constexpr int density_level(int configured, int job)
{
    const int darkness = std::clamp(configured + job, 0, 100);
    return std::clamp((darkness + 12) / 25, 0, density_levels - 1);
}
// The printer's darkness to begin with: the normal density.
inline constexpr int default_darkness = 50;
static_assert(density_level(default_darkness, 0) == normal_density);

}  // namespace quillet::app
