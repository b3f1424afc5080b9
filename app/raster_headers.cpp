// The start of a raster stream and each page's header: PWG and Apple
// raster as clients send them, CUPS raster from the command line; what the
// printer cannot take refused with the reason.
#include <cups/raster.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "raster_reader.h"

namespace quillet::app {

namespace {

// A PWG page header is the library's own page header, each number four
// bytes in the stream's byte order.
constexpr size_t pwg_header_bytes = sizeof(cups_page_header2_t);
constexpr size_t apple_header_bytes = 32;
static_assert(pwg_header_bytes == 1796, "the PWG page header is 1796 bytes");

uint32_t number(const uint8_t *bytes, bool big_endian)
{
    if (big_endian)
        return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    return uint32_t{bytes[3]} << 24 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[1]} << 8 | bytes[0];
}

// Apple raster's colour spaces, in libcups's numbering.
struct AppleColorSpace {
    unsigned cups;
    unsigned colors;
};
constexpr std::array<AppleColorSpace, 7> apple_color_spaces = {{{CUPS_CSPACE_SW, 1},
                                                                {CUPS_CSPACE_SRGB, 3},
                                                                {CUPS_CSPACE_CIELab, 3},
                                                                {CUPS_CSPACE_ADOBERGB, 3},
                                                                {CUPS_CSPACE_W, 1},
                                                                {CUPS_CSPACE_RGB, 3},
                                                                {CUPS_CSPACE_CMYK, 4}}};

}  // namespace

std::optional<RasterPageHeader> RasterReader::next_page()
{
    // The rest of the page before, unread.
    for (bool decode = false; page_open_ && rows_left_;)
        if (!start_row(decode) || (decode && !decode_row(row_)))
            return std::nullopt;
    page_open_ = false;
    if (ended_)
        return std::nullopt;
    auto cut_short = [&] {
        fail("the document is cut short in a page header");
        return std::nullopt;
    };
    if (!stream_started_) {
        std::array<uint8_t, 4> sync{};
        if (!bytes(sync.data(), sync.size())) {
            if (failure_.empty())
                fail("the document is empty");
            return std::nullopt;
        }
        stream_started_ = true;
        const std::string_view word(reinterpret_cast<const char *>(sync.data()), sync.size());
        if (word == "RaS2" || word == "2SaR") {
            big_endian_ = word == "RaS2";
        } else if (word == "UNIR") {
            std::array<uint8_t, 8> rest{};
            if (!bytes(rest.data(), rest.size()))
                return cut_short();
            if (std::memcmp(rest.data(), "AST", 4) != 0) {
                fail("the document is neither PWG raster nor Apple raster");
                return std::nullopt;
            }
            apple_ = true;
        } else {
            fail("the document is neither PWG raster nor Apple raster");
            return std::nullopt;
        }
    }

    // A clean end: no byte of another page.
    if (at_ == end_ && !fill()) {
        ended_ = true;
        return std::nullopt;
    }
    RasterPageHeader page;
    unsigned bits_per_color = 0, color_order = 0;
    if (apple_) {
        std::array<uint8_t, apple_header_bytes> raw{};
        if (!bytes(raw.data(), raw.size()))
            return cut_short();
        page.bits_per_pixel = raw[0];
        const AppleColorSpace space =
            raw[1] < apple_color_spaces.size() ? apple_color_spaces[raw[1]] : AppleColorSpace{CUPS_CSPACE_DEVICE1, 1};
        page.color_space = space.cups;
        bits_per_color = page.bits_per_pixel / space.colors;
        page.width = number(&raw[12], true);
        page.height = number(&raw[16], true);
        page.resolution_x = page.resolution_y = number(&raw[20], true);
        page.bytes_per_line = static_cast<unsigned>(uint64_t{page.width} * page.bits_per_pixel / 8);
        page.duplex = raw[2] >= 2;
        page.tumble = raw[2] == 2;
    } else {
        std::vector<uint8_t> raw(pwg_header_bytes);
        if (!bytes(raw.data(), raw.size()))
            return cut_short();
        auto field = [&](size_t offset) { return number(&raw[offset], big_endian_); };
        page.width = field(offsetof(cups_page_header2_t, cupsWidth));
        page.height = field(offsetof(cups_page_header2_t, cupsHeight));
        page.resolution_x = field(offsetof(cups_page_header2_t, HWResolution));
        page.resolution_y = field(offsetof(cups_page_header2_t, HWResolution) + 4);
        page.bits_per_pixel = field(offsetof(cups_page_header2_t, cupsBitsPerPixel));
        bits_per_color = field(offsetof(cups_page_header2_t, cupsBitsPerColor));
        page.color_space = field(offsetof(cups_page_header2_t, cupsColorSpace));
        color_order = field(offsetof(cups_page_header2_t, cupsColorOrder));
        page.bytes_per_line = field(offsetof(cups_page_header2_t, cupsBytesPerLine));
        page.total_pages = field(offsetof(cups_page_header2_t, cupsInteger) + 4 * CUPS_RASTER_PWG_TotalPageCount);
        page.duplex = field(offsetof(cups_page_header2_t, Duplex)) != 0;
        page.tumble = field(offsetof(cups_page_header2_t, Tumble)) != 0;
    }

    // Rows of chunked pixels, each pixel a whole number of bytes or 1 bit.
    const unsigned bits = page.bits_per_pixel;
    const bool whole_bytes = bits % 8 == 0 && bits > 0 && bits <= 64;
    if (color_order != CUPS_ORDER_CHUNKED || !(bits == 1 || whole_bytes) || bits_per_color == 0 ||
        bits_per_color > 16) {
        fail("a page header is malformed: " + std::to_string(bits) + " bits per pixel, " +
             std::to_string(bits_per_color) + " per colour, colour order " + std::to_string(color_order));
        return std::nullopt;
    }
    if (page.width == 0 || page.height == 0 || page.resolution_x == 0 || page.resolution_y == 0) {
        fail("a page header is malformed: a page of " + std::to_string(page.width) + " x " +
             std::to_string(page.height) + " pixels at " + std::to_string(page.resolution_x) + " x " +
             std::to_string(page.resolution_y) + " dpi");
        return std::nullopt;
    }
    const uint64_t row_bytes = (uint64_t{page.width} * bits + 7) / 8;
    if (row_bytes != page.bytes_per_line) {
        fail("a page header is malformed: " + std::to_string(page.bytes_per_line) + " bytes per row for " +
             std::to_string(page.width) + " pixels of " + std::to_string(bits) + " bits");
        return std::nullopt;
    }
    if (row_bytes > max_bytes_per_line) {
        fail("a page is " + std::to_string(page.width) + " pixels wide, far wider than any paper");
        return std::nullopt;
    }
    page_ = page;
    page_open_ = true;
    pixel_bytes_ = std::max(bits / 8, 1u);
    rows_left_ = page.height;
    repeats_left_ = 0;
    row_.assign(page.bytes_per_line, 0);
    rows_decoded_ = rows_given_ = 0;
    const uint8_t white = zero_is_black(page.color_space) ? 0xff : 0x00;
    blank_ = std::make_shared<GreyRow>(
        GreyRow{{{0, page.width, false, white}}, std::vector<uint8_t>(page.width, white), false, true});
    return page;
}

}  // namespace quillet::app
