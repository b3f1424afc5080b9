// Bands and whole pages through the encoder: decoded back with libjbig, the
// record fields, and the same bytes for any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "band_encoder.h"
#include "capture.h"
#include "expect.h"
#include "oakt_tables.h"
#include "page_document.h"
#include "page_loop.h"
#include "raster.h"
#include "record_writer.h"
#include "stream.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// h rows of (w + 7) / 8 bytes.
std::vector<uint8_t> image(unsigned w, unsigned h, const std::string &fill, uint32_t seed = 7)
{
    size_t bpl = (w + 7) / 8;
    std::vector<uint8_t> bits(bpl * h, 0);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < bits.size(); i++) {
        if (fill == "black")
            bits[i] = 0xFF;
        else if (fill == "noise")
            bits[i] = uint8_t(rng());
        else if (fill == "text")
            bits[i] = (i / bpl) % 24 < 14 && (i % bpl) % 6 < 4 ? uint8_t(rng() & rng()) : 0;
    }
    return bits;
}

// The visible pixels: bits beyond the width cleared.
std::vector<uint8_t> visible(std::vector<uint8_t> bits, unsigned w)
{
    size_t bpl = (w + 7) / 8;
    if (w % 8)
        for (size_t i = bpl - 1; i < bits.size(); i += bpl)
            bits[i] &= uint8_t(0xFF << (8 - w % 8));
    return bits;
}

std::vector<uint8_t> bands_of(std::vector<uint8_t> bits, unsigned w, unsigned h)
{
    MemorySink sink;
    RecordWriter writer(sink);
    size_t bpl = (w + 7) / 8;
    for (unsigned y = 0; y < h; y += band_rows) {
        unsigned lines = std::min(band_rows, h - y);
        EncodedBand band = encode_band({bits.data() + y * bpl, lines * bpl}, w, lines, y);
        EXPECT_FALSE(band.error);
        write_band(writer, band);
    }
    return sink.bytes();
}

struct BandCase {
    unsigned w, h;
    const char *fill;
};

class Bands : public testing::TestWithParam<BandCase> {};

TEST_P(Bands, RoundTripAndRecordFields)
{
    const BandCase &c = GetParam();
    auto bits = image(c.w, c.h, c.fill);
    auto records = split_records(bands_of(bits, c.w, c.h));
    ASSERT_EQ(records.size(), size_t((c.h + 255) / 256));

    std::vector<uint8_t> decoded;
    for (size_t i = 0; i < records.size(); i++) {
        const Record &r = records[i];
        BandRecord rec;
        unpack(r.body.data(), rec);
        unsigned rows = std::min(256u, c.h - unsigned(i) * 256);
        EXPECT_EQ(r.type, 60u);
        EXPECT_EQ(r.len, 64u);
        EXPECT_EQ(rec.first_row, i * 256);
        Bih bih;
        unpack(rec.bih.data(), bih);
        EXPECT_EQ(bih.layers, band_bih_layers);
        EXPECT_EQ(bih.width, c.w);
        EXPECT_EQ(bih.height, rows);
        EXPECT_EQ(bih.stripe_rows, rows);
        EXPECT_EQ(bih.options, band_bih_options);
        EXPECT_EQ(rec.padded_length, (rec.data_length + 15) & ~15u);
        EXPECT_EQ(rec.reserved, 0u);
        EXPECT_EQ(rec.plane, 3u);
        EXPECT_EQ(rec.subplane, 0u);
        ASSERT_GE(rec.data_length, 2u);
        // The data ends with the stripe's SDNORM marker, or with an ATMOVE
        // segment right behind it.
        const uint8_t *end = r.data.data() + rec.data_length;
        bool sdnorm = end[-2] == 0xFF && end[-1] == 0x02;
        bool atmove = rec.data_length >= 10 && end[-10] == 0xFF && end[-9] == 0x02 && end[-8] == 0xFF && end[-7] == 0x06;
        EXPECT_TRUE(sdnorm || atmove);
        Bitmap band = test::decode_band(rec, r.data);
        EXPECT_EQ(band.h, rows);
        decoded.insert(decoded.end(), band.bits.begin(), band.bits.end());
    }
    EXPECT_EQ(decoded, visible(bits, c.w));
}

INSTANTIATE_TEST_SUITE_P(Images, Bands,
                         testing::Values(BandCase{32, 1, "black"}, BandCase{64, 256, "noise"},
                                         BandCase{64, 257, "noise"}, BandCase{128, 600, "text"},
                                         BandCase{4832, 600, "blank"}, BandCase{600, 256, "noise"},
                                         BandCase{33, 300, "noise"}, BandCase{1, 5, "black"},
                                         BandCase{4957, 512, "text"}));

TEST(Bands, HeaderOfAFullBandAndBitsBeyondTheWidth)
{
    auto out = bands_of(image(600, 256, "text"), 600, 256);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.begin() + 32),
              hex("00 00 01 00 58 02 00 00 00 01 00 00 00 01 00 00 10 00 03 58"));

    auto clean = visible(image(33, 40, "noise"), 33);
    auto dirty = clean;
    for (size_t i = 4; i < dirty.size(); i += 5)
        dirty[i] |= 0x7F;
    EXPECT_EQ(bands_of(clean, 33, 40), bands_of(dirty, 33, 40));
}

// A whole page document through the band encoder, rows handed over one at a
// time as a front end does; only the first rows_given rows arrive.
std::vector<uint8_t> encode_page(const RasterPage &page, unsigned threads, size_t rows_given = SIZE_MAX,
                                 BandCoder coder = encode_band, std::optional<std::string> *failure = nullptr)
{
    PlanResult planned = plan_page(filter::print_settings(page.header, {}), filter::raster_geometry(page.header), 1);
    EXPECT_TRUE(planned.plan) << planned.refusal;
    MemorySink sink;
    RecordWriter writer(sink);
    BandEncoder encoder(threads, coder);
    PageDocument document(writer, encoder, *planned.plan, 0);
    for (unsigned y = 0; y < page.height() && y < rows_given; y++) {
        std::span<uint8_t> room = document.next_row();
        EXPECT_EQ(room.size(), page.bpl());
        std::copy(page.row(y), page.row(y) + page.bpl(), room.begin());
        document.commit_row();
    }
    std::optional<std::string> closed = document.close();
    if (failure)
        *failure = closed;
    else
        EXPECT_FALSE(closed) << *closed;
    return sink.bytes();
}

struct PageCase {
    const char *name;
    unsigned width, height, dpi;
    Fill fill;
    bool mirror;
};

class Pages : public testing::TestWithParam<PageCase> {};

TEST_P(Pages, DecodeToThePreparedRasterWithAnyThreads)
{
    const PageCase &c = GetParam();
    RasterPage page = make_page(c.width, c.height, c.fill, c.dpi, c.dpi, 3);
    page.header.cupsInteger[0] = c.mirror;
    std::vector<uint8_t> one = encode_page(page, 1);
    auto docs = read_pages(one);
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_TRUE(docs[0].image == expected_image(page));
    for (unsigned threads : {2u, 4u})
        EXPECT_EQ(encode_page(page, threads), one) << threads << " threads";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Pages,
    testing::Values(PageCase{"fits", 1000, 700, 600, Fill::Noise, false},
                    PageCase{"a4_cut_both_ways", 4958, 7016, 600, Fill::Stripes, false},
                    PageCase{"a4_cut_mirrored", 4958, 7016, 600, Fill::Noise, true},
                    PageCase{"cut_height_only", 2000, 14100, 1200, Fill::Stripes, true},
                    PageCase{"odd_width_mirrored", 4900, 300, 600, Fill::Black, true},
                    PageCase{"one_band_and_a_row", 77, 257, 300, Fill::Noise, false},
                    PageCase{"no_rows", 640, 0, 600, Fill::Black, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Pages, RowsThatNeverCameAreBlank)
{
    RasterPage page = make_page(800, 600, Fill::Black);
    auto docs = read_pages(encode_page(page, 2, 300));
    ASSERT_EQ(docs.size(), 1u);
    std::fill(page.rows.begin() + 300 * 100, page.rows.end(), 0);
    EXPECT_TRUE(docs[0].image == expected_image(page));
}

TEST(Pages, NothingIsWrittenAfterABandFails)
{
    RasterPage page = make_page(800, 1000, Fill::Noise);
    BandCoder second_band_fails = [](std::span<uint8_t> rows, uint32_t width, uint32_t lines, uint32_t first_row) {
        EncodedBand band = encode_band(rows, width, lines, first_row);
        if (first_row == band_rows)
            band.error = "no band";
        return band;
    };
    for (unsigned threads : {1u, 3u}) {
        std::optional<std::string> failure;
        std::vector<Record> records = split_records(encode_page(page, threads, SIZE_MAX, second_band_fails, &failure));
        EXPECT_EQ(failure, "no band") << threads << " threads";
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().type, uint32_t{record_type::band}) << threads << " threads";
        EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const Record &r) { return r.type == record_type::band; }),
                  1) << threads << " threads";
    }
}

TEST(Pages, TwoJobsAtOnceGiveTheBytesOfEachAlone)
{
    RasterPage first = make_page(4958, 3000, Fill::Noise, 600, 600, 1);
    RasterPage second = make_page(2400, 3500, Fill::Stripes, 300, 300, 2);
    second.header.cupsInteger[0] = 1;
    std::vector<uint8_t> first_alone = encode_page(first, 2), second_alone = encode_page(second, 3);
    std::vector<uint8_t> first_together, second_together;
    std::thread a([&] { first_together = encode_page(first, 2); });
    std::thread b([&] { second_together = encode_page(second, 3); });
    a.join();
    b.join();
    EXPECT_EQ(first_together, first_alone);
    EXPECT_EQ(second_together, second_alone);
}

TEST(Threads, FromTheSetting)
{
    struct Row {
        const char *setting;
        long online;
        unsigned threads;
    } table[] = {{"1", 8, 1},  {"3", 1, 3},     {"64", 2, 64},  {"0", 2, 2},   {"65", 8, 4},
                 {"2x", 3, 3}, {"", 16, 4},     {nullptr, 4, 4}, {nullptr, 0, 1}, {nullptr, -1, 1}};
    for (const Row &row : table)
        EXPECT_EQ(encoder_threads(row.setting, row.online), row.threads)
            << (row.setting ? row.setting : "unset") << " with " << row.online << " online";
}

}  // namespace
