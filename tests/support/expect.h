// What the printer should get for a raster page: the page padded to a
// multiple of 32 pixels, cut to the printable area at the known resolutions,
// and mirrored when the page asks for it.  Worked out here from the
// printable-area table, independently of the filter's own arithmetic.
#pragma once

#include "raster.h"
#include "stream.h"

namespace quillet::test {

struct PrintableArea {
    int maxW, maxH, margin;
};
PrintableArea printable_area(unsigned dpi);  // 300, 600 or 1200

Bitmap expected_image(const RasterPage &page);

// How far a page is from another page turned 180 degrees (turned false: as
// it is), over its first width pixels: the ink of 32-pixel blocks compared,
// since halftone screens stay on the device grid when a page is turned.
double page_distance(const Bitmap &a, const Bitmap &b, unsigned width, bool turned);

}  // namespace quillet::test
