// The page plan: settings from the header, fitting to the printable area,
// and the headers the printer cannot take.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "oakt_tables.h"
#include "page_loop.h"
#include "page_plan.h"

using namespace quillet;

namespace {

// A page: what it asks of the printer and its rows.
struct Page {
    PrintSettings settings;
    RasterGeometry raster;
};

Page header(uint32_t width, uint32_t height, uint32_t res = 600)
{
    Page h;
    h.raster = one_bit_rows(width, height);
    h.settings.resolution_x = h.settings.resolution_y = res;
    h.settings.length_points = 842;
    return h;
}

PagePlan plan_of(const Page &h)
{
    PlanResult result = plan_page(h.settings, h.raster, 1);
    EXPECT_TRUE(result.plan) << result.refusal;
    return result.plan.value_or(PagePlan{});
}

// The codes of the sizes are checked through the PPD; a length a point off
// is another size.
TEST(Plan, PaperCodeFromThePageLengthAlone)
{
    const std::pair<unsigned, uint32_t> table[] = {{842, 9}, {841, 256}, {843, 256}, {0, 256}};
    for (auto [length, code] : table) {
        Page h = header(100, 100);
        h.settings.length_points = length;
        EXPECT_EQ(plan_of(h).paper_code, code) << "length " << length;
    }
}

TEST(Plan, DensityFromTheSignedDifference)
{
    // cupsCompression carries the density 2 to 6.
    const std::pair<unsigned, int> table[] = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 2}, {5, 3}, {6, 4}, {100, 4},
                                              {0x80000001u, 4}, {0x80000002u, 0}, {0xFFFFFFFFu, 0}};
    for (auto [compression, level] : table) {
        Page h = header(100, 100);
        cups_page_header2_t cups{};
        cups.cupsCompression = compression;
        h.settings.density = filter::print_settings(cups, {}).density;
        EXPECT_EQ(plan_of(h).density, level) << "compression " << compression;
    }
}

TEST(Plan, EachAxisAtItsOwnResolution)
{
    // 8 x 10 inches at 300 x 600 dpi.
    Page h = header(2400, 6000, 300);
    h.settings.resolution_y = 600;
    PagePlan p = plan_of(h);
    EXPECT_FALSE(p.cut);
    EXPECT_EQ(p.paper_width_1200, 9600u);
    EXPECT_EQ(p.paper_height_1200, 12000u);
    EXPECT_EQ(p.image_width, 2400u);
    EXPECT_EQ(p.image_height, 6000u);
}

struct FitCase {
    uint32_t res, width, height;
    bool cut;
    uint32_t image_width, image_height;
    uint32_t w1200, h1200, left;
};

class Fit : public testing::TestWithParam<FitCase> {};

TEST_P(Fit, ToThePrintableArea)
{
    const FitCase &c = GetParam();
    PagePlan p = plan_of(header(c.width, c.height, c.res));
    EXPECT_EQ(p.cut, c.cut);
    EXPECT_EQ(p.image_width, c.image_width);
    EXPECT_EQ(p.image_height, c.image_height);
    EXPECT_EQ(p.image_bytes_per_row, (c.image_width + 7) / 8);
    EXPECT_EQ(p.paper_width_1200, c.w1200);
    EXPECT_EQ(p.paper_height_1200, c.h1200);
    EXPECT_EQ(p.left_offset, c.left);
    EXPECT_EQ(p.top_offset, 236u);
}

// Pages that fit keep their own size in the paper record and a width padded
// to 32 pixels in the image; cut pages have the cut size in both.
INSTANTIATE_TEST_SUITE_P(
    Sizes, Fit,
    testing::Values(FitCase{600, 4800, 6000, false, 4800, 6000, 9600, 12000, 360},
                    FitCase{600, 4958, 7016, true, 4832, 6872, 9664, 13744, 328},  // both limits exceeded
                    FitCase{600, 4950, 7000, true, 4832, 7000, 9664, 14000, 328},  // 4950 padded to 4960 > 4956
                    FitCase{600, 4928, 7014, true, 4928, 6872, 9856, 13744, 232},  // 7014 > 7013
                    FitCase{600, 4928, 7013, false, 4928, 7013, 9856, 14026, 232},
                    FitCase{600, 3500, 4958, false, 3520, 4958, 7000, 9916, 1660},  // A5
                    FitCase{300, 2480, 3508, true, 2432, 3436, 9728, 13744, 296},  // A4 at 300 dpi
                    FitCase{1200, 9920, 14034, true, 9632, 13744, 9632, 13744, 344},  // A4 at 1200 dpi
                    FitCase{360, 101, 257, false, 128, 257, 336, 856, 4992},  // the grid truncates
                    FitCase{1, 32, 100, true, 32, 11, 38400, 13200, 0},
                    FitCase{0, 32, 0, true, 0, 0, 0, 0, 5160}));

// What a document is rendered into prints whole, and is the largest that
// does: 32 pixels wider or one row longer is cut.
TEST(Plan, PrintedWholeIsTheLargestPartNotCut)
{
    const std::tuple<uint32_t, uint32_t, int> sheets[] = {
        {2480, 3508, 300}, {4960, 7016, 600}, {9920, 14032, 1200}, {5100, 6600, 600}, {1750, 2480, 300}};
    for (auto [width, height, res] : sheets) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + " at " + std::to_string(res));
        const PixelSize kept = printed_whole(res, res, width, height);
        EXPECT_LE(kept.width, width);
        EXPECT_LE(kept.height, height);
        EXPECT_FALSE(plan_of(header(kept.width, kept.height, uint32_t(res))).cut);
        if (kept.width < width) {
            EXPECT_TRUE(plan_of(header(kept.width + 32, kept.height, uint32_t(res))).cut);
        }
        if (kept.height < height) {
            EXPECT_TRUE(plan_of(header(kept.width, kept.height + 1, uint32_t(res))).cut);
        }
    }
}

TEST(Placement, CentredOnTheA4WidthNeverNegative)
{
    const std::pair<uint32_t, uint32_t> table[] = {{9920, 200}, {8000, 1160}, {602, 4859}, {0, 5160},
                                             {10318, 1},  {10319, 1},   {10320, 0},  {10321, 0}};
    for (auto [width, left] : table)
        EXPECT_EQ(left_offset_1200(width), left) << width;
}

struct RefusalCase {
    const char *name;
    void (*change)(Page &);
    const char *why;  // null: accepted
};

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, OfWhatThePrinterCannotTake)
{
    const RefusalCase &c = GetParam();
    Page h = header(4958, 7016);
    c.change(h);
    PlanResult got = plan_page(h.settings, h.raster, 3);
    if (!c.why) {
        EXPECT_TRUE(got.plan) << got.refusal;
    } else {
        EXPECT_FALSE(got.plan);
        EXPECT_EQ(got.refusal.rfind("Page 3 ", 0), 0u) << got.refusal;
        EXPECT_NE(got.refusal.find(c.why), std::string::npos) << got.refusal;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Refusal,
    testing::Values(
        RefusalCase{"a4", [](Page &) {}, nullptr},
        RefusalCase{"eight_bits",
                    [](Page &h) {
                        h.raster.bits_per_pixel = 8;
                        h.raster.bytes_per_line = 4958;
                    },
                    "has 8 bits per pixel; this printer takes 1-bit black raster only."},
        RefusalCase{"long_rows", [](Page &h) { h.raster.bytes_per_line = 624; },
                    "has 624 bytes per line, but a row of 4958 pixels takes 620."},
        RefusalCase{"short_rows", [](Page &h) { h.raster.bytes_per_line = 619; }, "619 bytes per line"},
        RefusalCase{"zero_width",
                    [](Page &h) {
                        h.raster.width = 0;
                        h.raster.bytes_per_line = 0;
                    },
                    "is 0 pixels wide."},
        RefusalCase{"widest_row",
                    [](Page &h) {
                        h.raster.width = 0xFFFFFFFFu;
                        h.raster.bytes_per_line = 0x20000000u;
                        h.raster.height = 1;
                    },
                    "too large"},
        RefusalCase{"beyond_31_bits",
                    [](Page &h) {
                        h.raster.width = 65536 * 8;
                        h.raster.bytes_per_line = 65536;
                        h.raster.height = 32768;
                    },
                    "is too large: 524288 x 32768 pixels need a page buffer of 2147483648 bytes."},
        RefusalCase{"beyond_31_bits_once_padded",
                    [](Page &h) {
                        h.raster.width = 65536 * 8 - 31;
                        h.raster.bytes_per_line = 65533;
                        h.raster.height = 32768;
                    },
                    "is too large: 524257 x 32768 pixels need a page buffer of 2147483648 bytes."},
        RefusalCase{"resolution_0", [](Page &h) { h.settings.resolution_x = h.settings.resolution_y = 0; }, nullptr},
        RefusalCase{"resolution_0_across", [](Page &h) { h.settings.resolution_x = 0; },
                    "cannot be fitted to the printable area at a resolution of 0 x 600 dpi."},
        RefusalCase{"resolution_above_2_31", [](Page &h) { h.settings.resolution_x = h.settings.resolution_y = 0x80000000u; },
                    "printable area"},
        RefusalCase{"resolution_negative_down", [](Page &h) { h.settings.resolution_y = 0xFFFFFDA8u; },
                    "printable area"},
        RefusalCase{"grid_overflow",
                    [](Page &h) {
                        h.settings.resolution_x = h.settings.resolution_y = 250000;
                        h.raster.width = 2000000;
                        h.raster.bytes_per_line = 250000;
                        h.raster.height = 1;
                    },
                    "is too large for the printer: 2000000 x 1 pixels at 250000 x 250000 dpi."}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

}  // namespace
