// The printer's driver (driver.h): the callbacks PAPPL asks for a printer,
// what the printer offers, and what a job asks of it.
#include "driver.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "device_policy.h"
#include "icons.h"
#include "page_output.h"

namespace quillet::app {

namespace {

// PAPPL's languages, in the order of each option's labels.
constexpr std::array<const char *, 9> languages = {"de", "en", "es", "fr", "it", "ja", "nb-NO", "pl", "tr"};

// The printer's own options beyond IPP's: each a boolean job attribute
// NAME, with NAME-default (the printer's default, which the administrator
// may change) and NAME-supported, a label in each of PAPPL's languages, and
// the core's setting it sets.  A new option is one row here.
struct VendorOption {
    const char *name;
    bool printer_default;
    bool PrintSettings::*setting;
    std::array<const char *, languages.size()> labels;
};
constexpr std::array<VendorOption, 1> vendor_options{{
    {"quillet-mirror", false, &PrintSettings::mirror,
     {"Spiegelbild", "Mirror image", "Imagen especular", "Image miroir", "Immagine speculare", "鏡像",
      "Speilvendt bilde", "Odbicie lustrzane", "Ayna görüntüsü"}},
}};
static_assert(vendor_options.size() <= PAPPL_MAX_VENDOR);

pappl_pr_driver_t drivers[] = {
    {driver_name, quillet::make_and_model.data(), quillet::device_id.data(), nullptr},
};

std::mutex device_rule_lock;
DeviceRule device_rule;

// The printer's sizes, and custom sizes up to its printable area.  (The
// description's names are string literals, which end in NUL as PAPPL needs.)
constexpr std::array<const char *, quillet::paper_sizes.size() + 2> media_sizes = [] {
    std::array<const char *, quillet::paper_sizes.size() + 2> names{};
    for (size_t i = 0; i < quillet::paper_sizes.size(); i++)
        names[i] = quillet::paper_sizes[i].pwg_name.data();
    names[quillet::paper_sizes.size()] = quillet::custom_sizes.min_pwg_name.data();
    names[quillet::paper_sizes.size() + 1] = quillet::custom_sizes.max_pwg_name.data();
    return names;
}();

// Up to the next half millimetre, in hundredths of one.
int half_millimetres_up(double hundredths)
{
    return static_cast<int>(std::ceil(hundredths / 50 - 1e-9)) * 50;
}

// A sheet's margins: what the printer cannot print at its edges (the
// PPD's), and what printed_part() cuts at any resolution.
Margins sheet_margins(unsigned width_points, unsigned length_points, float side_points, float end_points)
{
    Margins most{half_millimetres_up(side_points * 2540.0 / 72), half_millimetres_up(end_points * 2540.0 / 72)};
    for (unsigned resolution : quillet::resolutions) {
        const PageFormat sheet{width_points * resolution / 72, length_points * resolution / 72, resolution,
                               resolution};
        const PrintedPart part = printed_part(sheet);
        const int64_t right = int64_t{sheet.width} - part.kept.width - part.left;
        const auto hundredths = [resolution](int64_t pixels) { return double(pixels) * 2540 / resolution; };
        most.left_right =
            std::max(most.left_right, half_millimetres_up(hundredths(std::max<int64_t>(right, part.left))));
        most.bottom_top = std::max(most.bottom_top, half_millimetres_up(hundredths(sheet.height - part.kept.height)));
    }
    return most;
}

// The printer's capabilities and defaults; the callbacks and the format
// are the driver callback's.
void describe_printer(pappl_pr_driver_data_t &data, ipp_t *&attributes)
{
    std::snprintf(data.make_and_model, sizeof data.make_and_model, "%s", quillet::make_and_model.data());
    for (size_t i = 0; i < icons().size(); i++) {
        data.icons[i].data = icons()[i].data();
        data.icons[i].datalen = icons()[i].size();
    }
    data.ppm = static_cast<int>(quillet::pages_per_minute);
    data.kind = PAPPL_KIND_DOCUMENT;
    data.orient_default = IPP_ORIENT_PORTRAIT;
    data.color_supported = PAPPL_COLOR_MODE_MONOCHROME;
    data.color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data.content_default = PAPPL_CONTENT_AUTO;
    data.quality_default = IPP_QUALITY_NORMAL;
    data.scaling_default = PAPPL_SCALING_AUTO;
    // 8-bit grey in; the driver makes 1-bit black itself.
    data.raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    // The printer binds every two-sided job alike: for the short edge the
    // client turns the back sides.
    data.duplex = PAPPL_DUPLEX_MANUAL_TUMBLE;
    data.sides_supported = PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data.sides_default = PAPPL_SIDES_ONE_SIDED;

    // print-quality draft, normal and high are the three resolutions.
    data.num_resolution = static_cast<int>(quillet::resolutions.size());
    for (size_t i = 0; i < quillet::resolutions.size(); i++)
        data.x_resolution[i] = data.y_resolution[i] = static_cast<int>(quillet::resolutions[i]);
    data.x_default = data.y_default = static_cast<int>(quillet::default_resolution);

    const Margins margins = printer_margins();
    data.left_right = margins.left_right;
    data.bottom_top = margins.bottom_top;
    data.num_media = static_cast<int>(media_sizes.size());
    for (size_t i = 0; i < media_sizes.size(); i++)
        data.media[i] = media_sizes[i];
    data.num_source = 1;
    data.source[0] = quillet::paper_source.data();
    data.num_type = static_cast<int>(quillet::media_types.size());
    for (size_t i = 0; i < quillet::media_types.size(); i++)
        data.type[i] = quillet::media_types[i].keyword.data();

    pwg_media_t *a4 = pwgMediaForPWG(quillet::default_paper.pwg_name.data());
    std::snprintf(data.media_default.size_name, sizeof data.media_default.size_name, "%s", a4->pwg);
    data.media_default.size_width = a4->width;
    data.media_default.size_length = a4->length;
    std::snprintf(data.media_default.source, sizeof data.media_default.source, "%s", quillet::paper_source.data());
    std::snprintf(data.media_default.type, sizeof data.media_default.type, "%s",
                  quillet::media_types[0].keyword.data());
    give_printer_margins(data.media_default);
    data.media_ready[0] = data.media_default;

    // Five densities: print-darkness and printer-darkness-configured.
    data.darkness_supported = quillet::density_levels;
    data.darkness_configured = default_darkness;

    // The printer's own options, with their printer defaults.
    data.num_vendor = static_cast<int>(vendor_options.size());
    if (!attributes)
        attributes = ippNew();
    for (size_t i = 0; i < vendor_options.size(); i++) {
        const VendorOption &option = vendor_options[i];
        data.vendor[i] = option.name;
        ippAddBoolean(attributes, IPP_TAG_PRINTER, (std::string(option.name) + "-default").c_str(),
                      option.printer_default);
        ippAddBoolean(attributes, IPP_TAG_PRINTER, (std::string(option.name) + "-supported").c_str(), 1);
    }
}

}  // namespace

std::span<pappl_pr_driver_t> printer_drivers()
{
    return drivers;
}

const char *autoadd_callback(const char *, const char *, const char *device_id, void *)
{
    return takes_this_driver(device_id) ? driver_name : nullptr;
}

bool driver_callback(pappl_system_t *system, const char *name, const char *device_uri, const char *,
                     pappl_pr_driver_data_t *data, ipp_t **attributes, void *)
{
    if (std::strcmp(name, driver_name))
        return false;
    std::string why;
    {
        const std::lock_guard hold(device_rule_lock);
        if (!device_uri_allowed(device_uri, device_rule.output_directory, device_rule.dns_sd, why) &&
            !device_rule.loading_state) {
            papplLog(system, PAPPL_LOGLEVEL_ERROR, "Refusing printer on '%s': %s", device_uri ? device_uri : "",
                     why.c_str());
            return false;
        }
    }
    data->rstartjob_cb = start_job;
    data->rstartpage_cb = start_page;
    data->rwriteline_cb = write_line;
    data->rendpage_cb = end_page;
    data->rendjob_cb = end_job;
    // The printer's own stream: jobs in it go to the printer as they are,
    // and PAPPL looks up this application's document filters by it.
    data->format = printer_format;
    describe_printer(*data, *attributes);
    return true;
}

void set_device_rule(const DeviceRule &rule)
{
    const std::lock_guard hold(device_rule_lock);
    device_rule = rule;
}

bool takes_this_driver(const char *device_id)
{
    if (!device_id)
        return false;
    cups_option_t *keys = nullptr;
    int count = papplDeviceParseID(device_id, &keys);
    const char *make = cupsGetOption("MANUFACTURER", count, keys);
    if (!make)
        make = cupsGetOption("MFG", count, keys);
    const char *commands = cupsGetOption("COMMAND SET", count, keys);
    if (!commands)
        commands = cupsGetOption("CMD", count, keys);
    bool ours = make && !strcasecmp(make, printer_make.data());
    if (commands) {
        // A comma-separated list of command sets.
        std::string list = commands;
        for (size_t at = 0; at <= list.size();) {
            size_t end = list.find(',', at);
            if (end == std::string::npos)
                end = list.size();
            ours |= list.substr(at, end - at) == command_set;
            at = end + 1;
        }
    }
    cupsFreeOptions(count, keys);
    return ours;
}

Margins printer_margins()
{
    static const Margins most = [] {
        const quillet::CustomSizes &custom = quillet::custom_sizes;
        Margins largest = sheet_margins(custom.max_width, custom.max_length, std::max(custom.left, custom.right),
                                        std::max(custom.bottom, custom.top));
        for (const quillet::PaperSize &size : quillet::paper_sizes) {
            const Margins own = sheet_margins(size.width_points, size.length_points, std::max(size.left, size.right),
                                              std::max(size.bottom, size.top));
            largest.left_right = std::max(largest.left_right, own.left_right);
            largest.bottom_top = std::max(largest.bottom_top, own.bottom_top);
        }
        return largest;
    }();
    return most;
}

bool give_printer_margins(pappl_media_col_t &media)
{
    const Margins own = printer_margins();
    if (!media.size_name[0] || (media.left_margin == own.left_right && media.right_margin == own.left_right &&
                                media.top_margin == own.bottom_top && media.bottom_margin == own.bottom_top))
        return false;
    media.left_margin = media.right_margin = own.left_right;
    media.top_margin = media.bottom_margin = own.bottom_top;
    return true;
}

const std::array<std::vector<uint8_t>, 3> &icons()
{
    static const std::array<std::vector<uint8_t>, 3> drawn{icon_png(48), icon_png(128), icon_png(512)};
    return drawn;
}

const std::vector<StringsFile> &strings_files()
{
    static const std::vector<StringsFile> files = [] {
        std::vector<StringsFile> made(languages.size());
        for (size_t i = 0; i < languages.size(); i++) {
            made[i].language = languages[i];
            made[i].path = "/" + std::string(languages[i]) + ".strings";
            for (const VendorOption &option : vendor_options)
                made[i].text += "\"" + std::string(option.name) + "\" = \"" + option.labels[i] + "\";\n";
            for (const quillet::MediaType &type : quillet::media_types)
                made[i].text +=
                    "\"media-type." + std::string(type.keyword) + "\" = \"" + std::string(type.name) + "\";\n";
        }
        return made;
    }();
    return files;
}

PrintSettings job_settings(pappl_job_t *job, const pappl_pr_options_t *options, bool copies_repeated)
{
    PrintSettings settings;
    // media-type belongs in media-col; a client that sends it alone means it too.
    const char *type = options->media.type;
    if (ipp_attribute_t *alone = papplJobGetAttribute(job, "media-type"))
        type = ippGetString(alone, 0, nullptr);
    settings.media = media_code_for_keyword(type ? type : "").value_or(0);
    settings.density = density_level(options->darkness_configured, options->print_darkness);
    // Copies the application sends again are one copy each to the printer.
    settings.copies = copies_repeated ? 1 : static_cast<uint32_t>(std::max(options->copies, 1));
    settings.duplex = options->sides != PAPPL_SIDES_ONE_SIDED;
    // The job's own options, else the printer's defaults: PAPPL does not
    // apply a vendor attribute's default to jobs that do not name it.
    ipp_t *printer_defaults = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
    for (const VendorOption &option : vendor_options) {
        bool value = option.printer_default;
        if (const char *asked = cupsGetOption(option.name, options->num_vendor, options->vendor))
            value = !std::strcmp(asked, "true");
        else if (ipp_attribute_t *fallback = ippFindAttribute(
                     printer_defaults, (std::string(option.name) + "-default").c_str(), IPP_TAG_BOOLEAN))
            value = ippGetBoolean(fallback, 0);
        settings.*option.setting = value;
    }
    ippDelete(printer_defaults);
    return settings;
}

PrintSettings page_settings(PrintSettings job, unsigned height, unsigned resolution_x, unsigned resolution_y)
{
    job.resolution_x = resolution_x;
    job.resolution_y = resolution_y;
    // The paper code from the page's own length: PAPPL's header truncates
    // PageSize (A4 arrives as 841 points), and a raster job's media need not
    // be the job's media attribute.
    job.length_points = length_points(static_cast<int>(uint64_t{height} * 2540 / resolution_y),
                                      static_cast<int>(resolution_y));
    return job;
}

unsigned length_points(int hundredths_mm, int resolution)
{
    // A raster's rows give its length to a pixel: take the printer's size
    // within a pixel and a half of it.
    const long tolerance = resolution > 0 ? 2540L * 3 / (2 * resolution) + 20 : 20;
    for (const PaperSize &size : paper_sizes) {
        long length = static_cast<long>(size.length_points) * 2540 / 72;
        if (std::labs(length - hundredths_mm) <= tolerance)
            return size.length_points;
    }
    return static_cast<unsigned>((static_cast<long>(hundredths_mm) * 72 + 1270) / 2540);
}

}  // namespace quillet::app
