// Test rasters: 1-bit CUPS raster pages built in memory and written with the
// raster library, or written byte for byte for headers that the library's
// writer would not produce.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace quillet::test {

struct RasterPage {
    cups_page_header2_t header{};
    std::vector<uint8_t> rows;  // cupsHeight rows of cupsBytesPerLine bytes

    unsigned width() const { return header.cupsWidth; }
    unsigned height() const { return header.cupsHeight; }
    unsigned bpl() const { return header.cupsBytesPerLine; }
    uint8_t *row(unsigned y) { return rows.data() + size_t(y) * bpl(); }
    const uint8_t *row(unsigned y) const { return rows.data() + size_t(y) * bpl(); }
    bool pixel(unsigned x, unsigned y) const { return (row(y)[x / 8] >> (7 - x % 8)) & 1; }
    void set(unsigned x, unsigned y) { row(y)[x / 8] |= uint8_t(0x80 >> (x % 8)); }
};

// A valid header for a 1-bit black page of width x height pixels.
cups_page_header2_t make_header(unsigned width, unsigned height, unsigned resX = 600, unsigned resY = 600);

// Page contents.
enum class Fill { Blank, Black, Noise, Stripes };
RasterPage make_page(unsigned width, unsigned height, Fill fill, unsigned resX = 600, unsigned resY = 600,
                     uint32_t seed = 1);

// Writes pages with the raster library (compressed: version 2, else 3).
void write_raster(const std::string &path, const std::vector<RasterPage> &pages, bool compressed = true);
std::vector<uint8_t> raster_bytes(const std::vector<RasterPage> &pages, bool compressed = true);

// Writes a version 3 raster byte for byte: the sync word, the header as the
// library lays it out, then the given pixel bytes as they are.
std::vector<uint8_t> raw_raster(const std::vector<std::pair<cups_page_header2_t, std::vector<uint8_t>>> &pages);

// Reads every page of a raster file with the raster library.
std::vector<RasterPage> read_raster(const std::string &path);

}  // namespace quillet::test
