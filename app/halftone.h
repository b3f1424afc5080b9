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

// PostScript that makes Ghostscript print greys with this screen, exactly
// as grey_to_black would: its thresholds as the default halftone, and no
// lightening of greys.
std::string ghostscript_halftone(const Screen &screen);

}  // namespace quillet::app
