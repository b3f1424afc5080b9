#include "capabilities.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "icons.h"
#include "printer.h"
#include "render.h"

namespace quillet::app {

namespace {

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

}  // namespace

namespace {

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

}  // namespace

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

namespace {

// The label of the mirror attribute in each of PAPPL's languages.
struct Labels {
    const char *language, *mirror;
};
constexpr std::array<Labels, 9> labels{{{"de", "Spiegelbild"},
                                        {"en", "Mirror image"},
                                        {"es", "Imagen especular"},
                                        {"fr", "Image miroir"},
                                        {"it", "Immagine speculare"},
                                        {"ja", "鏡像"},
                                        {"nb-NO", "Speilvendt bilde"},
                                        {"pl", "Odbicie lustrzane"},
                                        {"tr", "Ayna görüntüsü"}}};

}  // namespace

const std::vector<StringsFile> &strings_files()
{
    static const std::vector<StringsFile> files = [] {
        std::vector<StringsFile> made(labels.size());
        for (size_t i = 0; i < labels.size(); i++) {
            made[i].language = labels[i].language;
            made[i].path = "/" + std::string(labels[i].language) + ".strings";
            made[i].text = "\"" + std::string(mirror_attribute) + "\" = \"" + labels[i].mirror + "\";\n";
            for (const quillet::MediaType &type : quillet::media_types)
                made[i].text +=
                    "\"media-type." + std::string(type.keyword) + "\" = \"" + std::string(type.name) + "\";\n";
        }
        return made;
    }();
    return files;
}

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

    // Mirror printing, a vendor attribute.
    data.num_vendor = 1;
    data.vendor[0] = mirror_attribute;
    if (!attributes)
        attributes = ippNew();
    ippAddBoolean(attributes, IPP_TAG_PRINTER, mirror_default, 0);
    ippAddBoolean(attributes, IPP_TAG_PRINTER, mirror_supported, 1);
}

}  // namespace quillet::app
