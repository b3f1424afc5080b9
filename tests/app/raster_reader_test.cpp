// Greys to dots: white never prints a dot, black always does, the ink
// follows the grey.  The application's raster reader against libcups's.
#include <gtest/gtest.h>
#include <cups/raster.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "page_plan.h"
#include "raster_reader.h"
#include "page_output.h"

using quillet::app::add_run;
using quillet::app::grey_to_black;

namespace {

// Every halftone at each resolution: white never prints a dot, black
// always does, the share of dots follows the grey within one step of the
// halftone and never falls as the grey darkens, a run of one grey makes
// the same dots as its pixels one by one, and the screen's dots cluster
// where the dither's spread.
TEST(Halftones, InkFollowsTheGreyAndTheScreenClusters)
{
    using quillet::app::Halftone, quillet::app::Screen;
    struct Case {
        Halftone halftone;
        unsigned resolution;
        double step;      // the share of dots one level of the halftone adds
        bool clustered;   // light greys make no lone dot
    };
    const Case cases[] = {{Halftone::screen, 300, 1.0 / 64, true},
                          {Halftone::screen, 600, 1.0 / 64, true},
                          {Halftone::screen, 1200, 1.0 / 256, true},
                          {Halftone::dither, 600, 1.0 / 256, false}};
    const unsigned width = 64, rows = 64;
    for (const Case &c : cases) {
        const Screen screen(c.halftone, c.resolution);
        double lighter = 0.0;
        for (unsigned grey = 256; grey-- > 0;) {
            std::vector<std::vector<uint8_t>> page(rows, std::vector<uint8_t>(width / 8));
            size_t dots = 0;
            for (unsigned y = 0; y < rows; y++) {
                const std::vector<uint8_t> row(width, uint8_t(grey));
                grey_to_black(row, y, screen, page[y]);
                std::vector<uint8_t> run(width / 8);
                add_run(run, 3, width - 3, screen.dots(y, uint8_t(grey)));
                add_run(run, 0, 3, screen.dots(y, uint8_t(grey)));
                ASSERT_EQ(run, page[y]) << "grey " << grey << " row " << y;
                for (uint8_t b : page[y])
                    dots += size_t(std::popcount(b));
            }
            const double share = double(dots) / (width * rows), ink = (255 - grey) / 255.0;
            const std::string what = "grey " + std::to_string(grey) + " at " + std::to_string(c.resolution);
            EXPECT_NEAR(share, ink, c.step / 2 + 1.0 / 255) << what;
            EXPECT_GE(share, lighter - 1e-9) << what;
            lighter = share;
            if (grey == 255 || grey == 0) {
                EXPECT_EQ(share, grey ? 0.0 : 1.0) << what;
            }
            // A lone dot: black with its four neighbours white (the page
            // taken as a tile of itself).
            auto at = [&](int x, int y) {
                x = (x + int(width)) % int(width), y = (y + int(rows)) % int(rows);
                return (page[y][x / 8] >> (7 - x % 8)) & 1;
            };
            unsigned lone = 0;
            for (int y = 0; y < int(rows); y++)
                for (int x = 0; x < int(width); x++)
                    lone += at(x, y) && !at(x - 1, y) && !at(x + 1, y) && !at(x, y - 1) && !at(x, y + 1);
            if (ink >= 0.1 && ink <= 0.5) {
                if (c.clustered)
                    EXPECT_EQ(lone, 0u) << what;
                else
                    EXPECT_GT(lone, 0u) << what;
            }
        }
    }
    // Text alone: a threshold at half; CUPS's black colour space reads 255
    // as ink.
    const Screen threshold(Halftone::threshold);
    std::vector<uint8_t> one(1);
    grey_to_black(std::vector<uint8_t>(8, 128), 0, threshold, one);
    EXPECT_EQ(one[0], 0);
    grey_to_black(std::vector<uint8_t>(8, 127), 0, threshold, one);
    EXPECT_EQ(one[0], 0xff);
    grey_to_black(std::vector<uint8_t>(8, 255), 0, threshold, one, true);
    EXPECT_EQ(one[0], 0xff);
}

// A line thinner than a pixel or two prints its middle pixel across it
// black; flat greys, the edges of larger shapes and faint lines are left to
// the screen.  Each case: the ink (0 white, 255 black) of five rows, the
// same along them, and whether the middle row's pixels print black; then
// the same five values along one row.
TEST(Halftones, ThinLinesPrintWholeAndNothingElseChanges)
{
    const struct {
        const char *name;
        std::array<uint8_t, 5> ink;
        bool black;
    } cases[] = {
        {"hairline on one row", {0, 0, 200, 0, 0}, true},
        {"hairline, its darker row", {0, 0, 115, 97, 0}, true},
        {"hairline, its lighter row", {0, 115, 97, 0, 0}, false},
        {"two equal rows, the later", {0, 128, 128, 0, 0}, true},
        {"two equal rows, the earlier", {0, 0, 128, 128, 0}, false},
        {"faint line", {0, 0, 60, 0, 0}, false},
        {"faint line on two rows", {0, 0, 50, 40, 0}, false},
        {"flat grey", {128, 128, 128, 128, 128}, false},
        {"edge of a black shape", {255, 255, 128, 0, 0}, false},
        {"three rows wide", {0, 128, 128, 128, 0}, false},
        {"grey background, no contrast", {100, 100, 200, 100, 100}, false},
    };
    constexpr size_t width = 16;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Across the rows: ink is_high, so the bytes are the ink.
        std::array<std::vector<uint8_t>, 5> rows;
        quillet::app::RowsAround around{};
        for (size_t k = 0; k < 5; k++) {
            rows[k].assign(width, c.ink[k]);
            around[k] = rows[k].data();
        }
        std::vector<uint8_t> black(width / 8, 0);
        quillet::app::keep_thin_lines(around, width, 0, width, false, true, black);
        EXPECT_EQ(black, std::vector<uint8_t>(width / 8, c.black ? 0xff : 0x00)) << "across the rows";
        // Along the rows, white beyond, every row alike, in the colour
        // space where 0 is black: the middle pixel of the five alike.
        std::vector<uint8_t> row(width, 0xff);
        for (size_t k = 0; k < 5; k++)
            row[5 + k] = uint8_t(255 - c.ink[k]);
        const quillet::app::RowsAround alike{row.data(), row.data(), row.data(), row.data(), row.data()};
        std::fill(black.begin(), black.end(), 0);
        quillet::app::keep_thin_lines(alike, width, 0, width, true, false, black);
        EXPECT_EQ(black[0] & 1, c.black ? 1 : 0) << "along the rows";
    }
}

// Streams in memory, for libcups's writer and reader.
struct Bytes {
    std::vector<uint8_t> data;
    size_t at = 0;
};
ssize_t write_bytes(void *context, unsigned char *buffer, size_t length)
{
    auto &bytes = *static_cast<Bytes *>(context);
    bytes.data.insert(bytes.data.end(), buffer, buffer + length);
    return static_cast<ssize_t>(length);
}
ssize_t read_bytes(void *context, unsigned char *buffer, size_t length)
{
    auto &bytes = *static_cast<Bytes *>(context);
    const size_t count = std::min(length, bytes.data.size() - bytes.at);
    std::memcpy(buffer, bytes.data.data() + bytes.at, count);
    bytes.at += count;
    return static_cast<ssize_t>(count);
}

struct Kind {
    const char *name;
    cups_mode_t mode;  // PWG, Apple, or a little-endian version 2 stream
    unsigned bits;
    cups_cspace_t space;
};

// A page of runs of one value, of noise, and rows repeated: what text,
// pictures and blank space make.
std::vector<uint8_t> random_page(const cups_page_header2_t &header, std::mt19937 &random)
{
    const unsigned bytes = header.cupsBytesPerLine;
    std::vector<uint8_t> rows(size_t{bytes} * header.cupsHeight);
    for (unsigned y = 0; y < header.cupsHeight; y++) {
        uint8_t *row = rows.data() + size_t{y} * bytes;
        if (y && random() % 3 == 0) {
            std::memcpy(row, row - bytes, bytes);
            continue;
        }
        for (unsigned x = 0; x < bytes;) {
            const unsigned length = std::min<unsigned>(1 + random() % 300, bytes - x);
            const uint8_t values[] = {0, 255, 127, 128, uint8_t(random())};
            const uint8_t value = values[random() % 5];
            const bool noise = random() % 4 == 0;
            for (unsigned i = 0; i < length; i++)
                row[x + i] = noise ? uint8_t(random()) : value;
            x += length;
        }
    }
    return rows;
}

// Every row the application's reader gives, as sent and as black, is the
// row libcups gives; a stream whose runs are random bytes breaks at the same
// row in both.
TEST(RasterReader, ReadsEveryRowAsLibcupsDoes)
{
    const Kind kinds[] = {{"pwg_sgray_8", CUPS_RASTER_WRITE_PWG, 8, CUPS_CSPACE_SW},
                          {"pwg_black_8", CUPS_RASTER_WRITE_PWG, 8, CUPS_CSPACE_K},
                          {"pwg_black_1", CUPS_RASTER_WRITE_PWG, 1, CUPS_CSPACE_K},
                          {"pwg_srgb_8", CUPS_RASTER_WRITE_PWG, 24, CUPS_CSPACE_SRGB},
                          {"apple_sgray_8", CUPS_RASTER_WRITE_APPLE, 8, CUPS_CSPACE_SW},
                          {"apple_srgb_8", CUPS_RASTER_WRITE_APPLE, 24, CUPS_CSPACE_SRGB},
                          {"native_v2_grey", CUPS_RASTER_WRITE_COMPRESSED, 8, CUPS_CSPACE_W}};
    for (const Kind &kind : kinds)
        for (uint32_t seed = 1; seed <= 6; seed++) {
            SCOPED_TRACE(std::string(kind.name) + " seed " + std::to_string(seed));
            std::mt19937 random(seed);
            cups_page_header2_t header{};
            header.cupsWidth = 1 + random() % 700;
            header.cupsHeight = 1 + random() % 90;
            header.HWResolution[0] = header.HWResolution[1] = 600;
            header.cupsBitsPerPixel = kind.bits;
            header.cupsBitsPerColor = kind.bits == 24 ? 8 : kind.bits;
            header.cupsColorSpace = kind.space;
            header.cupsNumColors = kind.bits == 24 ? 3 : 1;
            header.cupsBytesPerLine = (header.cupsWidth * kind.bits + 7) / 8;
            std::strcpy(header.MediaClass, "PwgRaster");
            Bytes stream;
            cups_raster_t *writer = cupsRasterOpenIO(write_bytes, &stream, kind.mode);
            const std::vector<uint8_t> pages[] = {random_page(header, random), random_page(header, random)};
            for (const std::vector<uint8_t> &page : pages) {
                ASSERT_TRUE(cupsRasterWriteHeader2(writer, &header));
                cupsRasterWritePixels(writer, const_cast<uint8_t *>(page.data()), unsigned(page.size()));
            }
            cupsRasterClose(writer);
            // The second stream: the first page's runs are random bytes.
            const size_t headers = kind.mode == CUPS_RASTER_WRITE_APPLE ? 4 + 8 + 32 : 4 + 1796;
            Bytes broken{std::vector<uint8_t>(stream.data.begin(), stream.data.begin() + ptrdiff_t(headers))};
            for (unsigned i = 0; i < 4000; i++)
                broken.data.push_back(uint8_t(random() % 7 == 0 ? 128 + random() % 128 : random()));

            for (Bytes *bytes : {&stream, &broken}) {
                cups_raster_t *theirs = cupsRasterOpenIO(read_bytes, bytes, CUPS_RASTER_READ);
                quillet::app::MemoryInput input(bytes->data), input_black(bytes->data);
                quillet::app::RasterReader ours(input), ours_black(input_black);
                cups_page_header2_t their_page{};
                unsigned pages_read = 0;
                while (cupsRasterReadHeader2(theirs, &their_page)) {
                    std::optional<quillet::app::RasterPageHeader> page = ours.next_page();
                    std::optional<quillet::app::RasterPageHeader> page_black = ours_black.next_page();
                    ASSERT_TRUE(page && page_black) << ours.failure();
                    EXPECT_EQ(page->width, their_page.cupsWidth);
                    EXPECT_EQ(page->height, their_page.cupsHeight);
                    EXPECT_EQ(page->bytes_per_line, their_page.cupsBytesPerLine);
                    EXPECT_EQ(page->color_space, unsigned(their_page.cupsColorSpace));
                    EXPECT_EQ(page->resolution_y, their_page.HWResolution[1]);
                    std::vector<uint8_t> their_row(their_page.cupsBytesPerLine), our_row(their_row.size());
                    std::vector<uint8_t> expected((page->width + 7) / 8), black(expected.size());
                    const bool ink_is_high = kind.space == CUPS_CSPACE_K;
                    const quillet::app::BlackRows how{
                        quillet::app::Screen(seed % 2 ? quillet::app::Halftone::screen : quillet::app::Halftone::dither,
                                             seed % 3 ? 600 : 1200),
                        ink_is_high};
                    std::vector<std::vector<uint8_t>> rows;  // libcups's, up to where the page breaks
                    unsigned y = 0;
                    for (; y < their_page.cupsHeight; y++) {
                        const bool theirs_read = cupsRasterReadPixels(theirs, their_row.data(),
                                                                      unsigned(their_row.size())) != 0;
                        ASSERT_EQ(ours.read_row(our_row), theirs_read) << "row " << y << ": " << ours.failure();
                        if (!theirs_read)
                            break;
                        ASSERT_EQ(our_row, their_row) << "row " << y;
                        rows.push_back(their_row);
                    }
                    // As black: libcups's rows screened, with the thin lines
                    // among them and the rows beside them whole.
                    for (unsigned row = 0; kind.bits <= 8 && row < rows.size(); row++) {
                        ASSERT_TRUE(ours_black.read_black_row(black, how, row)) << "row " << row;
                        if (kind.bits == 1) {
                            expected = rows[row];
                            if (page->width % 8)
                                expected.back() &= uint8_t(0xff << (8 - page->width % 8));
                        } else {
                            grey_to_black(rows[row], row, how.screen, expected, ink_is_high);
                            const std::vector<uint8_t> white(page->width, ink_is_high ? 0 : 0xff);
                            quillet::app::RowsAround around{};
                            for (unsigned k = 0; k < around.size(); k++)
                                around[k] = row + k >= 2 && row + k - 2 < rows.size() ? rows[row + k - 2].data()
                                                                                      : white.data();
                            quillet::app::keep_thin_lines(around, page->width, 0, page->width, true, ink_is_high,
                                                          expected);
                        }
                        ASSERT_EQ(black, expected) << "row " << row;
                    }
                    if (y < their_page.cupsHeight) {
                        if (kind.bits <= 8) {
                            EXPECT_FALSE(ours_black.read_black_row(black, how, y)) << "row " << y << ", broken";
                        }
                        EXPECT_NE(ours.failure(), "");
                        break;
                    }
                    pages_read++;
                }
                EXPECT_EQ(pages_read, bytes == &stream ? 2u : pages_read);
                cupsRasterClose(theirs);
            }
        }
}

// A stream that breaks the format is refused with its reason before any
// row is taken, whatever libcups would make of it.
TEST(RasterReader, RefusesMalformedStreamsWithAReason)
{
    cups_page_header2_t good{};
    cupsRasterInitPWGHeader(&good, pwgMediaForPWG("iso_a6_105x148mm"), "sgray_8", 300, 300, "one-sided", nullptr);
    auto pwg = [](const cups_page_header2_t &header, size_t keep = SIZE_MAX) {
        Bytes stream;
        cups_raster_t *writer = cupsRasterOpenIO(write_bytes, &stream, CUPS_RASTER_WRITE_PWG);
        cupsRasterWriteHeader2(writer, const_cast<cups_page_header2_t *>(&header));
        cupsRasterClose(writer);
        stream.data.resize(std::min(keep, stream.data.size()));
        return stream.data;
    };
    auto changed = [&](auto change) {
        cups_page_header2_t header = good;
        change(header);
        return pwg(header);
    };
    const std::pair<std::vector<uint8_t>, const char *> table[] = {
        {{}, "empty"},
        {{'R', 'a', 'S', 't', 0, 0, 0, 0}, "neither PWG raster nor Apple raster"},
        {pwg(good, 4 + 1000), "cut short in a page header"},
        {changed([](auto &h) { h.cupsBytesPerLine += 1; }), "bytes per row"},
        {changed([](auto &h) { h.cupsWidth = 0; }), "0 x"},
        {changed([](auto &h) { h.HWResolution[1] = 0; }), "x 0 dpi"},
        {changed([](auto &h) { h.cupsBitsPerPixel = h.cupsBitsPerColor = 12; }), "12 bits per pixel"},
        {changed([](auto &h) { h.cupsColorOrder = CUPS_ORDER_PLANAR; }), "colour order 2"},
        {changed([](auto &h) { h.cupsWidth = h.cupsBytesPerLine = 2000000; }), "wider than any paper"},
        {pwg(good), "cut short: a page ends after 0 of its"},
    };
    for (const auto &[bytes, reason] : table) {
        SCOPED_TRACE(reason);
        quillet::app::MemoryInput input(bytes);
        quillet::app::RasterReader reader(input);
        std::vector<uint8_t> row(good.cupsBytesPerLine);
        const std::optional<quillet::app::RasterPageHeader> page = reader.next_page();
        EXPECT_FALSE(page && reader.read_row(row));
        EXPECT_NE(reader.failure().find(reason), std::string::npos) << reader.failure();
    }
}

}  // namespace
