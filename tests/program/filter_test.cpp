// The built filter run as CUPS runs it: command line, status lines, exit
// status, cancellation, bad input and failures of its output.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

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

RunResult run_pages(const std::vector<RasterPage> &pages, bool compressed = true)
{
    return run_filter({filter_args()}, raster_bytes(pages, compressed));
}

// The stream with the clock reading of every time record blanked out.
std::vector<uint8_t> without_time(std::vector<uint8_t> stream)
{
    for (const Record &r : split_records(stream))
        if (r.type == record_type::time)
            std::fill(stream.begin() + long(r.offset) + 12, stream.begin() + long(r.offset) + 60, 0);
    return stream;
}

TEST(CommandLine, WrongArgumentCountGivesTheUsageLine)
{
    for (size_t count : {0u, 4u, 7u}) {
        RunOptions o;
        for (size_t i = 0; i < count; i++)
            o.args.push_back("a");
        RunResult r = run_filter(o);
        EXPECT_EQ(r.status, 1) << count;
        EXPECT_EQ(r.err, "ERROR: rastertoquillet job-id user title copies options [file]\n");
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(CommandLine, RasterFileThatCannotBeOpened)
{
    RunResult r = run_filter({filter_args("/nonexistent/job.ras")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("ERROR:", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Unable to open raster file"), std::string::npos);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
}

TEST(CommandLine, RasterFromFileOrStandardInputGiveTheSameStream)
{
    TempDir dir;
    std::vector<RasterPage> pages = {make_page(1000, 700, Fill::Noise), make_page(2000, 300, Fill::Stripes)};
    write_raster(dir.file("job.ras"), pages);
    RunResult fromFile = run_filter({filter_args(dir.file("job.ras"))});
    RunResult fromStdin = run_pages(pages);
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    ASSERT_EQ(fromStdin.status, 0) << fromStdin.err;
    EXPECT_EQ(without_time(fromFile.out), without_time(fromStdin.out));
    for (const PageDoc &page : read_pages(fromFile.out))
        EXPECT_STREQ(page.file_name.name.data(), "stdin");
}

struct PpdCase {
    const char *name;
    bool unset;
    std::string path;
};

class Ppd : public testing::TestWithParam<PpdCase> {};

TEST_P(Ppd, ThatCannotBeOpenedEndsTheRun)
{
    const PpdCase &c = GetParam();
    RunOptions o{filter_args()};
    o.no_ppd = c.unset;
    if (!c.unset)
        o.env["PPD"] = c.path;
    RunResult r = run_filter(o, raster_bytes({make_page(100, 100, Fill::Black)}));
    EXPECT_EQ(r.status, 1);
    auto lines = r.err_lines();
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0], "ERROR: The PPD file could not be opened.");
    EXPECT_EQ(lines[1].rfind("DEBUG: ", 0), 0u);
    EXPECT_NE(lines[1].find(" on line "), std::string::npos);
    EXPECT_TRUE(r.out.empty());
}

INSTANTIATE_TEST_SUITE_P(Files, Ppd,
                         testing::Values(PpdCase{"unset", true, ""}, PpdCase{"missing", false, "/nonexistent.ppd"},
                                         PpdCase{"not_a_ppd", false, QUILLET_TEST_DATA "/not-a-ppd.txt"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Input, WithoutPagesEndsWithNoPagesWereFound)
{
    cups_page_header2_t h = make_header(100, 100);
    auto cut_header = raw_raster({{h, {}}});
    cut_header.resize(1000);
    const std::vector<std::vector<uint8_t>> inputs = {
        {}, std::vector<uint8_t>(3000, 0x5A), {'R', 'a', 'S', '3'}, cut_header};
    for (const auto &input : inputs) {
        RunResult r = run_filter({filter_args()}, input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "ERROR: No pages were found.\n");
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(StatusLines, OfAThreeHundredRowPage)
{
    RunResult r = run_pages({make_page(640, 300, Fill::Stripes)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err_lines(), (std::vector<std::string>{
                                 "PAGE: 1 1", "INFO: Starting page 1.", "INFO: Printing page 1, 0% complete.",
                                 "ATTR: job-media-progress=0", "INFO: Printing page 1, 42% complete.",
                                 "ATTR: job-media-progress=42", "INFO: Printing page 1, 85% complete.",
                                 "ATTR: job-media-progress=85", "INFO: Finished page 1."}));
}

TEST(Pages, DuplexOfTheirOwnAndCopies)
{
    std::vector<RasterPage> pages;
    const unsigned duplex[] = {1, 1, 0};
    const unsigned copies[] = {1, 3, 2};
    for (int i = 0; i < 3; i++) {
        pages.push_back(make_page(320, 10, Fill::Black));
        pages.back().header.Duplex = cups_bool_t(duplex[i]);
        pages.back().header.NumCopies = copies[i];
    }
    RunResult r = run_pages(pages);
    ASSERT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 3u);
    const uint32_t docDuplex[] = {1, 1, 0};
    const uint32_t copiesDuplex[] = {0, 0, 0xFFFFFFFF};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(docs[i].duplex.duplex, docDuplex[i]);
        EXPECT_EQ(docs[i].duplex.short_edge, 0u);
        EXPECT_EQ(docs[i].copies.duplex, copiesDuplex[i]);
        EXPECT_EQ(docs[i].copies.copies, copies[i]);
    }
    auto lines = r.err_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "PAGE: 2 3"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "PAGE: 3 2"), lines.end());
}

std::vector<uint32_t> full_document(size_t bands)
{
    std::vector<uint32_t> t = {13, 12, 10, 15, 20, 40, 41, 42, 43, 51, 21};
    t.insert(t.end(), bands, 60);
    t.insert(t.end(), {23, 24, 11});
    return t;
}

struct PageCase {
    const char *name;
    unsigned w, h, dpi;
    Fill fill;
    bool mirror;
    unsigned dpi_y = 0;  // 0: dpi
};

class RoundTrip : public testing::TestWithParam<PageCase> {};

TEST_P(RoundTrip, DecodedPageEqualsThePreparedRaster)
{
    const PageCase &c = GetParam();
    const unsigned dpi_y = c.dpi_y ? c.dpi_y : c.dpi;
    RasterPage page = make_page(c.w, c.h, c.fill, c.dpi, dpi_y, c.w * 31 + c.h);
    page.header.cupsInteger[0] = c.mirror;
    RunResult r = run_pages({page});
    ASSERT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 1u);
    Bitmap want = expected_image(page);
    EXPECT_EQ(docs[0].types(), full_document((want.h + 255) / 256));
    EXPECT_EQ(docs[0].image.w, want.w);
    EXPECT_EQ(docs[0].image.h, want.h);
    EXPECT_TRUE(docs[0].image == want) << "decoded image differs";
    EXPECT_EQ(docs[0].geometry.resolution_x, c.dpi);
    EXPECT_EQ(docs[0].geometry.resolution_y, dpi_y);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, RoundTrip,
    testing::Values(PageCase{"blank", 4958, 7016, 600, Fill::Blank, false},
                    PageCase{"black", 4958, 7016, 600, Fill::Black, false},
                    PageCase{"noise", 2000, 3000, 600, Fill::Noise, false},
                    PageCase{"noise_mirrored", 2000, 600, 600, Fill::Noise, true},
                    PageCase{"one_row", 1000, 1, 600, Fill::Black, false},
                    PageCase{"rows_256", 1000, 256, 600, Fill::Stripes, false},
                    PageCase{"rows_257", 1000, 257, 600, Fill::Noise, false},
                    PageCase{"rows_600", 1000, 600, 600, Fill::Noise, false},
                    PageCase{"width_1001", 1001, 600, 600, Fill::Noise, true},
                    PageCase{"one_pixel", 1, 1, 600, Fill::Black, false},
                    PageCase{"a4_300_clipped", 2480, 3508, 300, Fill::Noise, false},
                    PageCase{"a4_1200_clipped_mirrored", 9917, 14034, 1200, Fill::Stripes, true},
                    PageCase{"height_only_clipped", 4900, 7014, 600, Fill::Stripes, true},
                    PageCase{"noise_300_by_600", 1200, 2000, 300, Fill::Noise, false, 600}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Input, CompressedAndUncompressedRasterGiveTheSameStream)
{
    std::vector<RasterPage> pages = {make_page(1500, 900, Fill::Noise), make_page(333, 77, Fill::Stripes)};
    RunResult v2 = run_pages(pages, true);
    RunResult v3 = run_pages(pages, false);
    ASSERT_EQ(v2.status, 0);
    ASSERT_EQ(v3.status, 0);
    EXPECT_EQ(without_time(v2.out), without_time(v3.out));
}

TEST(Input, RasterEndingInsideAPage)
{
    RasterPage page = make_page(800, 600, Fill::Black);
    auto bytes = raster_bytes({page}, false);
    bytes.resize(bytes.size() - 299 * 100 - 50);  // 300 rows and half a row are left
    RunResult r = run_filter({filter_args()}, bytes);
    EXPECT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 1u);
    const Bitmap &img = docs[0].image;
    ASSERT_EQ(img.h, 600u);
    for (unsigned y = 0; y < 600; y++) {
        const uint8_t *row = img.bits.data() + size_t(y) * img.bpl();
        // The half row keeps the half it gave; nothing after it prints.
        const size_t black = y < 300 ? 100 : y == 300 ? 50 : 0;
        ASSERT_TRUE(std::all_of(row, row + black, [](uint8_t b) { return b == 0xFF; })) << y;
        ASSERT_TRUE(std::all_of(row + black, row + img.bpl(), [](uint8_t b) { return b == 0; })) << y;
    }
    EXPECT_EQ(r.err_lines().back(), "INFO: Finished page 1.");
}

TEST(Input, HeaderWithoutRowsGivesABlankPage)
{
    cups_page_header2_t h = make_header(640, 300);
    RunResult r = run_filter({filter_args()}, raw_raster({{h, {}}}));
    EXPECT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].types(), full_document(2));
    EXPECT_EQ(std::count(docs[0].image.bits.begin(), docs[0].image.bits.end(), 0), 80 * 300);
}

TEST(Cancel, DuringThePageFinishesItWithTheRowsRead)
{
    RasterPage page = make_page(4000, 2000, Fill::Black);
    auto bytes = raster_bytes({page, make_page(100, 100, Fill::Black)}, false);
    const size_t header = 4 + sizeof(cups_page_header2_t);
    Process p(filter_path(), filter_options());
    p.write(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(header + 500 * 500)));
    ASSERT_TRUE(p.wait_for_err("Printing page 1, 19% complete."));  // row 384 was reached
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait_signal_taken(SIGTERM));
    p.write(std::vector<uint8_t>(bytes.begin() + long(header + 500 * 500), bytes.end()));
    RunResult r = p.finish();

    EXPECT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 1u);  // no further header is read
    const Bitmap &img = docs[0].image;
    unsigned black = 0;
    while (black < img.h && img.bits[size_t(black) * img.bpl()] == 0xFF)
        black++;
    EXPECT_GE(black, 384u);
    EXPECT_LT(black, 2000u);
    for (unsigned y = black + 1; y < img.h; y++)
        ASSERT_EQ(img.bits[size_t(y) * img.bpl()], 0) << y;
    EXPECT_EQ(r.err_lines().back(), "INFO: Finished page 1.");
}

TEST(Cancel, BeforeTheFirstPageMeansNoPages)
{
    Process p(filter_path(), filter_options());
    auto bytes = raster_bytes({make_page(100, 100, Fill::Black)});
    // The raster stream is opened, and the handler installed, once the
    // sync word has arrived.
    p.write({bytes.begin(), bytes.begin() + 4});
    ASSERT_TRUE(p.wait_for_handler(SIGTERM));
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait_signal_taken(SIGTERM));
    p.write({bytes.begin() + 4, bytes.end()});
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: No pages were found.\n");
    EXPECT_TRUE(r.out.empty());
}

struct BadHeaderCase {
    const char *name;
    void (*change)(cups_page_header2_t &);
    const char *why;
};

class BadHeader : public testing::TestWithParam<BadHeaderCase> {};

// The reasons themselves are the page plan's (tests/core); here, what the
// filter does with a refused page.
TEST_P(BadHeader, RefusedBeforeAnythingOfThePageIsWritten)
{
    const BadHeaderCase &c = GetParam();
    RasterPage good = make_page(640, 100, Fill::Noise);
    cups_page_header2_t bad = make_header(640, 100);
    c.change(bad);
    std::vector<uint8_t> rows(size_t(bad.cupsBytesPerLine) * 100, 0xAA);
    if (rows.size() > 1000000)
        rows.resize(1000000);

    // As the second page: the first page stays complete.
    RunResult r = run_filter({filter_args()}, raw_raster({{good.header, good.rows}, {bad, rows}}));
    EXPECT_EQ(r.status, 1);
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].types(), full_document(1));
    auto lines = r.err_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("ERROR: Page 2 ", 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find(c.why), std::string::npos) << lines.back();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto &l) { return l.rfind("ERROR", 0) == 0; }), 1);

    // As the first page: nothing on standard output.
    r = run_filter({filter_args()}, raw_raster({{bad, rows}}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_EQ(r.err_lines()[0].rfind("ERROR: Page 1 ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BadHeader,
    testing::Values(
        BadHeaderCase{"eight_bits_per_pixel",
                      [](cups_page_header2_t &h) {
                          h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
                          h.cupsBytesPerLine = 640;
                          h.cupsColorSpace = CUPS_CSPACE_W;
                      },
                      "8 bits per pixel"},
        BadHeaderCase{"buffer_beyond_31_bits",
                      [](cups_page_header2_t &h) {
                          h.cupsWidth = 65536 * 8;
                          h.cupsBytesPerLine = 65536;
                          h.cupsHeight = 40000;
                      },
                      "too large"},
        BadHeaderCase{"grid_overflow",
                      [](cups_page_header2_t &h) {
                          h.HWResolution[0] = h.HWResolution[1] = 250000;
                          h.cupsWidth = 2000000;
                          h.cupsBytesPerLine = 250000;
                          h.cupsHeight = 1;
                      },
                      "too large for the printer"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Output, FullDiskEndsTheRunWithAnError)
{
    for (auto [w, h] : {std::pair{100u, 100u}, std::pair{4958u, 7016u}}) {
        RunOptions o = filter_options();
        o.stdout_path = "/dev/full";
        Process p(filter_path(), o);
        p.write(raster_bytes({make_page(w, h, Fill::Noise)}));
        RunResult r = p.finish();
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("ERROR:"), std::string::npos) << r.err;
        // Past the output's buffer, the line that names the write that failed.
        if (w > 100) {
            const std::string steps = "12378";
            EXPECT_TRUE(std::any_of(steps.begin(), steps.end(), [&](char step) {
                return r.err.find(std::string("\nfwrite(") + step + "): rc == 0!\n") != std::string::npos;
            })) << r.err;
        }
    }
}

RunResult run_failing_malloc(const std::vector<RasterPage> &pages, size_t size)
{
    RunOptions o{filter_args()};
    o.env["LD_PRELOAD"] = QUILLET_FAILMALLOC;
    o.env["QUILLET_FAIL_MALLOC"] = std::to_string(size);
    return run_filter(o, raster_bytes(pages));
}

#ifdef QUILLET_SANITIZED
#define SKIP_WITHOUT_SHIM() GTEST_SKIP() << "the allocation shim does not work under the sanitizers"
#else
#define SKIP_WITHOUT_SHIM() (void)0
#endif

TEST(Memory, BandThatCannotBeAllocatedStopsTheJob)
{
    SKIP_WITHOUT_SHIM();
    // A4 at 600 dpi cut to 4832 pixels: 256 rows of 604 bytes, and the 16
    // bytes by which a raster row is wider.
    RunResult r = run_failing_malloc({make_page(4958, 7016, Fill::Noise), make_page(640, 100, Fill::Black)},
                                     256 * 604 + 16);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err_lines().back(), "ERROR: The print job was stopped: Not enough memory to encode the page") << r.err;
    auto records = split_records(r.out);
    ASSERT_GE(records.size(), 4u);
    EXPECT_EQ(records[3].type, uint32_t{record_type::duplex});
}

}  // namespace
