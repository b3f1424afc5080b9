// What the printer offers and which printers take its driver: paper
// lengths, margins and device IDs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "driver.h"
#include "page_output.h"
#include "printer.h"

namespace {

TEST(PaperLength, FromRowsWithinAPixel)
{
    using quillet::app::length_points;
    const std::tuple<int, int, unsigned> table[] = {
        {29700, 0, 842},   {29691, 600, 842}, {25696, 600, 729}, {21000, 300, 595}, {27940, 1200, 792},
        {22000, 300, 624}, {12700, 300, 360}};
    for (auto [hundredths, res, points] : table)
        EXPECT_EQ(length_points(hundredths, res), points) << hundredths << " at " << res;
}

// The PPD's margins, worked out by hand, and the application's one pair,
// worked out from the plan for each size, each keep what they offer within
// what the printer prints, for every size at every resolution; the
// application's are never less than any size's in the PPD (what the
// printer cannot print at all) and no more than a millimetre above.
TEST(Margins, ThePpdsAndTheApplicationsHoldForEverySizeAndResolution)
{
    using namespace quillet;
    struct Sheet {
        unsigned width, length;
        float left, bottom, right, top;
        const char *pwg_name;  // none: a custom size
    };
    std::vector<Sheet> sheets;
    for (const PaperSize &size : paper_sizes)
        sheets.push_back(
            {size.width_points, size.length_points, size.left, size.bottom, size.right, size.top, size.pwg_name.data()});
    const CustomSizes &custom = custom_sizes;
    sheets.push_back({custom.max_width, custom.max_length, custom.left, custom.bottom, custom.right, custom.top, nullptr});

    float largest_side = 0, largest_end = 0;
    for (const Sheet &sheet : sheets) {
        const pwg_media_t *pwg = sheet.pwg_name ? pwgMediaForPWG(sheet.pwg_name) : nullptr;
        const app::Margins offered = app::printer_margins();
        SCOPED_TRACE(std::to_string(sheet.width) + " x " + std::to_string(sheet.length) + " pt");
        for (unsigned res : resolutions) {
            SCOPED_TRACE(res);
            // CUPS renders the PPD's imageable area: the printer takes it whole.
            auto pixels = [res](float points) { return static_cast<uint32_t>(std::ceil(points * float(res) / 72)); };
            const uint32_t width = pixels(float(sheet.width) - sheet.left - sheet.right);
            PrintSettings settings;
            settings.resolution_x = settings.resolution_y = res;
            const PlanResult plan = plan_page(
                settings, {width, pixels(float(sheet.length) - sheet.bottom - sheet.top), (width + 7) / 8, 1}, 1);
            ASSERT_TRUE(plan.plan) << plan.refusal;
            EXPECT_FALSE(plan.plan->cut);
            // A client of the application draws within the size's margins
            // of a full sheet; the part printed holds all of that.
            const app::PageFormat full{sheet.width * res / 72, sheet.length * res / 72, res, res};
            const app::PrintedPart part = app::printed_part(full);
            const unsigned side = unsigned(offered.left_right) * res / 2540;
            const unsigned end = unsigned(offered.bottom_top) * res / 2540;
            EXPECT_LE(part.left, side);
            EXPECT_GE(part.left + part.kept.width, full.width - side);
            EXPECT_GE(part.kept.height, full.height - end);
        }
        if (!pwg)
            continue;
        largest_side = std::max(largest_side, std::max(sheet.left, sheet.right) * 2540 / 72);
        largest_end = std::max(largest_end, std::max(sheet.bottom, sheet.top) * 2540 / 72);
    }
    // Never less than what the printer cannot print on any size, and no
    // more than half a millimetre past it.
    const app::Margins offered = app::printer_margins();
    EXPECT_GE(float(offered.left_right), largest_side);
    EXPECT_LT(float(offered.left_right), largest_side + 100);
    EXPECT_GE(float(offered.bottom_top), largest_end);
    EXPECT_LT(float(offered.bottom_top), largest_end + 100);
}

TEST(DeviceId, MatchesTheMakerOrTheCommandSet)
{
    using quillet::app::takes_this_driver;
    const std::pair<const char *, bool> table[] = {
        {"MFG:Quillet;MDL:Mono Laser;CMD:OAKT;", true},
        {"MANUFACTURER:quillet;MODEL:ML-1;", true},
        {"MFG:Other;MDL:X;COMMAND SET:PCL,OAKT,PJL;", true},
        {"MFG:Other;MDL:X;CMD:OAKTX,PCL;", false},
        {"MFG:HP;MDL:LaserJet;CMD:PCL,PJL;", false},
        {"", false},
        {nullptr, false}};
    for (auto [id, ours] : table)
        EXPECT_EQ(takes_this_driver(id), ours) << (id ? id : "none");
}

}  // namespace
