// The filter's page loop: raster pages in, page documents out, with the
// status lines CUPS reads.  Separate from main() so that the fuzzer can run
// it in-process.
#pragma once

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include <cups/raster.h>

#include "page_plan.h"

// CUPS's localised message helpers; libcups exports them without a public
// header.
extern "C" int _cupsLangPrintFilter(FILE *fp, const char *prefix, const char *message, ...)
    __attribute__((format(printf, 3, 4)));
extern "C" int _cupsLangPrintError(const char *prefix, const char *message);

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

// What the job's options say beyond the page headers.
struct JobOptions {
    // A media code the job asked for with IPP's media-type keyword, when it
    // did not choose MediaType itself.
    std::optional<int> media;
};
// The job's options from the filter's options argument.
JobOptions job_options(const char *option_text);

// What a page asks of the printer, from its CUPS page header and the job.
PrintSettings print_settings(const cups_page_header2_t &cups, const JobOptions &job);
// The page's rows, from its CUPS page header.
RasterGeometry raster_geometry(const cups_page_header2_t &cups);

// Reads every page of the raster and writes its page document to out,
// encoding bands on threads threads.  canceled is tested between pages and
// before each row; a page begun is finished with blank rows.
LoopResult print_pages(cups_raster_t *raster, FILE *out, unsigned threads, const volatile sig_atomic_t &canceled,
                       const JobOptions &job = {}, const PlanLimits &limits = {});

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
