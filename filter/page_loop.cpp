#include "page_loop.h"

#include <unistd.h>

#include <cstring>
#include <ctime>

#include "band_encoder.h"
#include "oakt_tables.h"
#include "page_document.h"
#include "record_writer.h"

namespace quillet::filter {

namespace {

// The value of an enumerated header field.  The raster can put any 32-bit
// value there, which the enumeration type cannot hold, so the field's bytes
// are read as an unsigned number.
static_assert(sizeof(cups_bool_t) == 4, "enumerated header fields are 32 bits");
uint32_t enum_field(const cups_bool_t &field)
{
    uint32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

}  // namespace

JobOptions job_options(const char *option_text)
{
    JobOptions job;
    cups_option_t *options = nullptr;
    const int count = cupsParseOptions(option_text, 0, &options);
    // CUPS maps IPP's media-type to the PPD's MediaType only inside
    // media-col; a plain media-type attribute reaches the filter as an
    // option, and is taken unless MediaType itself was given.
    const char *keyword = cupsGetOption("media-type", count, options);
    if (keyword && !cupsGetOption("MediaType", count, options)) {
        job.media = media_code_for_keyword(keyword);
        if (!job.media)
            std::fprintf(stderr, "DEBUG: media-type \"%s\" is not one of this printer's.\n", keyword);
    }
    cupsFreeOptions(count, options);
    return job;
}

PrintSettings print_settings(const cups_page_header2_t &cups, const JobOptions &job)
{
    PrintSettings settings;
    settings.resolution_x = cups.HWResolution[0];
    settings.resolution_y = cups.HWResolution[1];
    settings.length_points = cups.PageSize[1];
    settings.media = job.media.value_or(static_cast<int>(cups.cupsMediaType));
    // cupsCompression carries the density 2 to 6; the step is the signed
    // difference, so that values of 2^31 + 2 and more count as negative.
    settings.density = static_cast<int>(cups.cupsCompression - density_in_compression);
    settings.copies = cups.NumCopies;
    settings.duplex = enum_field(cups.Duplex);
    settings.mirror = cups.cupsInteger[0] != 0;
    return settings;
}

RasterGeometry raster_geometry(const cups_page_header2_t &cups)
{
    return {cups.cupsWidth, cups.cupsHeight, cups.cupsBytesPerLine, cups.cupsBitsPerPixel};
}

namespace {

// A failure while the stream is written: its line (for a write, the step
// that failed), then the reason CUPS shows the user, in words.
LoopEnd stream_failed(const RecordWriter &writer, const std::string &what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    const std::string why = writer.failed_step() ? failure_sentence(*writer.failed_step()) : what;
    _cupsLangPrintFilter(stderr, "ERROR", "The print job was stopped: %s", why.c_str());
    return LoopEnd::StreamFailed;
}

// A page larger than the printable area loses its right and bottom edges:
// say how much, so that nothing is lost without notice.
void warn_cut(int page, const PagePlan &plan)
{
    auto millimetres = [](uint32_t from, uint32_t to, int res) {
        return from > to && res > 0 ? double(from - to) * 25.4 / res : 0.0;
    };
    const double right = millimetres(plan.input_width, plan.image_width, plan.resolution_x);
    const double bottom = millimetres(plan.input_height, plan.image_height, plan.resolution_y);
    if (right <= 0 && bottom <= 0)
        return;
    _cupsLangPrintFilter(stderr, "WARNING",
                         "Page %d is larger than the printable area: %.1f mm at the right and %.1f mm at the "
                         "bottom are not printed.",
                         page, right, bottom);
}

}  // namespace

LoopResult print_pages(cups_raster_t *raster, FILE *out, unsigned threads, const volatile sig_atomic_t &canceled,
                       const JobOptions &job, const PlanLimits &limits)
{
    FileSink sink(out);
    RecordWriter writer(sink);
    BandEncoder encoder(threads);
    LoopResult result;

    cups_page_header2_t header;
    while (cupsRasterReadHeader2(raster, &header)) {
        if (canceled)
            break;

        PlanResult planned = plan_page(print_settings(header, job), raster_geometry(header), result.pages + 1, limits);
        if (!planned.plan) {
            _cupsLangPrintFilter(stderr, "ERROR", "%s", planned.refusal.c_str());
            result.end = LoopEnd::Refused;
            return result;
        }
        const PagePlan &plan = *planned.plan;
        const int page = ++result.pages;
        std::fprintf(stderr, "PAGE: %d %d\n", page, header.NumCopies);
        _cupsLangPrintFilter(stderr, "INFO", "Starting page %d.", page);

        if (plan.cut)
            warn_cut(page, plan);

        PageDocument document(writer, encoder, plan, std::time(nullptr));
        if (document.failed()) {
            result.end = stream_failed(writer, *writer.error());
            return result;
        }
        for (unsigned y = 0; y < header.cupsHeight; y++) {
            if (canceled)
                break;
            if ((y & 127) == 0) {
                unsigned percent = static_cast<unsigned>(uint64_t{y} * 100 / header.cupsHeight);
                _cupsLangPrintFilter(stderr, "INFO", "Printing page %d, %u%% complete.", page, percent);
                std::fprintf(stderr, "ATTR: job-media-progress=%u\n", percent);
            }
            std::span<uint8_t> row = document.next_row();
            if (row.empty())
                break;
            // A raster that ends inside a row keeps what it gave of it.
            unsigned got = cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine);
            document.commit_row();
            if (got == 0)
                break;
        }
        if (std::optional<std::string> failure = document.close()) {
            result.end = stream_failed(writer, *failure);
            return result;
        }
        _cupsLangPrintFilter(stderr, "INFO", "Finished page %d.", page);
        if (!writer.flush()) {
            _cupsLangPrintError("ERROR", "Unable to write print data");
            result.end = LoopEnd::StreamFailed;
            return result;
        }
        if (canceled)
            break;
    }
    return result;
}

RasterInput::RasterInput(int fd)
    : fd_(fd), buffer_(std::make_unique<unsigned char[]>(65536)),
      raster_(cupsRasterOpenIO(&RasterInput::read, this, CUPS_RASTER_READ))
{
}

RasterInput::~RasterInput()
{
    cupsRasterClose(raster_);
}

ssize_t RasterInput::read(void *context, unsigned char *data, size_t bytes)
{
    auto &in = *static_cast<RasterInput *>(context);
    constexpr size_t capacity = 65536;
    if (in.pos_ == in.len_) {
        if (bytes >= capacity)
            return ::read(in.fd_, data, bytes);
        ssize_t got = ::read(in.fd_, in.buffer_.get(), capacity);
        if (got <= 0)
            return got;
        in.pos_ = 0;
        in.len_ = static_cast<size_t>(got);
    }
    size_t n = std::min(in.len_ - in.pos_, bytes);
    std::memcpy(data, in.buffer_.get() + in.pos_, n);
    in.pos_ += n;
    return static_cast<ssize_t>(n);
}

}  // namespace quillet::filter
