// Encodes a fixed table of synthetic pages through the encoding core and
// writes the stream and a listing of every page plan.  Built natively and for
// other architectures, the outputs must be identical byte for byte.
//
// Usage: encode_table STREAM LISTING
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "band_encoder.h"
#include "page_document.h"
#include "page_plan.h"
#include "record_writer.h"

namespace {

// A page: what it asks of the printer and its rows.
struct PageHeader {
    quillet::PrintSettings settings;
    quillet::RasterGeometry raster;
};

// Row contents from a fixed-width generator, the same on every host.
struct Rows {
    uint32_t state;
    uint8_t next()
    {
        state = state * 1103515245u + 12345u;
        return static_cast<uint8_t>(state >> 16);
    }
};

enum class Content { Blank, Stripes, Noise, Frame };

void fill_row(std::vector<uint8_t> &row, uint32_t y, uint32_t height, uint32_t width, Content content, Rows &rows)
{
    std::fill(row.begin(), row.end(), 0);
    for (size_t i = 0; i < row.size(); i++) {
        switch (content) {
        case Content::Blank: break;
        case Content::Stripes: row[i] = (y / 8 + i / 4) % 3 == 0 ? 0xf0 : (y % 97 == 0 ? rows.next() : 0); break;
        case Content::Noise: row[i] = rows.next(); break;
        case Content::Frame:
            row[i] = (y < 4 || y + 4 >= height || i == 0) ? 0xff : 0;
            if (i == (width - 1) / 8)
                row[i] |= static_cast<uint8_t>(0x80 >> ((width - 1) % 8));
            break;
        }
    }
    // The bits past the width stay clear, as a renderer leaves them.
    if (width % 8 && !row.empty())
        row.back() &= static_cast<uint8_t>(0xff << (8 - width % 8));
}

struct Page {
    const char *name;
    uint32_t width, height, dpi;
    Content content;
    std::function<void(PageHeader &)> edit;
};

PageHeader header_of(const Page &page)
{
    PageHeader h;
    h.raster = quillet::one_bit_rows(page.width, page.height);
    h.settings.resolution_x = h.settings.resolution_y = page.dpi;
    h.settings.length_points = 842;
    if (page.edit)
        page.edit(h);
    return h;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: encode_table STREAM LISTING\n");
        return 2;
    }
    // The time record in UTC, at a fixed clock reading.
    setenv("TZ", "UTC", 1);
    const time_t clock = 1796634303;

    const std::vector<Page> pages = {
        {"a4_600_cut", 4958, 7016, 600, Content::Stripes, nullptr},
        {"odd_width_mirrored_300", 1001, 257, 300, Content::Noise, [](PageHeader &h) { h.settings.mirror = true; }},
        {"settings", 33, 512, 600, Content::Noise,
         [](PageHeader &h) {
             h.settings.duplex = 1;
             h.settings.copies = 3;
             h.settings.media = 9;
             h.settings.density = 4;
             h.settings.length_points = 595;
         }},
        {"padding_cut", 4957, 100, 600, Content::Frame, nullptr},
        {"height_cut_mirrored_1200", 2000, 14100, 1200, Content::Stripes, [](PageHeader &h) { h.settings.mirror = true; }},
        {"largest_whole_1200", 9888, 14027, 1200, Content::Frame, nullptr},
        {"grid_360", 101, 257, 360, Content::Noise, [](PageHeader &h) { h.settings.length_points = 1000; }},
        {"no_rows", 640, 0, 600, Content::Blank, nullptr},
        {"one_pixel", 1, 1, 600, Content::Frame, nullptr},
        {"band_boundary", 64, 513, 600, Content::Noise, [](PageHeader &h) { h.settings.duplex = 0x12345678; }},
        {"eight_bits", 800, 10, 600, Content::Blank, [](PageHeader &h) { h.raster.bits_per_pixel = 8; }},
        {"zero_width", 0, 10, 600, Content::Blank, nullptr},
        {"beyond_31_bits", 65536 * 8, 32768, 600, Content::Blank, nullptr},
        {"widest_row", 0xFFFFFFFFu, 1, 600, Content::Blank, [](PageHeader &h) { h.raster.bytes_per_line = 0x20000000u; }},
        {"negative_resolution", 640, 100, 600, Content::Blank, [](PageHeader &h) { h.settings.resolution_y = 0xFFFFFDA8u; }},
        {"grid_overflow", 2000000, 1, 250000, Content::Blank, nullptr},
        {"density_wraps", 320, 10, 75, Content::Stripes, [](PageHeader &h) { h.settings.density = 0x7fffffff; }},
    };

    FILE *stream = std::fopen(argv[1], "wb");
    FILE *listing = std::fopen(argv[2], "w");
    if (!stream || !listing)
        return 1;
    quillet::FileSink sink(stream);
    quillet::RecordWriter writer(sink);
    quillet::BandEncoder one(1), three(3);
    std::vector<uint8_t> row;
    int number = 0;
    for (const Page &page : pages) {
        number++;
        PageHeader header = header_of(page);
        quillet::PlanResult planned = quillet::plan_page(header.settings, header.raster, number);
        if (!planned.plan) {
            std::fprintf(listing, "%s: %s\n", page.name, planned.refusal.c_str());
            continue;
        }
        const quillet::PagePlan &p = *planned.plan;
        std::fprintf(listing,
                     "%s: image %u x %u, %u bytes per row, cut %d, %d x %d dpi, paper %u %u x %u, placed %u %u, "
                     "media %d, density %d, copies %u, duplex %u, mirror %d\n",
                     page.name, p.image_width, p.image_height, p.image_bytes_per_row, p.cut, p.resolution_x,
                     p.resolution_y, p.paper_code, p.paper_width_1200, p.paper_height_1200, p.left_offset,
                     p.top_offset, p.media, p.density, p.copies, p.duplex, p.mirror);
        quillet::PageDocument document(writer, number % 2 ? one : three, p, clock);
        Rows rows{static_cast<uint32_t>(number)};
        row.resize(header.raster.bytes_per_line);
        for (uint32_t y = 0; y < header.raster.height; y++) {
            std::span<uint8_t> room = document.next_row();
            fill_row(row, y, header.raster.height, header.raster.width, page.content, rows);
            std::copy(row.begin(), row.end(), room.begin());
            document.commit_row();
        }
        if (auto failure = document.close()) {
            std::fprintf(stderr, "%s: %s\n", page.name, failure->c_str());
            return 1;
        }
    }
    if (!writer.flush() || std::fclose(stream) != 0 || std::fclose(listing) != 0)
        return 1;
    return 0;
}
