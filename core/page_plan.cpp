#include "page_plan.h"

#include <algorithm>
#include <cstdio>

#include "oakt_tables.h"

namespace quillet {

namespace {

// Placement on the 1/1200 inch grid: centred on the printer's width,
// moved right by a fixed base, and a fixed distance down.
constexpr int64_t left_base_1200 = 200;
constexpr uint32_t top_base_1200 = 236;

// A printable-area limit in pixels: the resolution times the limit in
// inches, in single precision, truncated toward zero; nullopt when the
// product does not fit an int.
std::optional<int64_t> print_limit(int res, float inches)
{
    float product = static_cast<float>(res) * inches;
    if (!(product >= -2147483648.0f && product < 2147483648.0f))
        return std::nullopt;
    return static_cast<int>(product);
}

struct Fit {
    bool possible = false;
    bool cut = false;
    int64_t width = 0, height = 0;
};

// Fits a width x height image (width already padded to 32 pixels) to the
// printable area.  A larger image is cut to its top-left part, less the cut
// margin at the vertical resolution, the width brought up to a multiple of
// 32 again.  Not possible when the limits do not fit an int, or
// the cut size is negative, larger than the image, or 0 wide with rows.
Fit fit_to_printable_area(int res_x, int res_y, int64_t width, int64_t height)
{
    std::optional<int64_t> max_width = print_limit(res_x, printable_width_inches);
    std::optional<int64_t> max_height = print_limit(res_y, printable_height_inches);
    if (!max_width || !max_height)
        return {};
    if (width <= *max_width && height <= *max_height)
        return {true, false, width, height};

    int64_t margin = static_cast<int>(res_y * cut_margin_inches);
    int64_t cut_width = width > *max_width ? *max_width - margin : width;
    cut_width = (cut_width + 31) & ~int64_t{31};
    int64_t cut_height = height > *max_height ? *max_height - margin : height;
    if (cut_width < 0 || cut_height < 0 || cut_width > width || cut_height > height ||
        (cut_width == 0 && cut_height > 0))
        return {};
    return {true, true, cut_width, cut_height};
}

template <typename... Args>
PlanResult refuse(const char *format, Args... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return {std::nullopt, text};
}

}  // namespace

PixelSize printed_whole(int res_x, int res_y, uint32_t width, uint32_t height)
{
    const std::optional<int64_t> max_width = print_limit(res_x, printable_width_inches);
    const std::optional<int64_t> max_height = print_limit(res_y, printable_height_inches);
    PixelSize whole{width, height};
    // Rows are padded to 32 pixels before they are measured.
    if (max_width && ((int64_t{width} + 31) & ~int64_t{31}) > *max_width)
        whole.width = static_cast<uint32_t>(std::max<int64_t>(*max_width & ~int64_t{31}, 0));
    if (max_height && int64_t{height} > *max_height)
        whole.height = static_cast<uint32_t>(std::max<int64_t>(*max_height, 0));
    return whole;
}

uint32_t grid_1200(int64_t pixels, int res)
{
    if (res == 0)
        return 0;
    return static_cast<uint32_t>(static_cast<int>(pixels * 1200 / res));
}

uint32_t left_offset_1200(uint32_t paper_width_1200)
{
    const int64_t left = (int64_t{centring_width_1200} - static_cast<int>(paper_width_1200)) / 2 + left_base_1200;
    return left < 0 ? 0 : static_cast<uint32_t>(left);
}

PlanResult plan_page(const PrintSettings &settings, const RasterGeometry &raster, int page_number,
                     const PlanLimits &limits)
{
    const uint64_t width = raster.width;
    const uint64_t height = raster.height;
    const uint64_t row_bytes = (width + 7) / 8;

    if (raster.bits_per_pixel != 1)
        return refuse("Page %d has %u bits per pixel; this printer takes 1-bit black raster only.", page_number,
                      raster.bits_per_pixel);
    if (width == 0)
        return refuse("Page %d is 0 pixels wide.", page_number);
    if (raster.bytes_per_line != row_bytes)
        return refuse("Page %d has %u bytes per line, but a row of %u pixels takes %llu.", page_number,
                      raster.bytes_per_line, raster.width, static_cast<unsigned long long>(row_bytes));

    // Rows are padded to a multiple of 32 pixels.
    const uint64_t padded_width = (width + 31) & ~uint64_t{31};
    const uint64_t page_bytes = padded_width / 8 * height;
    if (padded_width > 0x7fffffff || height > 0x7fffffff || page_bytes > 0x7fffffff ||
        page_bytes > limits.max_page_bytes)
        return refuse("Page %d is too large: %u x %u pixels need a page buffer of %llu bytes.", page_number,
                      raster.width, raster.height, static_cast<unsigned long long>(page_bytes));

    const int res_x = static_cast<int>(settings.resolution_x);
    const int res_y = static_cast<int>(settings.resolution_y);
    const Fit fit = fit_to_printable_area(res_x, res_y, static_cast<int64_t>(padded_width),
                                          static_cast<int64_t>(height));
    if (!fit.possible)
        return refuse("Page %d cannot be fitted to the printable area at a resolution of %u x %u dpi.", page_number,
                      settings.resolution_x, settings.resolution_y);

    // The paper size in the records is the raster's own, or the cut size.
    const int64_t paper_width = fit.cut ? fit.width : static_cast<int64_t>(width);
    const int64_t paper_height = fit.cut ? fit.height : static_cast<int64_t>(height);
    if ((res_x != 0 && paper_width * 1200 > 0x7fffffff) || (res_y != 0 && paper_height * 1200 > 0x7fffffff))
        return refuse("Page %d is too large for the printer: %lld x %lld pixels at %u x %u dpi.", page_number,
                      static_cast<long long>(paper_width), static_cast<long long>(paper_height),
                      settings.resolution_x, settings.resolution_y);

    PagePlan plan;
    plan.input_width = raster.width;
    plan.input_height = raster.height;
    plan.input_bytes_per_line = raster.bytes_per_line;
    plan.image_width = static_cast<uint32_t>(fit.width);
    plan.image_height = static_cast<uint32_t>(fit.height);
    plan.image_bytes_per_row = static_cast<uint32_t>((fit.width + 7) / 8);
    plan.cut = fit.cut;

    plan.resolution_x = res_x;
    plan.resolution_y = res_y;
    plan.paper_code = paper_code_for_length(settings.length_points);
    plan.media = settings.media;
    plan.density = std::clamp(settings.density, 0, density_levels - 1);
    plan.copies = settings.copies;
    plan.duplex = settings.duplex;
    plan.mirror = settings.mirror;

    plan.paper_width_1200 = grid_1200(paper_width, res_x);
    plan.paper_height_1200 = grid_1200(paper_height, res_y);
    plan.left_offset = left_offset_1200(plan.paper_width_1200);
    plan.top_offset = top_base_1200;
    return {plan, {}};
}

}  // namespace quillet
