// oaktdump on the filter's own output: its listing, its verdict on streams
// with one defect injected, and the pages it decodes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include <png.h>

#include "capture.h"
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
using quillet::pack;
using quillet::TimeRecord;

namespace {

RunResult run_dump(const std::vector<std::string> &args, const std::vector<uint8_t> &input = {})
{
    Process p(QUILLET_OAKTDUMP, RunOptions(args));
    p.write(input);
    return p.finish();
}

std::string last_line(const RunResult &r)
{
    std::string out(r.out.begin(), r.out.end());
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out.substr(out.rfind('\n') + 1);
}

// A valid stream of two pages: 640 x 600 noise (bands of 256, 256, 88 rows)
// and 320 x 10 black.
const std::vector<uint8_t> &valid_stream()
{
    static const std::vector<uint8_t> stream = [] {
        RunResult r = run_filter({filter_args()}, raster_bytes({make_page(640, 600, Fill::Noise),
                                                                make_page(320, 10, Fill::Black)}));
        return r.out;
    }();
    return stream;
}

void put32(std::vector<uint8_t> &s, size_t at, uint32_t v)
{
    put_u32(s.data() + at, v);
}

struct Defect {
    const char *name;
    // Changes the stream; returns the offset at which the violation is reported.
    std::function<size_t(std::vector<uint8_t> &, const std::vector<Record> &)> inject;
    const char *rule;
};

class Validation : public testing::TestWithParam<Defect> {};

TEST_P(Validation, ReportsTheFirstViolationWithItsOffset)
{
    const Defect &d = GetParam();
    std::vector<uint8_t> stream = valid_stream();
    auto records = split_records(stream);
    size_t offset = d.inject(stream, records);
    RunResult r = run_dump({"-"}, stream);
    EXPECT_EQ(r.status, 1) << last_line(r);
    EXPECT_EQ(last_line(r).rfind("invalid: offset " + std::to_string(offset) + ": " + d.rule + ": ", 0), 0u)
        << last_line(r);
}

const Record &nth(const std::vector<Record> &records, uint32_t type, int n = 0)
{
    for (const Record &r : records)
        if (r.type == type && n-- == 0)
            return r;
    throw std::runtime_error("no such record");
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Validation,
    testing::Values(
        Defect{"magic",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::time).offset;
                   s[at + 3] = 'X';
                   return at;
               },
               "magic"},
        Defect{"length_rule",
               [](auto &s, auto &) {
                   put32(s, 4, 96);
                   return size_t(0);
               },
               "length rule"},
        Defect{"alignment_of_a_record",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::paper).offset;
                   put32(s, at + 4, 33);
                   return at;
               },
               "16-byte alignment"},
        Defect{"alignment_of_band_data",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band, 1).offset;
                   put32(s, at + 12 + 24, 1000);
                   return at;
               },
               "16-byte alignment"},
        Defect{"record_filler",
               [](auto &s, auto &) {
                   s[79] = 'Q';  // the "PA" of the first record
                   return size_t(78);
               },
               "filler"},
        Defect{"band_filler",
               [](auto &s, auto &recs) {
                   const Record &band = nth(recs, record_type::band, 2);
                   BandRecord rec;
                   unpack(band.body.data(), rec);
                   EXPECT_NE(rec.data_length, rec.padded_length);
                   size_t at = band.offset + 64 + rec.data_length;
                   s[at] = '_';
                   return at;
               },
               "filler"},
        Defect{"unknown_type",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::source).offset;
                   put32(s, at + 8, 99);
                   return at;
               },
               "record type"},
        Defect{"record_order",
               [](auto &s, auto &recs) {
                   // START_PAGE and SOURCE are both 16 bytes: swap them.
                   size_t a = nth(recs, record_type::start_page, 1).offset, b = nth(recs, record_type::source, 1).offset;
                   std::swap_ranges(s.begin() + long(a), s.begin() + long(a) + 16, s.begin() + long(b));
                   return a;
               },
               "record order"},
        Defect{"missing_record",
               [](auto &s, auto &recs) {
                   const Record &copies = nth(recs, record_type::copies);
                   s.erase(s.begin() + long(copies.offset), s.begin() + long(copies.offset + copies.len));
                   return copies.offset;
               },
               "record order"},
        Defect{"band_starts_at_wrong_row",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band, 1).offset;
                   put32(s, at + 12 + 32, 0);
                   return at;
               },
               "band rows"},
        Defect{"band_of_wrong_height",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::image).offset;
                   put32(s, at + 12 + 12, 601);  // image height 601: the last band must hold 89 rows
                   return nth(recs, record_type::band, 2).offset;
               },
               "band rows"},
        Defect{"bands_do_not_cover_the_image",
               [](auto &s, auto &recs) {
                   const Record &band = nth(recs, record_type::band, 2);
                   size_t size = 64 + band.data.size();
                   s.erase(s.begin() + long(band.offset), s.begin() + long(band.offset + size));
                   return band.offset;  // the END_IMAGE record moved here
               },
               "band rows"},
        Defect{"bih_options",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band).offset;
                   s[at + 12 + 19] = 0x5C;
                   return at;
               },
               "BIH fields"},
        Defect{"bih_width",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band).offset;
                   put32(s, at + 12 + 4, 608);
                   return at;
               },
               "BIH fields"},
        Defect{"datalen_padlen",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band).offset;
                   BandRecord rec;
                   unpack(s.data() + at + 12, rec);
                   put32(s, at + 12 + 20, rec.data_length + 16);
                   return at;
               },
               "datalen/padlen"},
        Defect{"padlen_above_the_rule",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band).offset;
                   BandRecord rec;
                   unpack(s.data() + at + 12, rec);
                   put32(s, at + 12 + 24, ((rec.data_length + 15) & ~15u) + 16);  // padlen
                   return at;
               },
               "datalen/padlen"},
        Defect{"media_text_lead",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::media).offset;
                   s[at + 12 + 4] = ' ';
                   return at;
               },
               "fixed field"},
        Defect{"band_data_cut_short",
               [](auto &s, auto &recs) {
                   const Record &band = nth(recs, record_type::band);
                   BandRecord rec;
                   unpack(band.body.data(), rec);
                   // Drop the stripe's end marker: the band's rows are not all there.
                   size_t end = band.offset + 64 + rec.data_length;
                   s[end - 2] = 0;
                   s[end - 1] = 0;
                   return band.offset + 64;
               },
               "band data"},
        Defect{"other_text",
               [](auto &s, auto &) {
                   s[12 + 2 + 5] = 'X';  // "OTHERX"
                   return size_t(0);
               },
               "fixed field"},
        Defect{"l0_not_yd",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band, 2).offset;
                   put32(s, at + 12 + 12, 255);
                   return at;
               },
               "BIH fields"},
        Defect{"paper_reserved",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::paper).offset;
                   put32(s, at + 12 + 12, 1);
                   return at;
               },
               "fixed field"},
        Defect{"duplex_short_edge",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::duplex).offset;
                   put32(s, at + 12 + 4, 1);
                   return at;
               },
               "fixed field"},
        Defect{"band_plane",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band, 1).offset;
                   put32(s, at + 12 + 36, 2);
                   return at;
               },
               "fixed field"},
        Defect{"fixed_end_page",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::end_page).offset;
                   s[at + 12] = 1;
                   return at;
               },
               "fixed field"},
        Defect{"ends_inside_a_header",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::time, 1).offset;
                   s.erase(s.begin() + long(at + 7), s.end());
                   return at;
               },
               "truncated"},
        Defect{"ends_inside_a_record",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::media, 1).offset;
                   s.erase(s.begin() + long(at + 40), s.end());
                   return at;
               },
               "truncated"},
        Defect{"ends_inside_band_data",
               [](auto &s, auto &recs) {
                   size_t at = nth(recs, record_type::band, 1).offset + 64;
                   s.erase(s.begin() + long(at + 10), s.end());
                   return at;
               },
               "truncated"},
        Defect{"ends_inside_a_page_document",
               [](auto &s, auto &) {
                   s.erase(s.begin() + long(s.size() - 16), s.end());  // no end-of-document record
                   return s.size();
               },
               "truncated"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Verdict, ValidStreamAndItsListing)
{
    RunResult r = run_dump({"-"}, valid_stream());
    EXPECT_EQ(r.status, 0);
    std::string out(r.out.begin(), r.out.end());
    for (const char *text : {"13 OTHER         80  text \"OTHER\"", "15 DUPLEX        32  duplex 0",
                             "40 SOURCE        16  source 7", "media 0 (plain paper), density 2 (normal)",
                             "copies 1, one-sided", "paper 256 (user-defined size), 1280 x 1200 /1200 in",
                             "image 640 x 600 px at 600 x 600 dpi, placed 4520, 236 /1200 in",
                             "band at row 512, 88 rows,", "page 1: user-defined size 27.1 x 25.4 mm, image 640 x 600 px",
                             "page 2: ", "valid: 2 pages, "})
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;

    // A time record of December, the month the C library counts as 11.
    std::vector<uint8_t> december = valid_stream();
    TimeRecord stamp{};
    std::strcpy(stamp.text.data(), "Mon Dec  7 09:05:03 2026\n");
    stamp.seconds = 1796634303;
    stamp.year = 2026;
    stamp.month = 11;
    stamp.day = 7;
    stamp.hour = 9;
    stamp.minute = 5;
    stamp.second = 3;
    pack(december.data() + 80 + 12, stamp);
    std::vector<uint8_t> listing = run_dump({"-"}, december).out;
    EXPECT_NE(std::string(listing.begin(), listing.end())
                  .find("\"Mon Dec  7 09:05:03 2026\", clock 1796634303, local time 2026-12-07 09:05:03"),
              std::string::npos);

    // A page document of its four records and its end alone.
    std::vector<uint8_t> bare = valid_stream();
    bare.resize(256);
    const std::initializer_list<uint8_t> end = {'O', 'A', 'K', 'T', 16, 0, 0, 0, 11, 0, 0, 0, 'P', 'A', 'D', '_'};
    bare.insert(bare.end(), end);
    r = run_dump({"-"}, bare);
    EXPECT_EQ(r.status, 0) << last_line(r);
    EXPECT_NE(std::string(r.out.begin(), r.out.end()).find("no image (document records only)"), std::string::npos);

    r = run_dump({"--quiet", "-"}, valid_stream());
    EXPECT_EQ(r.status, 0);
    std::string quiet(r.out.begin(), r.out.end());
    EXPECT_EQ(std::count(quiet.begin(), quiet.end(), '\n'), 3) << quiet;
}

TEST(Verdict, EmptyGarbageAndUsage)
{
    EXPECT_EQ(run_dump({"-"}).status, 0);
    EXPECT_EQ(last_line(run_dump({"-"})), "valid: 0 pages, 0 bytes");

    std::vector<uint8_t> garbage(5000);
    uint32_t x = 12345;
    for (auto &b : garbage)
        b = uint8_t((x = x * 1103515245 + 12345) >> 16);
    RunResult r = run_dump({"-"}, garbage);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r).rfind("invalid: offset 0: magic", 0), 0u);

    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {"--bogus", "-"}, {"--png", "-"}, {"a", "b"}, {"--pages"}, {"/nonexistent.oakt"}}) {
        RunResult u = run_dump(args);
        EXPECT_EQ(u.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_TRUE(u.err.rfind("oaktdump: ", 0) == 0) << u.err;
    }
}

TEST(Pages, DecodedPagesEqualThePreparedRaster)
{
    TempDir dir;
    std::vector<RasterPage> pages = {make_page(4958, 7016, Fill::Stripes), make_page(1001, 300, Fill::Noise)};
    pages[1].header.cupsInteger[0] = 1;
    write_file(dir.file("job.oakt"), run_filter({filter_args()}, raster_bytes(pages)).out);

    RunResult r = run_dump({"--quiet", "--pages", dir.file("pages"), "--png", dir.file("job.oakt")});
    ASSERT_EQ(r.status, 0) << r.err;
    for (size_t i = 0; i < pages.size(); i++) {
        Bitmap want = expected_image(pages[i]);
        char name[32];
        snprintf(name, sizeof name, "/page-%04zu", i + 1);
        auto pbm = read_file(dir.file("pages") + name + ".pbm");
        std::string head = "P4\n" + std::to_string(want.w) + " " + std::to_string(want.h) + "\n";
        ASSERT_GE(pbm.size(), head.size());
        EXPECT_EQ(std::string(pbm.begin(), pbm.begin() + long(head.size())), head);
        EXPECT_TRUE(std::equal(pbm.begin() + long(head.size()), pbm.end(), want.bits.begin(), want.bits.end()))
            << "page " << i + 1;

        // The PNG shows the same page: black where the printer puts toner.
        png_image png{};
        png.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&png, (dir.file("pages") + name + ".png").c_str()));
        png.format = PNG_FORMAT_GRAY;
        std::vector<uint8_t> grey(PNG_IMAGE_SIZE(png));
        ASSERT_TRUE(png_image_finish_read(&png, nullptr, grey.data(), 0, nullptr));
        ASSERT_EQ(png.width, want.w);
        ASSERT_EQ(png.height, want.h);
        size_t wrong = 0;
        for (unsigned y = 0; y < want.h; y++)
            for (unsigned x = 0; x < want.w; x++)
                wrong += (grey[size_t(y) * want.w + x] == 0) != bool(want.bits[y * want.bpl() + x / 8] & (0x80 >> x % 8));
        EXPECT_EQ(wrong, 0u) << "page " << i + 1;
    }
}

}  // namespace
