#include "raster.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "files.h"

namespace quillet::test {

cups_page_header2_t make_header(unsigned width, unsigned height, unsigned resX, unsigned resY)
{
    cups_page_header2_t h{};
    strcpy(h.MediaClass, "PwgRaster");
    h.HWResolution[0] = resX;
    h.HWResolution[1] = resY;
    h.PageSize[0] = resX ? width * 72 / resX : 0;
    h.PageSize[1] = resY ? height * 72 / resY : 0;
    h.NumCopies = 1;
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = 1;
    h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = (width + 7) / 8;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;
    h.cupsCompression = 4;
    return h;
}

RasterPage make_page(unsigned width, unsigned height, Fill fill, unsigned resX, unsigned resY, uint32_t seed)
{
    RasterPage page;
    page.header = make_header(width, height, resX, resY);
    page.rows.assign(size_t(page.bpl()) * height, 0);
    std::mt19937 rng(seed);
    for (unsigned y = 0; y < height; y++) {
        uint8_t *r = page.row(y);
        for (unsigned i = 0; i < page.bpl(); i++) {
            switch (fill) {
            case Fill::Blank: r[i] = 0; break;
            case Fill::Black: r[i] = 0xff; break;
            case Fill::Noise: r[i] = uint8_t(rng()); break;
            case Fill::Stripes: r[i] = (y / 8 + i / 4) % 3 == 0 ? 0xf0 : 0x00; break;
            }
        }
        // Bits past the width stay clear, as a renderer leaves them.
        if (width % 8)
            r[page.bpl() - 1] &= uint8_t(0xff << (8 - width % 8));
    }
    return page;
}

std::vector<uint8_t> raster_bytes(const std::vector<RasterPage> &pages, bool compressed)
{
    TempDir dir;
    std::string path = dir.path() + "/pages.ras";
    write_raster(path, pages, compressed);
    return read_file(path);
}

void write_raster(const std::string &path, const std::vector<RasterPage> &pages, bool compressed)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    cups_raster_t *ras = cupsRasterOpen(fd, compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    if (!ras)
        throw std::runtime_error("cupsRasterOpen failed");
    for (const RasterPage &page : pages) {
        cups_page_header2_t h = page.header;
        if (!cupsRasterWriteHeader2(ras, &h))
            throw std::runtime_error("cupsRasterWriteHeader2 failed");
        if (!page.rows.empty() &&
            cupsRasterWritePixels(ras, const_cast<uint8_t *>(page.rows.data()), unsigned(page.rows.size())) == 0)
            throw std::runtime_error("cupsRasterWritePixels failed");
    }
    cupsRasterClose(ras);
    close(fd);
}

std::vector<uint8_t> raw_raster(const std::vector<std::pair<cups_page_header2_t, std::vector<uint8_t>>> &pages)
{
    const uint32_t sync = CUPS_RASTER_SYNC;  // "RaS3" in host byte order
    size_t size = sizeof sync;
    for (const auto &page : pages)
        size += sizeof page.first + page.second.size();
    std::vector<uint8_t> out(size);
    size_t at = 0;
    auto put = [&](const void *bytes, size_t n) {
        if (n)
            memcpy(out.data() + at, bytes, n);
        at += n;
    };
    put(&sync, sizeof sync);
    for (const auto &[header, data] : pages) {
        put(&header, sizeof header);
        put(data.data(), data.size());
    }
    return out;
}

std::vector<RasterPage> read_raster(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    std::vector<RasterPage> pages;
    RasterPage page;
    while (cupsRasterReadHeader2(ras, &page.header)) {
        page.rows.assign(size_t(page.bpl()) * page.height(), 0);
        for (unsigned y = 0; y < page.height(); y++)
            if (cupsRasterReadPixels(ras, page.row(y), page.bpl()) == 0)
                break;
        pages.push_back(page);
    }
    cupsRasterClose(ras);
    close(fd);
    return pages;
}

}  // namespace quillet::test
