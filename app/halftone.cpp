#include "halftone.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace quillet::app {

namespace {

using Matrix = std::array<std::array<uint8_t, 16>, 16>;

// Ranks (0 first to ink) of a tile of side `side` (8 or 16) tiled over 16 x
// 16: round dots centred on the tile's corners and middle, a 45-degree
// grid, ranked by how much nearer a dot's centre a pixel is than a gap's,
// so that dots grow round and the last white gaps close round too.
std::array<unsigned, 256> clustered_ranks(unsigned side)
{
    const double half = side / 2.0;
    auto nearest = [&](double x, double y, std::initializer_list<std::array<double, 2>> centres) {
        double best = 1e9;
        for (const auto &c : centres)
            best = std::min(best, std::hypot(x - c[0], y - c[1]));
        return best;
    };
    const unsigned pixels = side * side;
    std::array<double, 256> key{};
    for (unsigned y = 0; y < side; y++)
        for (unsigned x = 0; x < side; x++) {
            const double px = x + 0.5, py = y + 0.5, s = side;
            const double dot = nearest(px, py, {{0, 0}, {s, 0}, {0, s}, {s, s}, {half, half}});
            const double gap = nearest(px, py, {{half, 0}, {0, half}, {s, half}, {half, s}});
            key[y * side + x] = dot - gap;
        }
    std::array<unsigned, 256> order{};
    std::iota(order.begin(), order.begin() + pixels, 0u);
    std::stable_sort(order.begin(), order.begin() + pixels, [&](unsigned a, unsigned b) { return key[a] < key[b]; });
    std::array<unsigned, 256> rank{};
    for (unsigned r = 0; r < pixels; r++)
        rank[order[r]] = r;
    return rank;
}

Matrix clustered(unsigned side)
{
    const std::array<unsigned, 256> rank = clustered_ranks(side);
    const double pixels = side * side;
    Matrix m{};
    for (unsigned y = 0; y < 16; y++)
        for (unsigned x = 0; x < 16; x++) {
            // The pixel ranked r inks once the darkness passes (r + 1/2) of
            // 255 in `pixels` steps: the share of dots follows the grey.
            const double level = 255.0 - (rank[(y % side) * side + x % side] + 0.5) * 255.0 / pixels;
            m[y][x] = static_cast<uint8_t>(std::clamp(std::lround(level), 1l, 255l));
        }
    return m;
}

// Bayer's ordered dither: every grey of 256 spread as evenly as 16 x 16
// dots allow.
Matrix dispersed()
{
    Matrix m{};
    for (unsigned y = 0; y < 16; y++)
        for (unsigned x = 0; x < 16; x++) {
            unsigned v = 0, xy = x ^ y;
            for (unsigned bit = 0; bit < 4; bit++) {
                v |= ((xy >> bit) & 1u) << (7 - 2 * bit);
                v |= ((y >> bit) & 1u) << (6 - 2 * bit);
            }
            m[y][x] = static_cast<uint8_t>(1 + v * 254 / 255);
        }
    return m;
}

}  // namespace

Screen::Screen(Halftone halftone, unsigned resolution)
{
    switch (halftone) {
    case Halftone::threshold:
        for (auto &row : thresholds_)
            row.fill(128);
        break;
    case Halftone::screen: thresholds_ = clustered(resolution >= 1200 ? 16 : 8); break;
    case Halftone::dither: thresholds_ = dispersed(); break;
    }
    for (unsigned y = 0; y < 16; y++)
        for (unsigned grey = 0; grey < 256; grey++) {
            unsigned dots = 0;
            for (unsigned x = 0; x < 16; x++)
                dots |= static_cast<unsigned>(grey < thresholds_[y][x]) << (15 - x);
            dots_[y][grey] = static_cast<uint16_t>(dots);
        }
}

void grey_to_black(std::span<const uint8_t> grey, unsigned y, const Screen &screen, std::span<uint8_t> black,
                   bool ink_is_high)
{
    // Eight pixels to a byte, without branches, so that the compiler can
    // work on many at once.
    const std::array<uint8_t, 16> &thresholds = screen.thresholds(y);
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

void add_run(std::span<uint8_t> black, size_t from, size_t count, uint16_t dots)
{
    if (count == 0 || dots == 0)
        return;
    const size_t last = from + count - 1;
    const uint8_t even = static_cast<uint8_t>(dots >> 8), odd = static_cast<uint8_t>(dots);
    const uint8_t head = static_cast<uint8_t>(0xffu >> (from % 8));
    const uint8_t tail = static_cast<uint8_t>(0xffu << (7 - last % 8));
    const size_t first_byte = from / 8, last_byte = last / 8;
    auto pattern = [&](size_t byte) { return byte % 2 ? odd : even; };
    if (first_byte == last_byte) {
        black[first_byte] |= pattern(first_byte) & head & tail;
        return;
    }
    black[first_byte] |= pattern(first_byte) & head;
    for (size_t byte = first_byte + 1; byte < last_byte; byte++)
        black[byte] = pattern(byte);
    black[last_byte] |= pattern(last_byte) & tail;
}

void copy_dots(std::span<const uint8_t> from, size_t first, size_t count, std::span<uint8_t> to)
{
    count = std::min({count, to.size() * 8, from.size() * 8 - std::min(first, from.size() * 8)});
    const size_t bytes = (count + 7) / 8, shift = first % 8;
    const uint8_t *source = from.data() + first / 8;
    const size_t available = from.size() - first / 8;
    for (size_t at = 0; at < bytes; at++) {
        unsigned byte = source[at];
        if (shift)
            byte = (byte << shift) | (at + 1 < available ? source[at + 1] >> (8 - shift) : 0u);
        to[at] = static_cast<uint8_t>(byte);
    }
    if (count % 8)
        to[bytes - 1] &= static_cast<uint8_t>(0xff00u >> (count % 8));
    std::fill(to.begin() + static_cast<ptrdiff_t>(bytes), to.end(), 0);
}

namespace {

// The ink a line's pixels across it must hold together (a pixel's worth is
// 255) to print as an unbroken line: fainter lines are screened as the
// greys they are.
constexpr int faintest_line = 96;

// Whether a pixel of ink `ink` is the middle of a line at most two pixels
// across, given the ink of the two pixels before it and the two after it
// across the line: the darkest of the line's pixels (the later of two
// equal ones), with the ink falling to a quarter of its own within two
// pixels on both sides.
bool middle_of_thin_line(int ink, int before, int before2, int after, int after2)
{
    if (ink < before || ink <= after)
        return false;
    const int light = ink / 4;
    int partner = 0;  // the line's other pixel, if any
    if (before <= light && after <= light)
        partner = 0;
    else if (before <= light && after2 <= light)
        partner = after;
    else if (after <= light && before2 <= light)
        partner = before;
    else
        return false;
    return ink + partner >= faintest_line;
}

}  // namespace

void keep_thin_lines(const RowsAround &rows, size_t width, size_t from, size_t count, bool along_row,
                     bool ink_is_high, std::span<uint8_t> black)
{
    const uint8_t to_ink = ink_is_high ? 0 : 0xff;
    const uint8_t *here = rows[2];
    const size_t end = std::min({from + count, width, black.size() * 8});
    if (from >= end)
        return;
    // Where the rows above and below are the same as this one, no pixel is
    // the middle of a line across the rows (a flat grey, mostly).
    const size_t span = end - from;
    const bool down = std::memcmp(rows[1] + from, here + from, span) != 0 ||
                      std::memcmp(rows[3] + from, here + from, span) != 0;
    if (!down && !along_row)
        return;
    auto along = [&](size_t x, long offset) {
        const long at = long(x) + offset;
        return at >= 0 && size_t(at) < width ? int(here[at] ^ to_ink) : 0;
    };
    for (size_t x = from; x < end; x++) {
        const int ink = here[x] ^ to_ink;
        if (!may_be_thin_line(ink))
            continue;
        if ((down && middle_of_thin_line(ink, rows[1][x] ^ to_ink, rows[0][x] ^ to_ink, rows[3][x] ^ to_ink,
                                         rows[4][x] ^ to_ink)) ||
            (along_row && middle_of_thin_line(ink, along(x, -1), along(x, -2), along(x, 1), along(x, 2))))
            black[x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
    }
}

std::string ghostscript_halftone(const Screen &screen)
{
    // Ghostscript inks a pixel when its grey is below the threshold, as
    // grey_to_black does.  Set as the Default resource, the halftone
    // outlives every setpagedevice and PDF page; the transfer undoes the
    // lightening Ghostscript gives 1-bit devices by default.
    static constexpr char hex[] = "0123456789abcdef";
    std::string thresholds;
    for (unsigned y = 0; y < 16; y++)
        for (const uint8_t threshold : screen.thresholds(y)) {
            thresholds += hex[threshold >> 4];
            thresholds += hex[threshold & 15];
        }
    return "/Default << /HalftoneType 3 /Width 16 /Height 16 /Thresholds <" + thresholds +
           "> >> /Halftone defineresource sethalftone {} settransfer";
}

}  // namespace quillet::app
