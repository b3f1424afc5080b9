// The plan of one page, worked out once from its settings and its raster:
// whether the printer can take it (and why not), what goes into its
// records, and the image that is printed after fitting to the printable
// area.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "oakt_records.h"
#include "printer.h"

namespace quillet {

// What the printer is asked to do with a page.  The filter decodes it from
// CUPS's page header, the printer application from the job's IPP
// attributes.
struct PrintSettings {
    uint32_t resolution_x = default_resolution;  // dots per inch
    uint32_t resolution_y = default_resolution;
    uint32_t length_points = 0;    // the page's length, which selects the paper code
    int media = 0;                 // media code 0 to 9
    int density = normal_density;  // 0 lightest to 4 darkest; beyond them the nearest
    uint32_t copies = 1;
    uint32_t duplex = 0;           // non-zero prints two-sided; the records carry the value
    bool mirror = false;           // mirrors left to right
};

// The rows a front end feeds: their number, width and size.
struct RasterGeometry {
    uint32_t width = 0;           // pixels
    uint32_t height = 0;          // rows
    uint32_t bytes_per_line = 0;  // of each row
    uint32_t bits_per_pixel = 1;
};

// Rows of 1-bit black, (width + 7) / 8 bytes each.
constexpr RasterGeometry one_bit_rows(uint32_t width, uint32_t height)
{
    return {width, height, (width + 7) / 8, 1};
}

struct PagePlan {
    // The raster as it arrives.
    uint32_t input_width = 0, input_height = 0, input_bytes_per_line = 0;
    // The printed image: its width is a multiple of 32 pixels; rows below
    // image_height are not printed.
    uint32_t image_width = 0, image_height = 0;
    uint32_t image_bytes_per_row = 0;
    bool cut = false;  // the page exceeds the printable area
    // Record fields.
    int resolution_x = 0, resolution_y = 0;
    uint32_t paper_code = 0;
    int media = 0;
    int density = 0;  // 0 to 4
    uint32_t copies = 1;
    uint32_t duplex = 0;
    bool mirror = false;
    uint32_t source = paper_source_code;
    uint32_t paper_width_1200 = 0, paper_height_1200 = 0;  // 1/1200 inch
    uint32_t left_offset = 0, top_offset = 0;              // 1/1200 inch
};

struct PlanLimits {
    // Largest raster page taken, in bytes of rows padded to 32 pixels.
    uint64_t max_page_bytes = 0x7fffffff;
};

// Either a plan or the reason the page is refused.
struct PlanResult {
    std::optional<PagePlan> plan;
    std::string refusal;  // one sentence naming the page
};

// page_number counts from 1 and only names the page in a refusal.
PlanResult plan_page(const PrintSettings &settings, const RasterGeometry &raster, int page_number,
                     const PlanLimits &limits = {});

// The largest raster of at most width x height pixels that the printer
// prints whole, not cut to its printable area: what a document is rendered
// into so that nothing of it is lost.  The printer centres a narrower image
// on the sheet.
struct PixelSize {
    uint32_t width = 0, height = 0;
};
PixelSize printed_whole(int res_x, int res_y, uint32_t width, uint32_t height);

// A size in pixels at res dots per inch on the 1/1200 inch grid, truncated.
uint32_t grid_1200(int64_t pixels, int res);
// The left offset of an image paper_width_1200 wide: centred on the width of
// an A4 sheet and moved right by a fixed base, never negative.
uint32_t left_offset_1200(uint32_t paper_width_1200);

}  // namespace quillet
