// Page settings from the page header, the header check, and the size of the
// image that goes to the printer.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

#include "files.h"
#include "filter.h"
#include "raster.h"

using namespace quillet::test;

namespace {

void take(cups_page_header2_t h)
{
    reset_page_settings();
    StartPage(nullptr, &h);
}

TEST(PageSettings, PaperCodeFromThePageLengthAlone)
{
    const std::pair<unsigned, int> table[] = {{540, 37}, {595, 11}, {624, 27}, {649, 28}, {729, 13}, {756, 7},
                                              {792, 1},  {842, 9},  {841, 256}, {843, 256}, {0, 256}};
    for (auto [length, code] : table) {
        cups_page_header2_t h = make_header(100, 100);
        h.PageSize[0] = 595;
        h.PageSize[1] = length;
        take(h);
        EXPECT_EQ(PaperCode, code) << "length " << length;
    }
    cups_page_header2_t across = make_header(100, 100);
    across.PageSize[0] = 842;
    across.PageSize[1] = 595;
    take(across);
    EXPECT_EQ(PaperCode, 11);
}

TEST(PageSettings, DensityFromTheSignedDifference)
{
    const std::pair<unsigned, int> table[] = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 2}, {5, 3}, {6, 4}, {100, 4},
                                              {0x80000001u, 4}, {0x80000002u, 0}, {0xFFFFFFFFu, 0}};
    for (auto [compression, level] : table) {
        cups_page_header2_t h = make_header(100, 100);
        h.cupsCompression = compression;
        take(h);
        EXPECT_EQ(DensityLevel, level) << "cupsCompression " << compression;
    }
}

TEST(PageSettings, EveryFieldFromItsHeaderField)
{
    cups_page_header2_t h = make_header(4900, 7000, 300, 600);
    h.Duplex = CUPS_TRUE;
    h.NumCopies = 3;
    h.cupsMediaType = 6;
    h.MediaPosition = 3;
    h.MirrorPrint = CUPS_TRUE;
    h.cupsInteger[0] = 0;
    take(h);
    EXPECT_EQ(Duplex, 1);
    EXPECT_EQ(ResX, 300);
    EXPECT_EQ(ResY, 600);
    EXPECT_EQ(Copies, 3);
    EXPECT_EQ(MediaCode, BIAOQIAN_160G_PAPER);
    EXPECT_EQ(SourceCode, 7);
    EXPECT_EQ(Mirror, 0);  // MirrorPrint does not mirror; cupsInteger[0] does
    EXPECT_EQ(PageWidth, 4900);
    EXPECT_EQ(PageHeight, 7000);

    h.cupsInteger[0] = 1;
    h.MirrorPrint = CUPS_FALSE;
    take(h);
    EXPECT_EQ(Mirror, 1);
}

TEST(PageSettings, EnumeratedFieldsHoldingAnyValue)
{
    // The raster stream can put any 32-bit value into the header's
    // enumerated fields; they are taken as numbers, never as the enumeration.
    cups_page_header2_t h = make_header(100, 100);
    const unsigned big = 10752;
    for (auto *field : {reinterpret_cast<unsigned char *>(&h.Duplex), reinterpret_cast<unsigned char *>(&h.MirrorPrint),
                        reinterpret_cast<unsigned char *>(&h.ManualFeed), reinterpret_cast<unsigned char *>(&h.Orientation),
                        reinterpret_cast<unsigned char *>(&h.cupsColorOrder),
                        reinterpret_cast<unsigned char *>(&h.cupsColorSpace)})
        memcpy(field, &big, sizeof big);
    DebugFile = 1;
    TempDir dir;
    std::string log = dir.file("debug.log");
    DebugFileName = log.c_str();
    take(h);
    DebugFile = 0;
    DebugFileName = "/tmp/rastertoquilett.tmp";
    EXPECT_EQ(Duplex, 10752);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("DEBUG: MirrorPrint = 10752"), std::string::npos);
}

TEST(PageSettings, StartValuesBeforeTheFirstPage)
{
    reset_page_settings();
    EXPECT_EQ(ResX, 600);
    EXPECT_EQ(ResY, 600);
    EXPECT_EQ(PageWidth, 4956);
    EXPECT_EQ(PageHeight, 7014);
    EXPECT_EQ(PaperCode, 9);
    EXPECT_EQ(SourceCode, 7);
    EXPECT_EQ(DensityLevel, DENSITY_NORMAL);
    EXPECT_EQ(Copies, 1);
    EXPECT_EQ(Duplex, 0);
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(DebugLog, WrittenOnlyWhenTheLevelIsRaised)
{
    TempDir dir;
    std::string log = dir.file("debug.log");
    DebugFileName = log.c_str();
    cups_page_header2_t h = make_header(4958, 7016);
    h.PageSize[0] = 595;
    h.PageSize[1] = 842;

    DebugFile = 0;
    take(h);
    EXPECT_TRUE(lines_of(log).empty());

    DebugFile = 1;
    take(h);
    std::vector<uint8_t> image(620 * 7016, 0);
    FILE *null = fopen("/dev/null", "w");
    pbm_pages(image.data(), 4960, 620, 7016, null);
    fclose(null);
    DebugFile = 0;
    DebugFileName = "/tmp/rastertoquilett.tmp";

    auto lines = lines_of(log);
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[0], "DEBUG: StartPage...");
    EXPECT_EQ(lines[2], "DEBUG: HWResolution = [ 600 600 ]");
    EXPECT_EQ(lines[9], "DEBUG: PageSize = [ 595 842 ]");
    EXPECT_EQ(lines[10], "DEBUG: cupsWidth = 4958");
    EXPECT_EQ(lines[19], "DEBUG: MirrorPrint = 0");
    EXPECT_EQ(lines[20], "DEBUG: pbm_pages = [ 4960 620 7016]");
    EXPECT_EQ(lines[21], "DEBUG: clip_image = [ 4832 604 6872 --- 620 7016 ]");
}

struct FitCase {
    int res;
    long long imageW, imageH;
    int fit, w, h;
};

class FitImage : public testing::TestWithParam<FitCase> {};

TEST_P(FitImage, ToThePrintableArea)
{
    const FitCase &c = GetParam();
    int w = -1, h = -1;
    EXPECT_EQ(fit_image(c.res, c.res, c.imageW, c.imageH, &w, &h), c.fit);
    if (c.fit >= 0) {
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FitImage,
    testing::Values(FitCase{600, 4800, 6000, 0, 4800, 6000},   // fits
                    FitCase{600, 4960, 7016, 1, 4832, 6872},   // both limits exceeded
                    FitCase{600, 4960, 7000, 1, 4832, 7000},   // 4950 raised to 4960 exceeds 4956
                    FitCase{600, 4928, 7014, 1, 4928, 6872},   // 7014 exceeds 7013
                    FitCase{600, 4928, 7013, 0, 4928, 7013},   // exactly the height limit
                    FitCase{300, 2496, 3508, 1, 2432, 3436},   // A4 at 300 dpi
                    FitCase{300, 2464, 3506, 0, 2464, 3506},
                    FitCase{1200, 9920, 14034, 1, 9632, 13744},  // A4 at 1200 dpi
                    FitCase{1200, 9888, 14027, 0, 9888, 14027},
                    FitCase{0, 128, 100, 1, 0, 0},              // resolution 0: nothing printable
                    FitCase{1, 32, 100, 1, 32, 11},
                    FitCase{-1, 32, 32, -1, 0, 0},              // a resolution above 2^31
                    FitCase{300000000, 32, 32, -1, 0, 0}));     // limits beyond an int

struct HeaderCase {
    const char *name;
    void (*change)(cups_page_header2_t &);
    const char *why;  // null: accepted
};

class HeaderCheck : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCheck, RefusesWhatWouldNotFit)
{
    const HeaderCase &c = GetParam();
    cups_page_header2_t h = make_header(4958, 7016);
    c.change(h);
    char why[256];
    const char *got = check_page_header(&h, 3, why, sizeof why);
    if (!c.why) {
        EXPECT_EQ(got, nullptr) << got;
    } else {
        ASSERT_NE(got, nullptr);
        EXPECT_NE(std::string(got).find("Page 3"), std::string::npos) << got;
        EXPECT_NE(std::string(got).find(c.why), std::string::npos) << got;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderCheck,
    testing::Values(
        HeaderCase{"a4", [](cups_page_header2_t &) {}, nullptr},
        HeaderCase{"eight_bits",
                   [](cups_page_header2_t &h) {
                       h.cupsBitsPerPixel = 8;
                       h.cupsBitsPerColor = 8;
                       h.cupsBytesPerLine = 4958;
                   },
                   "8 bits per pixel"},
        HeaderCase{"two_bits", [](cups_page_header2_t &h) { h.cupsBitsPerPixel = 2; }, "2 bits per pixel"},
        HeaderCase{"long_rows", [](cups_page_header2_t &h) { h.cupsBytesPerLine = 624; }, "624 bytes per line"},
        HeaderCase{"short_rows", [](cups_page_header2_t &h) { h.cupsBytesPerLine = 619; }, "619 bytes per line"},
        HeaderCase{"zero_width",
                   [](cups_page_header2_t &h) {
                       h.cupsWidth = 0;
                       h.cupsBytesPerLine = 0;
                   },
                   "0 pixels wide"},
        HeaderCase{"widest_row",
                   [](cups_page_header2_t &h) {
                       h.cupsWidth = 0xFFFFFFFFu;
                       h.cupsBytesPerLine = 0x20000000u;
                       h.cupsHeight = 1;
                   },
                   "too large"},
        HeaderCase{"buffer_beyond_31_bits",
                   [](cups_page_header2_t &h) {
                       h.cupsWidth = 65536 * 8;
                       h.cupsBytesPerLine = 65536;
                       h.cupsHeight = 32768;
                   },
                   "too large"},
        HeaderCase{"buffer_wraps_32_bits",
                   [](cups_page_header2_t &h) {
                       h.cupsWidth = 65536 * 8;
                       h.cupsBytesPerLine = 65536;
                       h.cupsHeight = 65537;
                   },
                   "too large"},
        HeaderCase{"resolution_0", [](cups_page_header2_t &h) { h.HWResolution[0] = h.HWResolution[1] = 0; },
                   nullptr},
        HeaderCase{"resolution_0_across", [](cups_page_header2_t &h) { h.HWResolution[0] = 0; },
                   "printable area"},
        HeaderCase{"resolution_1", [](cups_page_header2_t &h) { h.HWResolution[0] = h.HWResolution[1] = 1; },
                   nullptr},
        HeaderCase{"resolution_huge",
                   [](cups_page_header2_t &h) { h.HWResolution[0] = h.HWResolution[1] = 1u << 30; },
                   "printable area"},
        HeaderCase{"resolution_above_2_31",
                   [](cups_page_header2_t &h) { h.HWResolution[0] = h.HWResolution[1] = 0x80000000u; },
                   "printable area"},
        HeaderCase{"resolution_negative_down", [](cups_page_header2_t &h) { h.HWResolution[1] = 0xFFFFFDA8u; },
                   "printable area"},
        HeaderCase{"grid_overflow",
                   [](cups_page_header2_t &h) {
                       h.HWResolution[0] = h.HWResolution[1] = 250000;
                       h.cupsWidth = 2000000;
                       h.cupsBytesPerLine = 250000;
                       h.cupsHeight = 1;
                   },
                   "too large for the printer"},
        HeaderCase{"one_pixel",
                   [](cups_page_header2_t &h) {
                       h.cupsWidth = 1;
                       h.cupsBytesPerLine = 1;
                       h.cupsHeight = 1;
                   },
                   nullptr}),
    [](const testing::TestParamInfo<HeaderCase> &info) { return std::string(info.param.name); });

}  // namespace
