// libFuzzer harness: arbitrary bytes as the raster stream through the
// filter's whole page loop (header checks, plans, rows, bands), with the
// printer data going to /dev/null.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "page_loop.h"

namespace {
FILE *null_output;
const volatile sig_atomic_t never_canceled = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    null_output = std::fopen("/dev/null", "w");
    if (!null_output)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = memfd_create("raster", 0);
    if (fd < 0 || write(fd, data, size) != ssize_t(size) || lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    {
        // Pages up to 1 MiB keep every input fast; larger ones take the same
        // refusal path as pages beyond 31 bits.
        quillet::filter::RasterInput input(fd);
        quillet::filter::print_pages(input.raster(), null_output, 1 + size % 3, never_canceled, {},
                                     quillet::PlanLimits{1u << 20});
    }
    close(fd);
    return 0;
}
