// The printer application's raster path against the filter's, on the same
// pages, in one run: CPU per page of
//   filter  the CUPS filter's page loop on the page as CUPS sends it (1-bit
//           CUPS raster), as filter_bench's (a);
//   grey    the application's reader on the page as 8-bit grey PWG raster
//           (what phones, Windows and CUPS send), thresholded run by run
//           into the bands, encoded and written;
//   black   the same on the page as 1-bit PWG raster;
//   libcups the same 8-bit page read row by row through libcups and
//           thresholded a pixel at a time, as PAPPL reads a raster.
// Each path runs once per turn, the turns repeated; the ratios are the
// medians of the turns' ratios, so that drifts of a shared machine cancel.
//
// Usage: app_bench --corpus=DIR [--turns=N]
// DIR holds CLASS.ras, CLASS-grey.pwg and CLASS-black.pwg (make_corpus.sh).
#include <cups/raster.h>
#include <unistd.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "band_encoder.h"
#include "files.h"
#include "timing.h"
#include "page_document.h"
#include "page_loop.h"
#include "page_plan.h"
#include "raster_reader.h"
#include "record_writer.h"

using namespace quillet;

namespace {

class CountingSink final : public ByteSink {
public:
    bool write(std::span<const uint8_t> bytes) override
    {
        count += bytes.size();
        return true;
    }
    size_t count = 0;
};

ssize_t discard(void *, const char *, size_t size)
{
    return ssize_t(size);
}

PagePlan plan_for(unsigned width, unsigned height, unsigned res_x, unsigned res_y)
{
    PrintSettings settings;
    settings.resolution_x = res_x;
    settings.resolution_y = res_y;
    settings.length_points = uint32_t(uint64_t{height} * 72 / res_y);
    return *plan_page(settings, one_bit_rows(width, height), 1).plan;
}

// The filter's page loop, from a memory file to a discarding FILE.
size_t run_filter(int fd)
{
    static const volatile sig_atomic_t never = 0;
    static FILE *out = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, discard, nullptr, nullptr});
    lseek(fd, 0, SEEK_SET);
    filter::RasterInput input(fd);
    filter::print_pages(input.raster(), out, 1, never);
    return 1;
}

// The application's raster path: its reader straight into the bands.
size_t run_reader(const std::vector<uint8_t> &pwg)
{
    app::MemoryInput input(pwg);
    app::RasterReader reader(input);
    CountingSink sink;
    RecordWriter writer(sink);
    BandEncoder encoder(1);
    while (const std::optional<app::RasterPageHeader> page = reader.next_page()) {
        PageDocument document(writer, encoder,
                              plan_for(page->width, page->height, page->resolution_x, page->resolution_y), 0);
        const app::BlackRows how{app::Screen(app::Halftone::screen, page->resolution_x), page->color_space == CUPS_CSPACE_K};
        for (unsigned y = 0; y < page->height; y++) {
            if (!reader.read_black_row(document.next_row(), how, y))
                abort();
            document.commit_row();
        }
        document.close();
    }
    return sink.count;
}

ssize_t read_memory(void *context, unsigned char *buffer, size_t length)
{
    auto &rest = *static_cast<std::span<const uint8_t> *>(context);
    const size_t count = std::min(length, rest.size());
    std::copy_n(rest.begin(), count, buffer);
    rest = rest.subspan(count);
    return ssize_t(count);
}

// PAPPL's way: libcups's reader, then a pixel at a time.
size_t run_libcups(const std::vector<uint8_t> &pwg)
{
    std::span<const uint8_t> rest(pwg);
    cups_raster_t *raster = cupsRasterOpenIO(read_memory, &rest, CUPS_RASTER_READ);
    CountingSink sink;
    RecordWriter writer(sink);
    BandEncoder encoder(1);
    cups_page_header2_t header;
    std::vector<uint8_t> row;
    while (cupsRasterReadHeader2(raster, &header)) {
        const app::Screen screen(app::Halftone::screen, header.HWResolution[0]);
        PageDocument document(writer, encoder,
                              plan_for(header.cupsWidth, header.cupsHeight, header.HWResolution[0],
                                       header.HWResolution[1]),
                              0);
        row.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; y++) {
            cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine);
            app::grey_to_black(row, y, screen, document.next_row());
            document.commit_row();
        }
        document.close();
    }
    cupsRasterClose(raster);
    return sink.count;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string corpus;
    int turns = 9;
    for (int i = 1; i < argc; i++) {
        const std::string argument = argv[i];
        if (argument.rfind("--corpus=", 0) == 0)
            corpus = argument.substr(9);
        else if (argument.rfind("--turns=", 0) == 0)
            turns = std::max(1, std::stoi(argument.substr(8)));
    }
    if (corpus.empty()) {
        std::cerr << "usage: app_bench --corpus=DIR [--turns=N]\n";
        return 2;
    }
    stderr = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, discard, nullptr, nullptr});
    std::vector<std::string> classes;
    for (const auto &entry : std::filesystem::directory_iterator(corpus))
        if (entry.path().extension() == ".ras" &&
            std::filesystem::exists(corpus + "/" + entry.path().stem().string() + "-grey.pwg"))
            classes.push_back(entry.path().stem().string());
    std::sort(classes.begin(), classes.end());

    std::cout << "| page class | filter ms/page | grey PWG ms/page | 1-bit PWG ms/page | libcups grey ms/page | "
                 "grey / filter | 1-bit / filter | libcups grey / filter |\n|---|---|---|---|---|---|---|---|\n";
    for (const std::string &name : classes) {
        const std::vector<uint8_t> ras = test::read_file(corpus + "/" + name + ".ras");
        const std::vector<uint8_t> grey = test::read_file(corpus + "/" + name + "-grey.pwg");
        const std::vector<uint8_t> black = test::read_file(corpus + "/" + name + "-black.pwg");
        const int fd = memfd_create("raster", 0);
        if (fd < 0 || write(fd, ras.data(), ras.size()) != ssize_t(ras.size()))
            return 1;
        std::vector<double> filter, from_grey, from_black, from_libcups, grey_ratio, black_ratio, libcups_ratio;
        run_filter(fd);  // warm up
        run_reader(grey);
        for (int turn = 0; turn < turns; turn++) {
            const double t0 = cpu_ms();
            run_filter(fd);
            const double t1 = cpu_ms();
            run_reader(grey);
            const double t2 = cpu_ms();
            run_reader(black);
            const double t3 = cpu_ms();
            run_libcups(grey);
            const double t4 = cpu_ms();
            filter.push_back(t1 - t0);
            from_grey.push_back(t2 - t1);
            from_black.push_back(t3 - t2);
            from_libcups.push_back(t4 - t3);
            grey_ratio.push_back((t2 - t1) / (t1 - t0));
            black_ratio.push_back((t3 - t2) / (t1 - t0));
            libcups_ratio.push_back((t4 - t3) / (t1 - t0));
        }
        close(fd);
        char line[256];
        std::snprintf(line, sizeof line, "| %s | %.1f | %.1f | %.1f | %.1f | %.2f | %.2f | %.2f |\n", name.c_str(),
                      median(filter), median(from_grey), median(from_black), median(from_libcups),
                      median(grey_ratio), median(black_ratio), median(libcups_ratio));
        std::cout << line << std::flush;
    }
    return 0;
}
