// Greys made into the printer's black dots.
//
// A laser prints a cluster of dots far more evenly than a lone one, so
// greys are printed by default as an ordered, clustered-dot screen: round
// dots on a 45-degree grid that grow with the grey until they join, about
// 106 lines an inch at 600 and 1200 dpi (53 at 300 dpi).  Photos may ask
// for an ordered dispersed-dot dither instead (finer detail, every grey of
// 256); text alone for a threshold at half (the crispest edges, no grey).
// Each is a 16 x 16 matrix of thresholds tiled from the page's top left
// corner, so a run of one grey is one precomputed 16-dot pattern a row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quillet::app {

enum class Halftone : uint8_t {
    threshold,  // black below half grey
    screen,     // clustered dots: greys for a laser
    dither,     // dispersed dots: photos' detail
};

class Screen {
public:
    explicit Screen(Halftone halftone = Halftone::screen, unsigned resolution = 600);
    // Row y's 16 thresholds (1 to 255): a pixel is black when its grey (0
    // black, 255 white) is below its threshold, so white never prints a dot
    // and black always does.
    const std::array<uint8_t, 16> &thresholds(unsigned y) const { return thresholds_[y % 16]; }
    // The dots one grey makes on 16 pixels of row y that start at a
    // multiple of 16, the first pixel in the top bit.
    uint16_t dots(unsigned y, uint8_t grey) const { return dots_[y % 16][grey]; }

private:
    std::array<std::array<uint8_t, 16>, 16> thresholds_{};
    std::array<std::array<uint16_t, 256>, 16> dots_{};
};

// 8-bit grey (0 black, 255 white) to 1-bit black, most significant bit
// leftmost, y the row's number on the page.  ink_is_high reads 255 as
// black (colour space K).
void grey_to_black(std::span<const uint8_t> grey, unsigned y, const Screen &screen, std::span<uint8_t> black,
                   bool ink_is_high = false);

// Adds to a row of black, cleared where the run lies, the dots of a run of
// one grey over pixels [from, from + count), dots as Screen::dots gives
// them for its row.
void add_run(std::span<uint8_t> black, size_t from, size_t count, uint16_t dots);

// Copies count pixels of a row of black from pixel first on, to the start
// of to; the rest of to is cleared.
void copy_dots(std::span<const uint8_t> from, size_t first, size_t count, std::span<uint8_t> to);

// Lines thinner than a pixel or two arrive as faint greys from clients
// that smooth edges, and a screen breaks them into dashes or leaves them
// out.  The middle pixel of such a line, across it, prints black, so that
// the line stays whole with about the ink it had; flat greys, the edges of
// larger shapes, anything wider than two pixels and lines fainter than
// about two fifths of a pixel's ink are left to the screen.
//
// The 8-bit rows (0 black, 255 white; ink_is_high: 255 black) from two
// before a row to two after it, a white row beyond the page.
using RowsAround = std::array<const uint8_t *, 5>;
// Whether a pixel of this ink (0 white, 255 black) may be part of a thin
// line that the screen would not print whole.
constexpr bool may_be_thin_line(int ink)
{
    return ink >= 32 && ink < 255;
}
// Sets in black, the middle row's 1-bit row, the middle pixel of every
// thin line among pixels [from, from + count) of that row: lines across
// the rows, and with along_row lines across the row too (none can be in a
// run of one grey three or more wide).  width: the rows' pixels.
void keep_thin_lines(const RowsAround &rows, size_t width, size_t from, size_t count, bool along_row,
                     bool ink_is_high, std::span<uint8_t> black);

// PostScript that makes Ghostscript print greys with this screen, exactly
// as grey_to_black would: its thresholds as the default halftone, and no
// lightening of greys.
std::string ghostscript_halftone(const Screen &screen);

}  // namespace quillet::app
