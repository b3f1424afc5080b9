// The filter's page loop: raster pages in, page documents out, with the
// status lines CUPS reads.  Separate from main() so that the fuzzer can run
// it in-process.
#pragma once

#include <csignal>
#include <cstdio>
#include <memory>

#include <cups/raster.h>

#include "page_plan.h"

namespace quillet::filter {

enum class LoopEnd {
    Finished,       // the raster ended or the job was cancelled
    Refused,        // a page header the printer cannot take
    StreamFailed,   // the printer data could not be written
};

struct LoopResult {
    LoopEnd end = LoopEnd::Finished;
    int pages = 0;  // pages begun
};

// What the core needs of a CUPS page header.
PageHeader page_header(const cups_page_header2_t &cups);

// Reads every page of the raster and writes its page document to out,
// encoding bands on threads threads.  canceled is tested between pages and
// before each row; a page begun is finished with blank rows.
LoopResult print_pages(cups_raster_t *raster, FILE *out, unsigned threads, const volatile sig_atomic_t &canceled,
                       const PlanLimits &limits = {});

// The raster on a descriptor, read through a 64 KiB buffer: given a plain
// descriptor, libcups makes one read call per row of an uncompressed stream.
class RasterInput {
public:
    explicit RasterInput(int fd);
    ~RasterInput();
    RasterInput(const RasterInput &) = delete;
    RasterInput &operator=(const RasterInput &) = delete;
    cups_raster_t *raster() const { return raster_; }

private:
    static ssize_t read(void *context, unsigned char *data, size_t bytes);
    int fd_;
    size_t pos_ = 0, len_ = 0;
    std::unique_ptr<unsigned char[]> buffer_;
    cups_raster_t *raster_;
};

}  // namespace quillet::filter
