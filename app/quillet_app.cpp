// quillet-printer-app: a driverless IPP printer for the printer, on PAPPL.
// Phones, desktops and CUPS print to it as to any IPP Everywhere printer; it
// turns their raster into the printer's OAKT stream through the encoding
// core and sends it over USB, the network (socket://) or to a file.
#include <pappl/pappl.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oakt_tables.h"
#include "render.h"

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0.1.0"
#endif

namespace {

constexpr const char *driver_name = "quillet_mono";
constexpr const char *device_id = "MFG:Quillet;MDL:Mono Laser;CMD:OAKT;";

pappl_pr_driver_t drivers[] = {
    {driver_name, "Quillet Mono Laser", device_id, nullptr},
};

// The printer's sizes, and custom sizes up to its printable area.
constexpr std::array<const char *, 10> media_sizes{
    "iso_a4_210x297mm",      "iso_a5_148x210mm",  "jis_b5_182x257mm",       "na_letter_8.5x11in",
    "na_executive_7.25x10.5in", "na_monarch_3.875x7.5in", "iso_dl_110x220mm", "iso_c5_162x229mm",
    "custom_min_76.2x127mm", "custom_max_215.9x296.6mm"};

// A printer whose device ID names this printer's maker or command set
// takes this driver.
const char *autoadd(const char *, const char *, const char *id, void *)
{
    return quillet::app::takes_this_driver(id) ? driver_name : nullptr;
}

bool driver(pappl_system_t *, const char *name, const char *, const char *, pappl_pr_driver_data_t *data,
            ipp_t **attributes, void *)
{
    if (std::strcmp(name, driver_name))
        return false;

    data->rstartjob_cb = quillet::app::start_job;
    data->rstartpage_cb = quillet::app::start_page;
    data->rwriteline_cb = quillet::app::write_line;
    data->rendpage_cb = quillet::app::end_page;
    data->rendjob_cb = quillet::app::end_job;

    std::snprintf(data->make_and_model, sizeof data->make_and_model, "Quillet Mono Laser");
    data->ppm = 20;
    data->kind = PAPPL_KIND_DOCUMENT;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;
    // 8-bit grey in; the driver makes 1-bit black itself.
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    // The printer binds every two-sided job alike: for the short edge the
    // client turns the back sides.
    data->duplex = PAPPL_DUPLEX_MANUAL_TUMBLE;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    // print-quality draft, normal and high are the three resolutions.
    data->num_resolution = 3;
    data->x_resolution[0] = data->y_resolution[0] = 300;
    data->x_resolution[1] = data->y_resolution[1] = 600;
    data->x_resolution[2] = data->y_resolution[2] = 1200;
    data->x_default = data->y_default = 600;

    // Margins that keep what clients print within what the printer prints of
    // a full-page raster: its top-left 8.26 x 11.69 inches, less a margin,
    // which leaves up to 11.3 mm at the right (Letter) and 6.1 mm at the
    // bottom (A4) unprinted.
    data->left_right = 1150;
    data->bottom_top = 650;
    data->num_media = static_cast<int>(media_sizes.size());
    for (size_t i = 0; i < media_sizes.size(); i++)
        data->media[i] = media_sizes[i];
    data->num_source = 1;
    data->source[0] = "main";
    data->num_type = static_cast<int>(quillet::media_keywords.size());
    for (size_t i = 0; i < quillet::media_keywords.size(); i++)
        data->type[i] = quillet::media_keywords[i].data();

    pwg_media_t *a4 = pwgMediaForPWG("iso_a4_210x297mm");
    std::snprintf(data->media_default.size_name, sizeof data->media_default.size_name, "%s", a4->pwg);
    data->media_default.size_width = a4->width;
    data->media_default.size_length = a4->length;
    data->media_default.left_margin = data->media_default.right_margin = data->left_right;
    data->media_default.bottom_margin = data->media_default.top_margin = data->bottom_top;
    std::snprintf(data->media_default.source, sizeof data->media_default.source, "main");
    std::snprintf(data->media_default.type, sizeof data->media_default.type, "stationery");
    data->media_ready[0] = data->media_default;

    // Five densities: print-darkness and printer-darkness-configured.
    data->darkness_supported = quillet::density_levels;
    data->darkness_configured = 50;

    // Mirror printing, a vendor attribute.
    data->num_vendor = 1;
    data->vendor[0] = quillet::app::mirror_attribute;
    if (!*attributes)
        *attributes = ippNew();
    ippAddBoolean(*attributes, IPP_TAG_PRINTER, "quillet-mirror-default", 0);
    ippAddBoolean(*attributes, IPP_TAG_PRINTER, "quillet-mirror-supported", 1);
    return true;
}

bool save_state(pappl_system_t *system, void *file)
{
    return papplSystemSaveState(system, static_cast<const char *>(file));
}

// The system: its state, spool and log where the options say, listening
// where they say.
pappl_system_t *make_system(int num_options, cups_option_t *options, void *)
{
    auto option = [&](const char *name) { return cupsGetOption(name, num_options, options); };
    const char *hostname = option("listen-hostname");
    const char *port_text = option("server-port");
    const char *log_level = option("log-level");
    const char *state_file = option("state-file");
    if (!state_file)
        state_file = std::getenv("QUILLET_STATE_FILE");
    if (!state_file)
        state_file = "/var/lib/quillet-printer-app.state";

    pappl_loglevel_t level = PAPPL_LOGLEVEL_WARN;
    if (log_level && !std::strcmp(log_level, "debug"))
        level = PAPPL_LOGLEVEL_DEBUG;
    else if (log_level && !std::strcmp(log_level, "info"))
        level = PAPPL_LOGLEVEL_INFO;
    else if (log_level && !std::strcmp(log_level, "error"))
        level = PAPPL_LOGLEVEL_ERROR;

    pappl_system_t *system = papplSystemCreate(
        PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG | PAPPL_SOPTIONS_NO_TLS,
        option("system-name") ? option("system-name") : "Quillet", port_text ? std::atoi(port_text) : 0,
        "_print,_universal", option("spool-directory"), option("log-file") ? option("log-file") : "-", level,
        option("auth-service"), false);
    if (!system)
        return nullptr;
    if (!papplSystemAddListeners(system, hostname)) {
        papplSystemDelete(system);
        return nullptr;
    }
    papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(drivers)), drivers, autoadd, nullptr, driver,
                                 nullptr);
    // Every web page needs a footer: PAPPL's localised strings assume one.
    papplSystemSetFooterHTML(system, "Quillet printer application " QUILLET_VERSION);
    static std::string saved_state;
    saved_state = state_file;
    papplSystemSetSaveCallback(system, save_state, saved_state.data());
    static pappl_version_t versions[1] = {{"quillet-printer-app", "", QUILLET_VERSION, {0, 1, 0, 0}}};
    papplSystemSetVersions(system, 1, versions);
    papplSystemLoadState(system, saved_state.c_str());
    return system;
}

}  // namespace

int main(int argc, char *argv[])
{
    return papplMainloop(argc, argv, QUILLET_VERSION, "Quillet printer application", static_cast<int>(std::size(drivers)),
                         drivers, autoadd, driver, nullptr, nullptr, make_system, nullptr, nullptr);
}
