#include "expect.h"

#include <cstdlib>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quillet::test {

PrintableArea printable_area(unsigned dpi)
{
    switch (dpi) {
    case 300: return {2478, 3506, 70};
    case 600: return {4956, 7013, 141};
    case 1200: return {9912, 14027, 283};
    default: throw std::invalid_argument("no printable area known for " + std::to_string(dpi) + " dpi");
    }
}

Bitmap expected_image(const RasterPage &page)
{
    const cups_page_header2_t &h = page.header;
    // The width is limited at the horizontal resolution, the height at the
    // vertical one, which also gives the margin of a cut.
    const PrintableArea across = printable_area(h.HWResolution[0]), down = printable_area(h.HWResolution[1]);
    int rawW = int((page.width() + 31) & ~31u);
    int height = int(page.height());

    Bitmap b;
    if (rawW <= across.maxW && height <= down.maxH) {
        b.w = unsigned(rawW);
        b.h = unsigned(height);
    } else {
        b.w = unsigned(rawW > across.maxW ? (across.maxW - down.margin + 31) & ~31 : rawW);
        b.h = unsigned(height > down.maxH ? down.maxH - down.margin : height);
    }
    b.bits.assign(size_t(b.bpl()) * b.h, 0);
    size_t copy = std::min<size_t>(page.bpl(), b.bpl());
    for (unsigned y = 0; y < b.h; y++)
        memcpy(b.bits.data() + size_t(y) * b.bpl(), page.row(y), copy);

    if (h.cupsInteger[0]) {
        std::vector<uint8_t> row(b.bpl());
        for (unsigned y = 0; y < b.h; y++) {
            uint8_t *r = b.bits.data() + size_t(y) * b.bpl();
            std::fill(row.begin(), row.end(), 0);
            for (unsigned x = 0; x < b.w; x++)
                if ((r[x / 8] >> (7 - x % 8)) & 1) {
                    unsigned m = b.w - 1 - x;
                    row[m / 8] |= uint8_t(0x80 >> (m % 8));
                }
            std::copy(row.begin(), row.end(), r);
        }
    }
    return b;
}

double page_distance(const Bitmap &a, const Bitmap &b, unsigned width, bool turned)
{
    auto pixel = [](const Bitmap &m, unsigned x, unsigned y) { return (m.bits[y * m.bpl() + x / 8] >> (7 - x % 8)) & 1; };
    const unsigned block = 32;
    double distance = 0;
    for (unsigned by = 0; by + block <= a.h; by += block)
        for (unsigned bx = 0; bx + block <= width; bx += block) {
            int inkA = 0, inkB = 0;
            for (unsigned y = by; y < by + block; y++)
                for (unsigned x = bx; x < bx + block; x++) {
                    inkA += pixel(a, x, y);
                    inkB += turned ? pixel(b, width - 1 - x, b.h - 1 - y) : pixel(b, x, y);
                }
            distance += std::abs(inkA - inkB);
        }
    return distance;
}


}  // namespace quillet::test
