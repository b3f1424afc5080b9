#include "raster_reader.h"

#include <cups/raster.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace quillet::app {

ptrdiff_t MemoryInput::read(std::span<uint8_t> room)
{
    const size_t count = std::min(room.size(), bytes_.size());
    std::copy_n(bytes_.begin(), count, room.begin());
    bytes_ = bytes_.subspan(count);
    return static_cast<ptrdiff_t>(count);
}

ptrdiff_t FileInput::read(std::span<uint8_t> room)
{
    for (;;) {
        const ssize_t got = ::read(fd_, room.data(), room.size());
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool zero_is_black(unsigned color_space)
{
    switch (color_space) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SW:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_RGBW:
    case CUPS_CSPACE_ADOBERGB: return true;
    default: return false;
    }
}

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

// Sets bits [from, from + count) of a row.
void set_bits(uint8_t *bits, size_t from, size_t count)
{
    const size_t last = from + count - 1;
    const uint8_t head = static_cast<uint8_t>(0xffu >> (from % 8));
    const uint8_t tail = static_cast<uint8_t>(0xffu << (7 - last % 8));
    if (from / 8 == last / 8) {
        bits[from / 8] |= head & tail;
        return;
    }
    bits[from / 8] |= head;
    std::memset(bits + from / 8 + 1, 0xff, last / 8 - from / 8 - 1);
    bits[last / 8] |= tail;
}

}  // namespace

// An ordered dither matrix of thresholds 1 to 255: a pixel is black when
// its grey is below the threshold.
static constexpr std::array<std::array<uint8_t, 16>, 16> dither_matrix = [] {
    std::array<std::array<uint8_t, 16>, 16> m{};
    for (unsigned y = 0; y < 16; y++)
        for (unsigned x = 0; x < 16; x++) {
            unsigned v = 0, xy = x ^ y;
            for (unsigned bit = 0; bit < 4; bit++) {
                v |= ((xy >> bit) & 1u) << (7 - 2 * bit);
                v |= ((y >> bit) & 1u) << (6 - 2 * bit);
            }
            m[y][x] = static_cast<uint8_t>(1 + v * 254 / 255);  // 0..255 -> 1..255
        }
    return m;
}();

void grey_to_black(std::span<const uint8_t> grey, unsigned y, bool dither, std::span<uint8_t> black, bool ink_is_high)
{
    // Eight pixels to a byte, without branches, so that the compiler can
    // work on many at once.
    std::array<uint8_t, 16> thresholds;
    thresholds.fill(128);
    if (dither)
        thresholds = dither_matrix[y % 16];
    const uint8_t flip = ink_is_high ? 0xff : 0;
    const size_t pixels = std::min(grey.size(), black.size() * 8);
    const size_t whole = pixels / 8;
    for (size_t at = 0; at < whole; at++) {
        const uint8_t *eight = grey.data() + at * 8;
        const uint8_t *threshold = thresholds.data() + (at % 2) * 8;
        unsigned byte = 0;
        for (unsigned bit = 0; bit < 8; bit++)
            byte |= static_cast<unsigned>((eight[bit] ^ flip) < threshold[bit]) << (7 - bit);
        black[at] = static_cast<uint8_t>(byte);
    }
    std::fill(black.begin() + static_cast<ptrdiff_t>(whole), black.end(), 0);
    for (size_t x = whole * 8; x < pixels; x++)
        if ((grey[x] ^ flip) < thresholds[x % 16])
            black[x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
}

bool RasterReader::fail(std::string why)
{
    if (failure_.empty())
        failure_ = std::move(why);
    ended_ = true;
    page_open_ = false;
    return false;
}

bool RasterReader::fill()
{
    if (ended_)
        return false;
    if (at_ < end_)
        return true;
    const ptrdiff_t got = input_.read(buffer_);
    if (got < 0)
        return fail("the document could not be read");
    at_ = 0;
    end_ = static_cast<size_t>(got);
    return got > 0;
}

bool RasterReader::byte(uint8_t &value)
{
    if (at_ == end_ && !fill())
        return false;
    value = buffer_[at_++];
    return true;
}

bool RasterReader::bytes(uint8_t *to, size_t count)
{
    while (count) {
        if (at_ == end_ && !fill())
            return false;
        const size_t step = std::min(count, end_ - at_);
        std::memcpy(to, buffer_.data() + at_, step);
        at_ += step;
        to += step;
        count -= step;
    }
    return true;
}

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
    black_.assign((page.width + 7) / 8, 0);
    black_current_ = false;
    return page;
}

bool RasterReader::start_row(bool &decode)
{
    if (!page_open_ || rows_left_ == 0)
        return fail("a page was read past its last row");
    rows_left_--;
    if (repeats_left_) {
        repeats_left_--;
        decode = false;
        return true;
    }
    uint8_t repeat = 0;
    if (!byte(repeat))
        return fail("the document is cut short: a page ends after " +
                    std::to_string(page_.height - rows_left_ - 1) + " of its " + std::to_string(page_.height) +
                    " rows");
    // A row's copies end with its page.
    repeats_left_ = std::min<unsigned>(repeat, rows_left_);
    decode = true;
    return true;
}

// One row, as sent (libcups's modified PackBits): a count of 0 to 127
// repeats the next pixel 1 to 128 times; 129 to 255 is followed by 128 to
// 2 literal pixels; 128 makes the rest of the row white.  A run longer
// than the rest of the row ends with the row.
bool RasterReader::decode_row(std::span<uint8_t> row)
{
    const size_t length = row.size();
    const uint8_t white = zero_is_black(page_.color_space) ? 0xff : 0x00;
    auto cut = [&] { return fail("the document is cut short in the middle of a row"); };
    for (size_t x = 0; x < length;) {
        uint8_t count = 0;
        if (!byte(count))
            return cut();
        if (count == 128) {
            std::memset(row.data() + x, white, length - x);
            break;
        }
        if (count & 128) {
            const size_t literal = std::min<size_t>(size_t{257u - count} * pixel_bytes_, length - x);
            if (!bytes(row.data() + x, literal))
                return cut();
            x += literal;
            continue;
        }
        const size_t repeated = std::min<size_t>(size_t{count + 1u} * pixel_bytes_, length - x);
        if (!bytes(row.data() + x, pixel_bytes_))
            return cut();
        if (pixel_bytes_ == 1) {
            std::memset(row.data() + x + 1, row[x], repeated - 1);
        } else {
            for (size_t copy = pixel_bytes_; copy < repeated; copy += pixel_bytes_)
                std::memcpy(row.data() + x + copy, row.data() + x, pixel_bytes_);
        }
        x += repeated;
    }
    return true;
}

// An 8-bit grey row thresholded as it is decoded: a repeated grey once for
// its whole run.
bool RasterReader::threshold_row(std::span<uint8_t> bits, bool ink_is_high)
{
    std::fill(bits.begin(), bits.end(), 0);
    const size_t width = page_.width;
    const uint8_t flip = ink_is_high ? 0xff : 0;
    const uint8_t rest = zero_is_black(page_.color_space) ? 0xff : 0x00;
    auto cut = [&] { return fail("the document is cut short in the middle of a row"); };
    std::array<uint8_t, 128> literal{};
    for (size_t x = 0; x < width;) {
        uint8_t count = 0;
        if (!byte(count))
            return cut();
        if (count == 128) {
            // The rest of the row white, as the colour space has it.
            if ((rest ^ flip) < 128)
                set_bits(bits.data(), x, width - x);
            break;
        }
        if (count & 128) {
            const size_t pixels = std::min<size_t>(257u - count, width - x);
            if (!bytes(literal.data(), pixels))
                return cut();
            for (size_t i = 0; i < pixels; i++, x++)
                bits[x / 8] |= static_cast<uint8_t>(((literal[i] ^ flip) < 128) << (7 - x % 8));
            continue;
        }
        const size_t pixels = std::min<size_t>(count + 1u, width - x);
        uint8_t grey = 0;
        if (!byte(grey))
            return cut();
        if ((grey ^ flip) < 128)
            set_bits(bits.data(), x, pixels);
        x += pixels;
    }
    return true;
}

bool RasterReader::read_row(std::span<uint8_t> row)
{
    bool decode = false;
    if (!start_row(decode))
        return false;
    if (decode) {
        if (!decode_row(row_))
            return false;
        black_current_ = false;
    }
    std::copy_n(row_.begin(), std::min(row.size(), row_.size()), row.begin());
    return true;
}

bool RasterReader::read_black_row(std::span<uint8_t> bits, const BlackRows &how, unsigned y)
{
    const bool grey = page_.bits_per_pixel == 8;
    if (!grey && page_.bits_per_pixel != 1)
        return fail("a page of " + std::to_string(page_.bits_per_pixel) + "-bit pixels was read as black");
    bits = bits.first(std::min(bits.size(), black_.size()));
    bool decode = false;
    if (!start_row(decode))
        return false;
    if (grey && !how.dither) {
        // Thresholded rows are kept as bits: a copy of a row costs a copy.
        if (decode) {
            if (!threshold_row(black_, how.ink_is_high))
                return false;
            black_current_ = true;
        } else if (!black_current_) {
            grey_to_black(row_, y, false, black_, how.ink_is_high);
            black_current_ = true;
        }
        std::copy(black_.begin(), black_.begin() + static_cast<ptrdiff_t>(bits.size()), bits.begin());
        return true;
    }
    if (decode) {
        if (!decode_row(row_))
            return false;
        black_current_ = false;
    }
    if (grey) {
        grey_to_black(row_, y, how.dither, bits, how.ink_is_high);
        return true;
    }
    std::copy_n(row_.begin(), bits.size(), bits.begin());
    if (const unsigned spare = page_.width % 8; spare && bits.size() == black_.size())
        bits.back() &= static_cast<uint8_t>(0xffu << (8 - spare));
    return true;
}

}  // namespace quillet::app
