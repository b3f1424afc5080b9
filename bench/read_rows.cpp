// Reads every row of a raster file with libcups and does nothing with it:
// the memory floor that process_bench.sh compares the filter with.
#include <fcntl.h>
#include <unistd.h>

#include <cups/raster.h>

#include <vector>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0)
        return 1;
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t header;
    unsigned long rows = 0;
    while (cupsRasterReadHeader2(raster, &header)) {
        std::vector<unsigned char> row(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight && cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine);
             y++)
            rows++;
    }
    cupsRasterClose(raster);
    close(fd);
    return rows > 0 ? 0 : 1;
}
