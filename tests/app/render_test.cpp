// Grey to black: white never prints a dot, black always does, and photos get
// an even dither.
#include <gtest/gtest.h>

#include <bit>
#include <tuple>
#include <vector>

#include "render.h"

using quillet::app::grey_to_black;

namespace {

TEST(GreyToBlack, WhiteBlackAndGreys)
{
    const unsigned width = 64;
    std::vector<uint8_t> black(width / 8);
    for (bool dither : {false, true}) {
        for (auto [grey, ink] : {std::pair{255u, 0u}, std::pair{0u, width * 16}}) {
            size_t dots = 0;
            for (unsigned y = 0; y < 16; y++) {
                std::vector<uint8_t> row(width, uint8_t(grey));
                grey_to_black(row, y, dither, black);
                for (uint8_t b : black)
                    dots += size_t(std::popcount(b));
            }
            EXPECT_EQ(dots, size_t(ink)) << "grey " << grey << (dither ? " dithered" : "");
        }
    }
    // Mid grey: thresholded it is white (128 is not below 128), dithered
    // about half the dots over a 16 x 16 tile, and in every column (no
    // streaks).
    size_t dots = 0;
    std::vector<unsigned> column(16);
    for (unsigned y = 0; y < 16; y++) {
        std::vector<uint8_t> row(16, 128);
        std::vector<uint8_t> tile(2);
        grey_to_black(row, y, true, tile);
        dots += size_t(std::popcount(tile[0])) + size_t(std::popcount(tile[1]));
        for (unsigned x = 0; x < 16; x++)
            column[x] += (tile[x / 8] >> (7 - x % 8)) & 1u;
    }
    EXPECT_NEAR(double(dots), 128.0, 4.0);
    for (unsigned x = 0; x < 16; x++)
        EXPECT_NEAR(column[x], 8.0, 2.0) << "column " << x;
    // CUPS's black colour space reads 255 as ink.
    std::vector<uint8_t> ink(8, 255), one(1);
    grey_to_black(ink, 0, false, one, true);
    EXPECT_EQ(one[0], 0xff);
}

TEST(PaperLength, FromRowsWithinAPixel)
{
    using quillet::app::length_points;
    const std::tuple<int, int, unsigned> table[] = {
        {29700, 0, 842},   {29691, 600, 842}, {25696, 600, 729}, {21000, 300, 595}, {27940, 1200, 792},
        {22000, 300, 624}, {12700, 300, 360}};
    for (auto [hundredths, res, points] : table)
        EXPECT_EQ(length_points(hundredths, res), points) << hundredths << " at " << res;
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
