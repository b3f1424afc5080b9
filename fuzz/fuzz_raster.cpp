// libFuzzer harness: arbitrary bytes through the application's PWG and
// Apple raster reader, rows read as sent and as black in turn.
#include <cstdint>
#include <vector>

#include "raster_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using quillet::app::BlackRows, quillet::app::Halftone, quillet::app::Screen;
    static const BlackRows ways[] = {{Screen(Halftone::screen), false}, {Screen(Halftone::dither, 1200), true},
                                     {Screen(Halftone::threshold), false}};
    quillet::app::MemoryInput input({data, size});
    quillet::app::RasterReader reader(input);
    std::vector<uint8_t> row;
    while (const std::optional<quillet::app::RasterPageHeader> page = reader.next_page()) {
        // The application refuses a page far larger than any paper before
        // it reads a row; so does this.
        if (uint64_t{page->bytes_per_line} * page->height > (uint64_t{1} << 24))
            break;
        row.resize(page->bytes_per_line);
        const bool black = page->bits_per_pixel == 1 || page->bits_per_pixel == 8;
        for (unsigned y = 0; y < page->height; y++) {
            const bool read = black && y % 3 ? reader.read_black_row(row, ways[y / 3 % 3], y)
                                             : reader.read_row(row);
            if (!read)
                return 0;
        }
    }
    return 0;
}
