// Bad pages and faults around the filter: absurd resolutions and sizes,
// trailing garbage, cancellation at every stage, and a printer connection
// that blocks or goes away.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "expect.h"
#include "files.h"
#include "process.h"
#include "raster.h"
#include "stream.h"

using namespace quillet::test;
namespace record_type = quillet::record_type;
using quillet::BandRecord;
using quillet::Bih;
using quillet::put_u32;
using quillet::unpack;

namespace {

struct SizeCase {
    const char *name;
    unsigned w, h, resX, resY;
    int status;          // 1: the page is refused
    unsigned imageW, imageH;
    const char *cut;     // millimetres not printed, as the warning gives them
};

class Sizes : public testing::TestWithParam<SizeCase> {};

TEST_P(Sizes, PrintTheTopLeftOrRefuse)
{
    const SizeCase &c = GetParam();
    RasterPage page = make_page(c.w, c.h, Fill::Noise, c.resX, c.resY);
    RunResult r = run_filter({filter_args()}, raster_bytes({page}));
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status != 0) {
        EXPECT_TRUE(r.out.empty());
        ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
        EXPECT_EQ(r.err_lines()[0].rfind("ERROR: Page 1 ", 0), 0u);
        return;
    }
    std::vector<std::string> warnings;
    for (const std::string &line : r.err_lines())
        if (line.rfind("WARNING:", 0) == 0)
            warnings.push_back(line);
    if (*c.cut)
        EXPECT_EQ(warnings, std::vector<std::string>{"WARNING: Page 1 is larger than the printable area: " +
                                                     std::string(c.cut) + " are not printed."});
    else
        EXPECT_TRUE(warnings.empty()) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 1u);
    const Bitmap &img = docs[0].image;
    EXPECT_EQ(img.w, c.imageW);
    EXPECT_EQ(img.h, c.imageH);
    EXPECT_EQ(docs[0].bands.size(), (c.imageH + 255) / 256);
    for (unsigned y = 0; y < img.h; y++)
        for (unsigned x = 0; x < img.w; x++)
            ASSERT_EQ(bool((img.bits[y * img.bpl() + x / 8] >> (7 - x % 8)) & 1), x < c.w && page.pixel(x, y))
                << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(
    Pages, Sizes,
    testing::Values(SizeCase{"resolution_0", 640, 100, 0, 0, 0, 0, 0, ""},
                    SizeCase{"resolution_0_down", 640, 100, 600, 0, 0, 640, 0, ""},
                    SizeCase{"resolution_0_across", 640, 100, 0, 600, 1, 0, 0, ""},
                    SizeCase{"resolution_1", 640, 100, 1, 1, 0, 32, 11, "15443.2 mm at the right and 2260.6 mm at the bottom"},
                    SizeCase{"resolution_10", 640, 300, 10, 10, 0, 96, 114, "1381.8 mm at the right and 472.4 mm at the bottom"},
                    SizeCase{"resolution_huge", 640, 100, 1u << 30, 1u << 30, 1, 0, 0, ""},
                    SizeCase{"resolution_above_2_31", 640, 100, 0x80000000u, 0x80000000u, 1, 0, 0, ""},
                    SizeCase{"resolution_unequal", 3000, 3000, 300, 600, 0, 2368, 3000,  // margin from 600 dpi
                             "53.5 mm at the right and 0.0 mm at the bottom"},
                    SizeCase{"padding_only", 4928, 7013, 600, 600, 0, 4928, 7013, ""},
                    SizeCase{"a4_cut", 4958, 7016, 600, 600, 0, 4832, 6872, "5.3 mm at the right and 6.1 mm at the bottom"},
                    SizeCase{"far_larger_than_the_sheet", 9000, 12000, 600, 600, 0, 4832, 6872,
                             "176.4 mm at the right and 217.1 mm at the bottom"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Sizes, PaperCodeFromAnyPageLength)
{
    RasterPage page = make_page(320, 10, Fill::Black);
    page.header.PageSize[0] = 0xFFFFFFFFu;
    page.header.PageSize[1] = 0xFFFFFFFFu;
    RunResult r = run_filter({filter_args()}, raster_bytes({page}));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(read_pages(r.out).at(0).paper.code, 256u);
}

TEST(Input, ValidPageFollowedByGarbage)
{
    auto bytes = raster_bytes({make_page(640, 100, Fill::Noise)}, false);
    bytes.insert(bytes.end(), 3000, 0xFF);
    RunResult r = run_filter({filter_args()}, bytes);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_pages(r.out).size(), 1u);
}

TEST(Cancel, DuringTheRowsOfPageTwoOfThree)
{
    std::vector<RasterPage> pages = {make_page(800, 300, Fill::Noise), make_page(4000, 2000, Fill::Black),
                                     make_page(800, 300, Fill::Noise)};
    auto bytes = raster_bytes(pages, false);
    const size_t header = sizeof(cups_page_header2_t);
    size_t secondRows = 4 + header + 100 * 300 + header;  // page 2's first row
    Process p(filter_path(), filter_options(""));
    p.write({bytes.begin(), bytes.begin() + long(secondRows + 500 * 600)});
    ASSERT_TRUE(p.wait_for_err("Printing page 2, 19% complete."));
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait_signal_taken(SIGTERM));
    p.write({bytes.begin() + long(secondRows + 500 * 600), bytes.end()});
    RunResult r = p.finish();

    EXPECT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_TRUE(docs[0].image == expected_image(pages[0]));
    const Bitmap &img = docs[1].image;
    EXPECT_EQ(img.bits[0], 0xFF);
    EXPECT_EQ(img.bits[size_t(img.h - 1) * img.bpl()], 0) << "the rows not read stay blank";
    EXPECT_EQ(r.err_lines().back(), "INFO: Finished page 2.");
}

TEST(Cancel, WhileBandsAreWrittenToABlockedPrinter)
{
    // The printer stops reading while the first page's bands go out; the
    // cancel arrives while the filter is blocked writing.  The page must
    // still come out whole: the rows read as they were, the rest blank, and
    // nothing after it.
    TempDir dir;
    std::vector<RasterPage> pages = {make_page(4958, 7016, Fill::Noise), make_page(640, 100, Fill::Black)};
    write_raster(dir.file("job.ras"), pages);
    Process p(filter_path(), filter_options(dir.file("job.ras")));
    p.pause_output(true);
    ASSERT_TRUE(p.wait_blocked_writing());
    p.signal(SIGTERM);
    // A second cancel meets a write that has moved nothing yet: only a
    // restarted write goes on.
    ASSERT_TRUE(p.wait_signal_taken(SIGTERM));
    ASSERT_TRUE(p.wait_blocked_writing());
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait_signal_taken(SIGTERM));
    p.pause_output(false);
    RunResult r = p.finish();

    EXPECT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 1u);
    Bitmap want = expected_image(pages[0]);
    const Bitmap &got = docs[0].image;
    ASSERT_EQ(got.w, want.w);
    ASSERT_EQ(got.h, want.h);
    size_t rows_read = 0;
    while (rows_read < got.h && std::equal(got.bits.begin() + long(rows_read * got.bpl()),
                                           got.bits.begin() + long((rows_read + 1) * got.bpl()),
                                           want.bits.begin() + long(rows_read * got.bpl())))
        rows_read++;
    EXPECT_GE(rows_read, 256u);
    EXPECT_LT(rows_read, size_t{got.h});
    EXPECT_TRUE(std::all_of(got.bits.begin() + long(rows_read * got.bpl()), got.bits.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(r.err_lines().back(), "INFO: Finished page 1.");
}

TEST(Output, PrinterThatGoesAwayEndsTheFilter)
{
    TempDir dir;
    write_raster(dir.file("job.ras"), {make_page(4958, 7016, Fill::Noise), make_page(640, 100, Fill::Black)});
    RunOptions o = filter_options(dir.file("job.ras"));
    o.close_stdout = true;
    auto start = std::chrono::steady_clock::now();
    Process p(filter_path(), o);
    RunResult r = p.finish(std::chrono::seconds(30));
    EXPECT_TRUE(r.signal == SIGPIPE || r.status > 0) << r.status << " " << r.signal;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
