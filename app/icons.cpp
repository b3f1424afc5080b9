#include "icons.h"

#include <png.h>

namespace quillet::app {

std::vector<uint8_t> icon_png(unsigned size)
{
    // Grey and alpha per pixel, on a 16 x 16 grid scaled to size.
    std::vector<uint8_t> pixels(size_t{size} * size * 2, 0);
    auto fill = [&](double left, double top, double right, double bottom, uint8_t grey) {
        for (unsigned y = unsigned(top * size / 16); y < unsigned(bottom * size / 16); y++)
            for (unsigned x = unsigned(left * size / 16); x < unsigned(right * size / 16); x++) {
                pixels[(size_t{y} * size + x) * 2] = grey;
                pixels[(size_t{y} * size + x) * 2 + 1] = 255;
            }
    };
    fill(4, 1, 12, 6, 250);      // the sheet waiting at the back
    fill(1, 5, 15, 12, 60);      // the printer
    fill(2, 6.5, 14, 7.5, 120);  // its paper slot
    fill(4, 9, 12, 15, 250);     // the printed sheet
    for (double line : {10.5, 12.0, 13.5})
        fill(5, line, 11, line + 0.5, 40);  // text on it

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = size;
    image.height = size;
    image.format = PNG_FORMAT_GA;
    png_alloc_size_t length = 0;
    if (!png_image_write_to_memory(&image, nullptr, &length, 0, pixels.data(), 0, nullptr))
        return {};
    std::vector<uint8_t> png(length);
    if (!png_image_write_to_memory(&image, png.data(), &length, 0, pixels.data(), 0, nullptr))
        return {};
    png.resize(length);
    return png;
}

}  // namespace quillet::app
