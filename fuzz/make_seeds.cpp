// Writes the seed corpora of the fuzzers: small rasters of the kinds the
// filter meets, and the OAKT streams the filter makes of them.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "band_encoder.h"
#include "page_document.h"
#include "files.h"
#include "page_loop.h"
#include "raster.h"
#include "record_writer.h"

using namespace quillet::test;

namespace {

// The stream the filter writes for the pages, made in-process.
std::vector<uint8_t> stream_of(const std::vector<RasterPage> &pages)
{
    quillet::MemorySink sink;
    quillet::RecordWriter writer(sink);
    quillet::BandEncoder encoder(1);
    for (const RasterPage &page : pages) {
        quillet::PagePlan plan = *quillet::plan_page(quillet::filter::print_settings(page.header, {}),
                                                     quillet::filter::raster_geometry(page.header), 1)
                                     .plan;
        quillet::PageDocument document(writer, encoder, plan, 0);
        for (unsigned y = 0; y < page.height(); y++) {
            std::span<uint8_t> room = document.next_row();
            std::copy(page.row(y), page.row(y) + page.bpl(), room.begin());
            document.commit_row();
        }
    }
    return sink.bytes();
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: make_seeds RASTER_DIR OAKT_DIR\n");
        return 2;
    }
    std::string rasterDir = argv[1], oaktDir = argv[2];
    std::filesystem::create_directories(rasterDir);
    std::filesystem::create_directories(oaktDir);

    RasterPage mirrored = make_page(100, 40, Fill::Noise);
    mirrored.header.cupsInteger[0] = 1;
    RasterPage duplex = make_page(64, 300, Fill::Stripes, 300, 300);
    duplex.header.Duplex = CUPS_TRUE;
    duplex.header.NumCopies = 2;
    const std::vector<std::pair<std::string, std::vector<RasterPage>>> seeds = {
        {"small", {make_page(33, 20, Fill::Noise)}},
        {"mirrored", {mirrored}},
        {"two_pages", {make_page(40, 10, Fill::Black), duplex}},
        {"one_pixel", {make_page(1, 1, Fill::Black)}},
        {"a4_300_blank", {make_page(2480, 3508, Fill::Blank, 300, 300)}},
        {"rows_257", {make_page(32, 257, Fill::Stripes)}},
    };
    // What IPP clients send: 8-bit grey PWG and Apple raster.
    for (const auto &[name, mode] : {std::pair{"grey.pwg", CUPS_RASTER_WRITE_PWG},
                                     std::pair{"grey.urf", CUPS_RASTER_WRITE_APPLE}}) {
        cups_page_header2_t header{};
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a6_105x148mm"), "sgray_8", 75, 75, "one-sided",
                                nullptr);
        std::vector<uint8_t> row(header.cupsBytesPerLine);
        FILE *file = std::fopen((rasterDir + "/" + name).c_str(), "wb");
        cups_raster_t *raster = cupsRasterOpen(fileno(file), mode);
        cupsRasterWriteHeader2(raster, &header);
        for (unsigned y = 0; y < header.cupsHeight; y++) {
            for (unsigned x = 0; x < row.size(); x++)
                row[x] = (x / 7 + y / 5) % 3 ? 255 : uint8_t(x * y);
            cupsRasterWritePixels(raster, row.data(), unsigned(row.size()));
        }
        cupsRasterClose(raster);
        std::fclose(file);
    }
    for (const auto &[name, pages] : seeds) {
        write_raster(rasterDir + "/" + name + "-v2.ras", pages, true);
        if (name != "a4_300_blank")
            write_raster(rasterDir + "/" + name + "-v3.ras", pages, false);
        write_file(oaktDir + "/" + name + ".oakt", stream_of(pages));
    }
    return 0;
}
