// libFuzzer harness: arbitrary bytes as the raster stream through the whole
// page loop (header checks, page buffer, clipping, mirroring, bands), with
// the printer data going to /dev/null.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "filter.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    // Pages up to 1 MiB keep every input fast; larger ones take the same
    // refusal path as pages beyond 31 bits.
    PageBufferLimit = 1u << 20;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = memfd_create("raster", 0);
    if (fd < 0 || write(fd, data, size) != ssize_t(size) || lseek(fd, 0, SEEK_SET) != 0)
        abort();

    reset_page_settings();
    Canceled = 0;
    cups_raster_t *ras = open_raster_input(fd);
    page_loop(ras, nullptr);
    // A page buffer that could not be had leaves nothing behind; any other
    // way out of the loop has freed it in EndPage.
    free(ImageBuffer);
    ImageBuffer = nullptr;
    cupsRasterClose(ras);
    close(fd);
    return 0;
}
