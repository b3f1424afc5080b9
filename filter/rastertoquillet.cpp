// rastertoquillet: CUPS filter from 1-bit CUPS raster to the OAKT stream.
//
//   rastertoquillet job-id user title copies options [file]
//
// The raster comes from file or standard input, the printer data goes to
// standard output, and status lines for the scheduler to standard error.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <cups/ppd.h>

#include "band_encoder.h"
#include "page_loop.h"

namespace {

volatile sig_atomic_t canceled = 0;

extern "C" void cancel_job(int)
{
    canceled = 1;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// The printer's PPD must open, though nothing is read from it: CUPS puts
// every option into the page headers.
bool ppd_opens(const char *path)
{
    ppd_file_t *ppd = ppdOpenFile(path);
    if (ppd) {
        ppdClose(ppd);
        return true;
    }
    int line;
    ppd_status_t status = ppdLastError(&line);
    _cupsLangPrintFilter(stderr, "ERROR", "The PPD file could not be opened.");
    std::fprintf(stderr, "DEBUG: %s on line %d.\n", ppdErrorString(status), line);
    return false;
}
#pragma GCC diagnostic pop

struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd > 0)
            close(fd);
    }
};

}  // namespace

int main(int argc, char *argv[])
{
    std::setbuf(stderr, nullptr);

    if (argc != 6 && argc != 7) {
        _cupsLangPrintFilter(stderr, "ERROR", "%s job-id user title copies options [file]", "rastertoquillet");
        return 1;
    }

    Descriptor input{0};
    if (argc == 7 && (input.fd = open(argv[6], O_RDONLY)) == -1) {
        _cupsLangPrintError("ERROR", "Unable to open raster file");
        sleep(1);
        return 1;
    }
    quillet::filter::RasterInput raster(input.fd);

    // Interrupted writes are restarted, so that a cancel never cuts a record
    // short while the printer connection is blocked.
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = cancel_job;
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);

    if (!ppd_opens(std::getenv("PPD")))
        return 1;

    // libjbig takes and frees its output blocks for every band; without these
    // thresholds the heap is given back and faulted in again each time.
    mallopt(M_TRIM_THRESHOLD, 1 << 20);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);

    const unsigned threads = quillet::encoder_threads(std::getenv("QUILLET_THREADS"));
    quillet::filter::LoopResult result =
        quillet::filter::print_pages(raster.raster(), stdout, threads, canceled, quillet::filter::job_options(argv[5]));
    if (result.end == quillet::filter::LoopEnd::StreamFailed)
        return 1;

    if (std::fclose(stdout) != 0) {
        _cupsLangPrintError("ERROR", "Unable to write print data");
        return 1;
    }
    if (result.end == quillet::filter::LoopEnd::Refused)
        return 1;
    if (result.pages == 0) {
        _cupsLangPrintFilter(stderr, "ERROR", "No pages were found.");
        return 1;
    }
    return 0;
}
