// Every kind of document the printer application takes, and the options
// that reach the printer: pages decoded and compared with what was sent, and
// documents that cannot print ending with their reason.
#include "app_harness.h"

using namespace quillet::app_test;

namespace {

struct RasterCase {
    const char *name;
    const char *media;
    unsigned dpi;
    uint32_t paper;
};

class AppRaster : public App, public testing::WithParamInterface<RasterCase> {};

TEST_P(AppRaster, PageDecodesToThePageSent)
{
    const RasterCase &c = GetParam();
    GreyPage page = grey_page(c.media, c.dpi, c.dpi);
    std::string file = dir_->file(std::string(c.name) + ".pwg");
    write_pwg(file, page);
    std::vector<PageDoc> docs = read_pages(print(file, "image/pwg-raster", ""));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].paper.code, c.paper);
    EXPECT_EQ(docs[0].geometry.resolution_x, c.dpi);
    EXPECT_TRUE(docs[0].image == expected_of(page)) << "decoded page differs from the raster sent";
}

INSTANTIATE_TEST_SUITE_P(Pages, AppRaster,
                         testing::Values(RasterCase{"a4_300", "iso_a4_210x297mm", 300, 9},
                                         RasterCase{"a4_600", "iso_a4_210x297mm", 600, 9},
                                         RasterCase{"a4_1200", "iso_a4_210x297mm", 1200, 9},
                                         RasterCase{"letter_600", "na_letter_8.5x11in", 600, 1},
                                         RasterCase{"a5_300", "iso_a5_148x210mm", 300, 11},
                                         RasterCase{"b5_600", "jis_b5_182x257mm", 600, 13},
                                         RasterCase{"dl_300", "iso_dl_110x220mm", 300, 27},
                                         RasterCase{"executive_600", "na_executive_7.25x10.5in", 600, 7},
                                         RasterCase{"monarch_300", "na_monarch_3.875x7.5in", 300, 37},
                                         RasterCase{"c5_1200", "iso_c5_162x229mm", 1200, 28},
                                         RasterCase{"custom_300", "custom_card_100x150mm", 300, 256}),
                         [](const auto &info) { return std::string(info.param.name); });

struct OptionCase {
    const char *name;
    const char *attributes;
    uint32_t dpi;
    uint8_t media, density;
    uint32_t copies;
    bool twoSided, mirrored;
};

class AppOptions : public App, public testing::WithParamInterface<OptionCase> {};

TEST_P(AppOptions, ReachTheirRecords)
{
    const OptionCase &c = GetParam();
    std::vector<PageDoc> docs = read_pages(print(Samples + "/photo.png", "image/png", c.attributes));
    ASSERT_EQ(docs.size(), 1u) << "copies are made by the printer, not repeated";
    const PageDoc &d = docs[0];
    EXPECT_EQ(d.geometry.resolution_x, c.dpi);
    EXPECT_EQ(d.media.media, c.media);
    EXPECT_EQ(d.media.density, c.density);
    EXPECT_EQ(d.copies.copies, c.copies);
    EXPECT_EQ(d.copies.duplex, c.twoSided ? 0u : 0xFFFFFFFFu);
    EXPECT_EQ(d.duplex.duplex, c.twoSided ? 1u : 0u);
    // The photo's frame: its left edge is black on the paper's left unless
    // the page is mirrored.
    size_t middle = size_t(d.image.h / 2) * d.image.bpl();
    int leftInk = 0, rightInk = 0;
    for (size_t i = 0; i < d.image.bpl() / 2; i++) {
        leftInk += std::popcount(d.image.bits[middle + i]);
        rightInk += std::popcount(d.image.bits[middle + d.image.bpl() - 1 - i]);
    }
    EXPECT_EQ(leftInk < rightInk, c.mirrored) << leftInk << " " << rightInk;
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, AppOptions,
    testing::Values(
        OptionCase{"defaults", "", 600, 0, 2, 1, false, false},
        OptionCase{"draft", "ATTR enum print-quality 3", 300, 0, 2, 1, false, false},
        OptionCase{"high", "ATTR enum print-quality 5", 1200, 0, 2, 1, false, false},
        OptionCase{"resolution_300", "ATTR resolution printer-resolution 300dpi", 300, 0, 2, 1, false, false},
        OptionCase{"labels_darkest", "ATTR keyword media-type labels\nATTR integer print-darkness 100", 600, 8, 4, 1,
                   false, false},
        OptionCase{"kraft_lightest", "ATTR keyword media-type kraft-120\nATTR integer print-darkness -100", 600, 3, 0,
                   1, false, false},
        OptionCase{"uncollated_copies", "ATTR integer copies 2\nATTR keyword multiple-document-handling "
                   "separate-documents-uncollated-copies", 600, 0, 2, 2, false, false},
        OptionCase{"two_sided", "ATTR keyword sides two-sided-long-edge", 600, 0, 2, 1, true, false},
        OptionCase{"short_edge", "ATTR keyword sides two-sided-short-edge", 600, 0, 2, 1, true, false},
        OptionCase{"darkness_90", "ATTR integer print-darkness 40", 600, 0, 4, 1, false, false},
        OptionCase{"mirrored", "ATTR boolean quillet-mirror true", 600, 0, 2, 1, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Rasters that differ from the printer's defaults, and Apple raster as
// driverless clients send it in draft quality: the server prints them and
// goes on (run under valgrind by the app_valgrind test).
TEST_F(App, RobustAgainstRastersOtherThanTheDefaults)
{
    struct Sent {
        const char *name, *media, *format;
        unsigned dpi, dpi_y;
        const char *attributes;
        uint32_t paper;
    };
    const Sent jobs[] = {
        {"letter_on_a4", "na_letter_8.5x11in", "image/pwg-raster", 600, 600, "", 1},
        {"1200_on_600", "iso_a4_210x297mm", "image/pwg-raster", 1200, 1200, "", 9},
        {"apple_draft", "iso_a4_210x297mm", "image/urf", 300, 300, "ATTR enum print-quality 3", 9},
        // The paper from the length in rows at the vertical resolution.
        {"a4_300_by_600", "iso_a4_210x297mm", "image/pwg-raster", 300, 600, "", 9},
    };
    for (const Sent &j : jobs) {
        SCOPED_TRACE(j.name);
        GreyPage page = grey_page(j.media, j.dpi, 7, j.dpi_y);
        std::string file = dir_->file(std::string(j.name) + ".ras");
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        cups_raster_t *ras = cupsRasterOpen(fd, std::string(j.format) == "image/urf" ? CUPS_RASTER_WRITE_APPLE
                                                                                     : CUPS_RASTER_WRITE_PWG);
        cups_page_header2_t h;
        cupsRasterInitPWGHeader(&h, pwgMediaForPWG(j.media), "sgray_8", int(j.dpi), int(j.dpi_y), "one-sided",
                                nullptr);
        cupsRasterWriteHeader2(ras, &h);
        for (unsigned y = 0; y < page.height; y++)
            cupsRasterWritePixels(ras, page.grey.data() + size_t(y) * page.width, page.width);
        cupsRasterClose(ras);
        close(fd);
        std::vector<PageDoc> docs = read_pages(print(file, j.format, j.attributes));
        ASSERT_EQ(docs.size(), 1u);
        EXPECT_EQ(docs[0].paper.code, j.paper);
        EXPECT_EQ(docs[0].geometry.resolution_x, j.dpi);
        EXPECT_TRUE(docs[0].image == expected_of(page));
    }
    // Apple raster is offered at the last two resolutions, as PAPPL lists
    // them.  (Asked again if missing: PAPPL 1.4 skips attributes of an
    // answer now and then while it saves its state, as it may after the
    // last job.)
    write_file(dir_->file("urf.test"),
               "{\nOPERATION Get-Printer-Attributes\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "ATTR uri printer-uri $uri\nSTATUS successful-ok\nEXPECT urf-supported REPEAT-NO-MATCH REPEAT-LIMIT 5\n"
               "EXPECT urf-supported WITH-VALUE RS600-1200\n}\n");
    RunResult urf = run("/usr/bin/ipptool", {"-t", printer_uri(), dir_->file("urf.test")});
    EXPECT_EQ(urf.status, 0) << std::string(urf.out.begin(), urf.out.end());
    if (getenv("QUILLET_APP_VALGRIND")) {
        EXPECT_EQ(stop(), 0) << read_file(dir_->file("valgrind.log")).size() << " bytes of valgrind log";
        start();
    }
}

// Documents the printer cannot print end their job with a reason (or are
// refused), and the next job prints; the ones it can print come out whole.
TEST_F(App, EveryDocumentPrintsWholeOrFailsWithAReason)
{
    const GreyPage a5 = grey_page("iso_a5_148x210mm", 300, 11);
    std::vector<uint8_t> noise(3000);
    uint32_t x = 7;
    for (uint8_t &b : noise)
        b = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    std::string png_head = "\x89PNG\r\n\x1a\n";
    // A PNG whose header declares 100000 x 100000 pixels, then noise.
    std::string huge = png_head + std::string("\0\0\0\x0dIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\0\0\0\0", 21) +
                       "\x8d\x39\x54\x14" + std::string(noise.begin(), noise.end());
    // Files a document must not reach: in /tmp and in the server's own
    // temporary folder, and the server's state.
    const std::string probe = "/tmp/quillet-probe-" + std::to_string(getpid());
    const std::vector<std::string> planted = {probe, dir_->file("tmp/probe")};
    for (const std::string &at : planted) {
        write_file(at + "-secret", "secret");
        chmod((at + "-secret").c_str(), 0600);
        write_file(at + "-victim", "victim");
    }
    std::string probing = "%!PS\n/hit false def\n/try { mark exch stopped not { /hit true def } if cleartomark } def\n";
    for (const std::string &at : planted)
        probing += "{ (" + at + "-secret) (r) file 6 string readstring } try\n{ (" + at +
                   "-victim) deletefile } try\n{ (" + at + "-new) (w) file closefile } try\n";
    probing += "{ (" + dir_->file("state") + ") (r) file 6 string readstring } try\n"
               "hit { 0 0 moveto 500 0 rlineto 0 500 rlineto -500 0 rlineto closepath fill } if showpage\n";
    struct Document {
        const char *name, *format;
        std::function<void(const std::string &)> make;
        bool prints;
        bool blank = false;            // prints a page without ink
        std::string attributes = "";  // of the job
        std::string title = "";       // the job's name, when not doc-NAME
        std::string message = "";     // what the job's state message says
        bool dithered = false;        // a left-to-right grey gradient comes out dithered
        unsigned whole_at = 0;        // dpi: a frame 3.5 mm inside the sheet prints on these sides
        std::array<bool, 4> sides{true, true, true, true};  // left, top, right, bottom
        std::string expect = "";                             // more of the ended job's attributes
        unsigned page = 0;                                   // the page whose frame is seen
    };
    const Document documents[] = {
        {"pdf", "application/pdf", [](auto &f) { fs::copy_file(Samples + "/brochure.pdf", f); }, true},
        {"postscript", "application/postscript", [](auto &f) { fs::copy_file(Samples + "/shapes.ps", f); }, true},
        {"text", "text/plain", [](auto &f) { write_file(f, "plain text\n"); }, false},
        {"noise", "application/octet-stream", [&](auto &f) { write_file(f, std::string(noise.begin(), noise.end())); },
         false},
        {"garbage_png", "image/png",
         [&](auto &f) { write_file(f, png_head + std::string(noise.begin(), noise.end())); }, false},
        {"huge_png", "image/png", [&](auto &f) { write_file(f, huge); }, false},
        {"truncated_raster", "image/pwg-raster", [&](auto &f) { write_pwg_as(f, a5, "sgray_8", 100, 300); }, false},
        {"zero_dpi", "image/pwg-raster", [&](auto &f) { write_pwg_as(f, a5, "sgray_8", a5.height, 0); }, false},
        {"black_1", "image/pwg-raster", [&](auto &f) { write_pwg_as(f, a5, "black_1", a5.height, 300); }, true},
        {"black_8", "image/pwg-raster", [&](auto &f) { write_pwg_as(f, a5, "black_8", a5.height, 300); }, true},
        // A photo without a say comes out in grey levels, not black and white.
        {"photo", "image/png", [](auto &f) { fs::copy_file(Samples + "/photo.png", f); }, true, false, "", "", "",
         true},
        // Every read, write and deletion outside the document fails.
        {"file_probe", "application/postscript", [&](auto &f) { write_file(f, probing); }, true, true},
        // A legal name longer than a file name may be.
        {"long_name", "image/png", [](auto &f) { fs::copy_file(Samples + "/photo.png", f); }, true, false, "",
         std::string(254, 'n')},
        // The page limit (20 for this server): pages without end, copies.
        {"endless", "application/postscript", [](auto &f) { write_file(f, "%!PS\n{ showpage } loop\n"); }, false,
         false, "", "", "limit of 20 pages", false, 0, {}, "EXPECT job-impressions-completed WITH-VALUE 20\n"},
        // Silence past its limit (15 s for this server).
        {"silent", "application/postscript", [](auto &f) { write_file(f, "%!PS\n{ } loop\n"); }, false, false, "",
         "", "made nothing for 15 seconds"},
        {"copies_999", "image/png", [](auto &f) { fs::copy_file(Samples + "/photo.png", f); }, false, false,
         "GROUP job-attributes-tag\nATTR integer copies 999\n"},
        // Fitted into what the printer prints of the sheet, at each resolution.
        {"frame_300", "application/pdf", [](auto &f) { fs::copy_file(Samples + "/frame.pdf", f); }, true, false,
         "GROUP job-attributes-tag\nATTR enum print-quality 3\n", "", "", false, 300},
        {"frame_600", "application/pdf", [](auto &f) { fs::copy_file(Samples + "/frame.pdf", f); }, true, false,
         "", "", "", false, 600},
        {"frame_1200", "application/pdf", [](auto &f) { fs::copy_file(Samples + "/frame.pdf", f); }, true, false,
         "GROUP job-attributes-tag\nATTR enum print-quality 5\n", "", "", false, 1200},
        // A Letter page filling A4: its top and bottom reach the edges, its
        // sides are cut off.
        {"fill_letter", "application/postscript",
         [](auto &f) {
             write_file(f, "%!PS\n<</PageSize[612 792]>>setpagedevice 4 setlinewidth 10 10 592 772 rectstroke "
                           "showpage\n");
         },
         true, false, "GROUP job-attributes-tag\nATTR keyword print-scaling fill\n", "", "", false, 600,
         {false, true, false, true}},
        // An A5 frame kept at its size where the document puts it, the
        // sheet's lower left corner: its left and bottom sides near the
        // edges, the others far inside.
        {"a5_unscaled", "application/postscript",
         [](auto &f) {
             write_file(f, "%!PS\n<</PageSize[420 595]>>setpagedevice 4 setlinewidth 10 10 400 575 rectstroke "
                           "showpage\n");
         },
         true, false, "GROUP job-attributes-tag\nATTR keyword print-scaling none\n", "", "", false, 600,
         {true, false, false, true}},
        // Short-edge binding: the back side's frame, at the lower left
        // corner of the document's page, turned half a turn.
        {"short_edge_back", "application/postscript",
         [](auto &f) {
             write_file(f, "%!PS\nshowpage <</PageSize[420 595]>>setpagedevice 4 setlinewidth 10 10 400 575 "
                           "rectstroke showpage\n");
         },
         true, false, "GROUP job-attributes-tag\nATTR keyword print-scaling none\nATTR keyword sides "
         "two-sided-short-edge\n", "", "", false, 600, {false, true, true, false}, "", 1},
        // A header claiming 100000 x 100000 pixels, refused before its rows.
        {"oversized", "image/pwg-raster",
         [](auto &f) {
             int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
             cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
             cups_page_header2_t h;
             cupsRasterInitPWGHeader(&h, pwgMediaForPWG("iso_a4_210x297mm"), "sgray_8", 300, 300, "one-sided",
                                     nullptr);
             h.cupsWidth = h.cupsHeight = h.cupsBytesPerLine = 100000;
             cupsRasterWriteHeader2(ras, &h);
             std::vector<uint8_t> row(h.cupsBytesPerLine, 255);
             for (int y = 0; y < 4; y++)
                 cupsRasterWritePixels(ras, row.data(), h.cupsBytesPerLine);
             cupsRasterClose(ras);
             close(fd);
         },
         false, false, "", "", "larger than any paper"},
    };
    // The server's descriptors other than its clients' connections:
    // Ghostscript's pipes and every spool file are closed after each job.
    auto descriptors = [] {
        size_t count = 0;
        std::error_code gone;  // (a descriptor may close while it is read)
        for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(server_->pid()) + "/fd", gone))
            count += fs::read_symlink(fd.path(), gone).string().rfind("socket:", 0) != 0;
        return count;
    };
    const size_t descriptors_before = descriptors();
    for (const Document &d : documents) {
        SCOPED_TRACE(d.name);
        const std::string file = dir_->file(std::string("doc-") + d.name);
        d.make(file);
        const std::string job = d.title.empty() ? std::string("doc-") + d.name : d.title;
        write_file(dir_->file(std::string("doc-") + d.name + ".test"),
                   "{\nOPERATION Print-Job\nGROUP operation-attributes-tag\n"
                   "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                   "ATTR uri printer-uri $uri\nATTR name requesting-user-name root\nATTR name job-name " + job +
                       "\nATTR mimeMediaType document-format " + d.format + "\n" + d.attributes +
                       "\nFILE $filename\nSTATUS successful-ok\nSTATUS client-error-document-format-not-supported\n"
                       "STATUS client-error-document-format-error\n}\n"
                       "{\nOPERATION Get-Job-Attributes\nSKIP-IF-NOT-DEFINED job-id\nGROUP operation-attributes-tag\n"
                       "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                       "ATTR uri printer-uri $uri\nATTR integer job-id $job-id\nATTR name requesting-user-name root\n"
                       "STATUS successful-ok\nDELAY 0.1\n"
                       "EXPECT job-state WITH-VALUE >6 REPEAT-NO-MATCH REPEAT-LIMIT 1200\n" +
                       (d.prints ? "EXPECT job-state WITH-VALUE 9\n"
                                 : "EXPECT job-state WITH-VALUE 8\nEXPECT job-state-message" +
                                       (d.message.empty() ? std::string() : " WITH-VALUE \"/" + d.message + "/\"") +
                                       "\n") +
                       d.expect + "}\n");
        RunResult r = run("/usr/bin/ipptool", {"-t", "-f", file, printer_uri(),
                                               dir_->file(std::string("doc-") + d.name + ".test")});
        EXPECT_EQ(r.status, 0) << std::string(r.out.begin(), r.out.end()) << log();
        const std::string out = output_of(dir_->file("out"), job);
        if (!out.empty()) {
            EXPECT_GT(fs::file_size(out), 0u) << "a job that wrote nothing leaves no file";
        }
        if (d.blank) {
            std::vector<PageDoc> docs = read_pages(read_file(out));
            ASSERT_EQ(docs.size(), 1u);
            EXPECT_EQ(std::count(docs[0].image.bits.begin(), docs[0].image.bits.end(), 0),
                      long(docs[0].image.bits.size())) << "a read, write or deletion succeeded";
            for (const std::string &at : planted) {
                EXPECT_EQ(read_file(at + "-secret"), std::vector<uint8_t>({'s', 'e', 'c', 'r', 'e', 't'}));
                EXPECT_TRUE(fs::exists(at + "-victim")) << at;
                EXPECT_FALSE(fs::exists(at + "-new")) << at;
            }
        } else if (d.dithered) {
            const Bitmap page = read_pages(read_file(out)).at(0).image;
            auto ink = [&](unsigned x, unsigned y) { return (page.bits[size_t(y) * page.bpl() + x / 8] >> (7 - x % 8)) & 1; };
            // The middle rows of the picture, between the first and last
            // rows with ink; six bands across its inner width.
            unsigned top = page.h, bottom = 0, left = page.w, right = 0;
            for (unsigned y = 0; y < page.h; y++)
                for (unsigned x = 0; x < page.w; x++)
                    if (ink(x, y)) {
                        top = std::min(top, y), bottom = std::max(bottom, y);
                        left = std::min(left, x), right = std::max(right, x);
                    }
            ASSERT_LT(top, bottom);
            const unsigned middle = (top + bottom) / 2, inner = left + (right - left) / 10,
                           width = (right - left) * 8 / 10;
            std::vector<double> levels;
            for (unsigned band = 0; band < 6; band++) {
                unsigned dots = 0, all = 0;
                for (unsigned y = middle - 16; y < middle + 16; y++)
                    for (unsigned x = inner + band * width / 6; x < inner + (band + 1) * width / 6; x++, all++)
                        dots += ink(x, y);
                levels.push_back(double(dots) / all);
            }
            for (size_t i = 1; i < levels.size(); i++)
                EXPECT_LT(levels[i], levels[i - 1]) << "band " << i << ": grey levels fall across the gradient";
            EXPECT_GE(std::count_if(levels.begin(), levels.end(), [](double l) { return l > 0.05 && l < 0.95; }), 4)
                << "grey levels, not black and white";
        } else if (d.whole_at) {
            const PageDoc doc = read_pages(read_file(out)).at(d.page);
            const Bitmap &page = doc.image;
            EXPECT_EQ(doc.geometry.resolution_y, d.whole_at);
            const unsigned near = d.whole_at * 5 / 25;  // 5 mm
            auto dot = [&](unsigned x, unsigned y) { return (page.bits[size_t(y) * page.bpl() + x / 8] >> (7 - x % 8)) & 1; };
            // Each side of the frame, across the middle row and column.
            std::array<bool, 4> ink{};  // left, top, right, bottom
            for (unsigned i = 0; i < near; i++) {
                ink[0] |= dot(i, page.h / 2), ink[2] |= dot(page.w - 1 - i, page.h / 2);
                ink[1] |= dot(page.w / 2, i), ink[3] |= dot(page.w / 2, page.h - 1 - i);
            }
            EXPECT_EQ(ink, d.sides) << "the frame's sides printed";
            EXPECT_NE(std::count(page.bits.begin(), page.bits.end(), 0), long(page.bits.size())) << "ink on the page";
        } else if (d.prints && d.title.empty()) {
            std::vector<PageDoc> docs = read_pages(read_file(out));
            ASSERT_GE(docs.size(), 1u);
            if (std::string(d.format) == "image/pwg-raster")
                EXPECT_TRUE(docs[0].image == expected_of(a5)) << "the page as sent";
            else
                EXPECT_NE(std::count(docs[0].image.bits.begin(), docs[0].image.bits.end(), 0),
                          long(docs[0].image.bits.size())) << "ink on the page";
        }
        EXPECT_EQ(read_pages(print(Samples + "/photo.png", "image/png", "")).size(), 1u) << "the next job prints";
    }
    for (const std::string &at : planted)
        for (const char *file : {"-secret", "-victim", "-new"})
            fs::remove(at + file);
    // (Fewer when one was open for a moment as the count began.)
    EXPECT_LE(descriptors(), descriptors_before) << "no descriptor left open";
    // Nor a conversion's scratch folder.
    for (const auto &conversions : fs::directory_iterator(dir_->file("tmp"))) {
        if (conversions.path().filename().string().rfind("quillet-conversions-", 0) == 0) {
            EXPECT_TRUE(fs::is_empty(conversions.path())) << conversions.path();
        }
    }
}

// Copies of a job of several pages come collated: the job again per copy,
// with a blank back side between two-sided copies of an odd page count.
TEST_F(App, CopiesOfSeveralPagesComeCollated)
{
    std::vector<GreyPage> pages;
    for (uint32_t seed = 1; seed <= 3; seed++)
        pages.push_back(grey_page("iso_a5_148x210mm", 300, seed));
    std::string file = dir_->file("three-pages.pwg");
    write_pwg_pages(file, pages);
    const Bitmap blank = expected_of(GreyPage{pages[0].width, pages[0].height, 300, 300, pages[0].media,
                                              std::vector<uint8_t>(pages[0].grey.size(), 255)});
    for (const char *sides : {"one-sided", "two-sided-long-edge"}) {
        SCOPED_TRACE(sides);
        const bool two = std::string(sides) != "one-sided";
        // Every copy's pages are counted.
        std::vector<PageDoc> docs =
            read_pages(print(file, "image/pwg-raster", "ATTR integer copies 2\nATTR keyword sides " + std::string(sides),
                             "9", "EXPECT job-impressions-completed WITH-VALUE 6\n"));
        std::vector<const GreyPage *> order = {&pages[0], &pages[1], &pages[2], nullptr, &pages[0], &pages[1],
                                               &pages[2]};
        if (!two)
            order.erase(order.begin() + 3);
        ASSERT_EQ(docs.size(), order.size());
        for (size_t i = 0; i < docs.size(); i++) {
            EXPECT_EQ(docs[i].copies.copies, 1u);
            EXPECT_EQ(docs[i].duplex.duplex, two ? 1u : 0u);
            EXPECT_TRUE(docs[i].image == (order[i] ? expected_of(*order[i]) : blank)) << "page document " << i;
        }
    }
}

// samples/greys.ps from every client, at each resolution: each grey fill
// prints with the share of dots its grey asks (a threshold only when the
// job asks for text alone), darker fills darker, white without a dot, and
// a 0.1 point hairline unbroken.
TEST_F(App, GreysPrintAsGreys)
{
    struct Case {
        const char *name, *device, *format;
        unsigned dpi;
        const char *attributes = "";
        bool threshold = false;
        bool to_scale = true;  // an image is fitted within the margins: only its fills are where they were
        unsigned rendered_dpi = 0;  // the document's own, when not the printer's
        bool antialiased = false;   // rendered as phones do, text and lines with grey edges
        bool clustered = true;      // greys in clusters of dots
    };
    const Case cases[] = {
        {"pdf_300", "pdfwrite", "application/pdf", 300, "ATTR resolution printer-resolution 300dpi"},
        {"pdf_600", "pdfwrite", "application/pdf", 600},
        {"pdf_1200", "pdfwrite", "application/pdf", 1200, "ATTR enum print-quality 5"},
        {"ps_600", "ps2write", "application/postscript", 600},
        {"pwg_600", "pwgraster", "image/pwg-raster", 600},
        {"urf_300", "urf", "image/urf", 300, "ATTR resolution printer-resolution 300dpi"},
        {"png_600", "pnggray", "image/png", 600, "", false, false},
        {"jpeg_600", "jpeggray", "image/jpeg", 600, "", false, false},
        {"png_enlarged", "pnggray", "image/png", 600, "", false, false, 72},
        {"pwg_antialiased", "pwgraster", "image/pwg-raster", 600, "", false, true, 0, true},
        {"pdf_photo", "pdfwrite", "application/pdf", 600, "ATTR keyword print-content-optimize photo", false, true,
         0, false, false},
        {"pdf_text", "pdfwrite", "application/pdf", 600, "ATTR keyword print-content-optimize text", true, true, 0,
         false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir_->file(std::string("greys-") + c.name);
        std::vector<std::string> rendering = {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sPAPERSIZE=a4",
                                              "-r" + std::to_string(c.rendered_dpi ? c.rendered_dpi : c.dpi),
                                              std::string("-sDEVICE=") + c.device, "-dcupsColorSpace=18",
                                              "-dcupsBitsPerColor=8", "-sOutputFile=" + file};
        if (c.antialiased)
            rendering.insert(rendering.end(), {"-dTextAlphaBits=4", "-dGraphicsAlphaBits=4"});
        rendering.push_back(Samples + "/greys.ps");
        RunResult made = run("/usr/bin/gs", rendering);
        ASSERT_EQ(made.status, 0);
        std::vector<PageDoc> docs = read_pages(print(file, c.format, c.attributes));
        ASSERT_EQ(docs.size(), 1u);
        const Bitmap &page = docs[0].image;
        EXPECT_EQ(docs[0].geometry.resolution_x, c.dpi);
        // The share of dots in a box of points from the top left corner.
        auto ink = [&](double left, double top, double right, double bottom) {
            const double scale = c.dpi / 72.0;
            size_t dots = 0, all = 0;
            for (unsigned y = unsigned(top * scale); y < unsigned(bottom * scale) && y < page.h; y++)
                for (unsigned x = unsigned(left * scale); x < unsigned(right * scale) && x < page.w; x++, all++)
                    dots += (page.bits[size_t(y) * page.bpl() + x / 8] >> (7 - x % 8)) & 1;
            return all ? double(dots) / all : -1.0;
        };
        // Dots in a box with no other dot beside them.
        auto lone = [&](double left, double top, double right, double bottom) {
            const double scale = c.dpi / 72.0;
            auto dot = [&](unsigned x, unsigned y) { return (page.bits[size_t(y) * page.bpl() + x / 8] >> (7 - x % 8)) & 1; };
            unsigned alone = 0;
            for (unsigned y = unsigned(top * scale); y < unsigned(bottom * scale); y++)
                for (unsigned x = unsigned(left * scale); x < unsigned(right * scale); x++)
                    alone += dot(x, y) && !dot(x - 1, y) && !dot(x + 1, y) && !dot(x, y - 1) && !dot(x, y + 1) &&
                             !dot(x - 1, y - 1) && !dot(x + 1, y - 1) && !dot(x - 1, y + 1) && !dot(x + 1, y + 1);
            return alone;
        };
        // A light grey in clusters of dots, as a laser holds them.
        if (c.clustered) {
            EXPECT_LT(lone(450, 130, 480, 200), 0.02 * ink(450, 130, 480, 200) * (30 * 70 * c.dpi * c.dpi / 5184))
                << "lone dots in a fill of grey 0.85";
        }
        double lighter = 1.1;
        for (unsigned k = 0; k < 10; k++) {
            const double grey = 0.05 + 0.1 * k, share = ink(50 + 50 * k, 130, 80 + 50 * k, 200);
            const double expected = c.threshold ? (grey < 0.5 ? 1.0 : 0.0) : 1.0 - grey;
            EXPECT_NEAR(share, expected, c.threshold ? 0.0 : 0.1) << "fill of grey " << grey;
            EXPECT_LT(share, lighter) << "fill of grey " << grey;
            lighter = share + (c.threshold ? 1e-9 : 0.0);
        }
        if (!c.to_scale)
            continue;
        EXPECT_EQ(ink(40, 245, 550, 275), 0.0) << "white between the fills and the chart";
        // Black text, 24 and 9 points: solid, its edges crisp, not a dot
        // on its own.
        EXPECT_EQ(lone(335, 296, 480, 330) + lone(335, 410, 480, 426), 0u) << "lone dots in black text";
        EXPECT_NEAR(ink(340, 296, 470, 330), 0.126, 0.012) << "black text";
        // The 0.1 point hairline, 250 points above the bottom, ink in every
        // column along it (rendered with grey edges too, where it is a
        // faint grey).
        const double scale = c.dpi / 72.0, line = 841.89 - 250;
        unsigned gaps = 0;
        for (unsigned x = unsigned(70 * scale); x < unsigned(330 * scale); x++) {
            unsigned dots = 0;
            for (unsigned y = unsigned((line - 4) * scale); y < unsigned((line + 4) * scale); y++)
                dots += (page.bits[size_t(y) * page.bpl() + x / 8] >> (7 - x % 8)) & 1;
            gaps += dots == 0;
        }
        EXPECT_EQ(gaps, 0u) << "columns where the hairline breaks";
    }
}

}  // namespace
