#include "render.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "band_encoder.h"
#include "oakt_tables.h"
#include "page_plan.h"
#include "record_writer.h"

namespace quillet::app {

namespace {

// The printer's connection as a byte sink.
class DeviceSink final : public ByteSink {
public:
    explicit DeviceSink(pappl_device_t *device) : device_(device) {}
    bool write(std::span<const uint8_t> bytes) override
    {
        return papplDeviceWrite(device_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool flush() override
    {
        papplDeviceFlush(device_);
        return true;
    }

private:
    pappl_device_t *device_;
};

// One job: its writer and encoder, and the page being printed.
struct Job {
    explicit Job(pappl_device_t *device)
        : sink(device), writer(sink), encoder(encoder_threads(std::getenv("QUILLET_THREADS")))
    {
    }
    DeviceSink sink;
    RecordWriter writer;
    BandEncoder encoder;
    PagePlan plan;
    bool printing = false;  // a page document is open
    bool dither = false;
    unsigned pages_started = 0;  // PAPPL's own pages, copies included
};

Job *job_of(pappl_job_t *job)
{
    return static_cast<Job *>(papplJobGetData(job));
}

// An ordered dither matrix of thresholds 1 to 255: a pixel is black when
// its grey is below the threshold.
constexpr std::array<std::array<uint8_t, 16>, 16> dither_matrix = [] {
    std::array<std::array<uint8_t, 16>, 16> m{};
    for (unsigned y = 0; y < 16; y++)
        for (unsigned x = 0; x < 16; x++) {
            unsigned v = 0, xy = x ^ y;
            for (unsigned bit = 0; bit < 4; bit++) {
                v |= ((xy >> bit) & 1u) << (7 - 2 * bit);
                v |= ((y >> bit) & 1u) << (6 - 2 * bit);
            }
            m[y][x] = static_cast<uint8_t>(1 + v * 254 / 255);  // 0..255 -> 1..255
        }
    return m;
}();

// The job's mirror option, else the printer's default: PAPPL does not
// apply a vendor attribute's default to jobs that do not name it.
bool mirror_of(pappl_job_t *job, pappl_pr_options_t *options)
{
    if (const char *value = cupsGetOption(mirror_attribute, options->num_vendor, options->vendor))
        return !std::strcmp(value, "true");
    ipp_t *attributes = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
    ipp_attribute_t *fallback = ippFindAttribute(attributes, "quillet-mirror-default", IPP_TAG_BOOLEAN);
    bool mirror = fallback && ippGetBoolean(fallback, 0);
    ippDelete(attributes);
    return mirror;
}

}  // namespace

void grey_to_black(std::span<const uint8_t> grey, unsigned y, bool dither, std::span<uint8_t> black)
{
    std::fill(black.begin(), black.end(), 0);
    const auto &row = dither_matrix[y % 16];
    for (size_t x = 0; x < grey.size() && x / 8 < black.size(); x++) {
        const uint8_t threshold = dither ? row[x % 16] : 128;
        if (grey[x] < threshold)
            black[x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
    }
}

unsigned length_points(int hundredths_mm, int resolution)
{
    // A raster's rows give its length to a pixel: take the printer's size
    // within a pixel and a half of it.
    const long tolerance = resolution > 0 ? 2540L * 3 / (2 * resolution) + 20 : 20;
    for (const PaperSize &size : paper_sizes) {
        long length = static_cast<long>(size.length_points) * 2540 / 72;
        if (std::labs(length - hundredths_mm) <= tolerance)
            return size.length_points;
    }
    return static_cast<unsigned>((static_cast<long>(hundredths_mm) * 72 + 1270) / 2540);
}

bool takes_this_driver(const char *device_id)
{
    if (!device_id)
        return false;
    cups_option_t *keys = nullptr;
    int count = papplDeviceParseID(device_id, &keys);
    const char *make = cupsGetOption("MANUFACTURER", count, keys);
    if (!make)
        make = cupsGetOption("MFG", count, keys);
    const char *commands = cupsGetOption("COMMAND SET", count, keys);
    if (!commands)
        commands = cupsGetOption("CMD", count, keys);
    bool ours = (make && !strcasecmp(make, "Quillet"));
    if (commands) {
        // A comma-separated list of command sets.
        std::string list = commands;
        for (size_t at = 0; at <= list.size();) {
            size_t end = list.find(',', at);
            if (end == std::string::npos)
                end = list.size();
            ours |= list.substr(at, end - at) == "OAKT";
            at = end + 1;
        }
    }
    cupsFreeOptions(count, keys);
    return ours;
}

int density_level(int configured, int job)
{
    int darkness = std::clamp(configured + job, 0, 100);
    return std::clamp((darkness + 12) / 25, 0, density_levels - 1);
}

bool start_job(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
    papplJobSetData(job, new Job(device));
    return true;
}

bool start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned page)
{
    Job &state = *job_of(job);
    // PAPPL repeats the pages of an image job for each copy; the printer
    // makes the copies from the COPIES record.
    const unsigned pages_per_copy = std::max(options->num_pages, 1u);
    const char *format = papplJobGetFormat(job);
    const bool image = format && (!std::strcmp(format, "image/jpeg") || !std::strcmp(format, "image/png"));
    if (image && options->copies > 1 && state.pages_started++ >= pages_per_copy)
        return true;

    const cups_page_header2_t &raster = options->header;
    PageHeader header;
    header.width = raster.cupsWidth;
    header.height = raster.cupsHeight;
    header.bytes_per_line = (raster.cupsWidth + 7) / 8;
    header.bits_per_pixel = 1;
    header.resolution_x = raster.HWResolution[0];
    header.resolution_y = raster.HWResolution[1];
    // The paper code from the page's own length: PAPPL's header truncates
    // PageSize (A4 arrives as 841 points), and a raster job's media need not
    // be the job's media attribute.
    header.length_points =
        raster.HWResolution[1]
            ? length_points(static_cast<int>(uint64_t{raster.cupsHeight} * 2540 / raster.HWResolution[1]),
                            static_cast<int>(raster.HWResolution[1]))
            : length_points(options->media.size_length, 0);
    // media-type belongs in media-col; a client that sends it alone means it too.
    const char *type = options->media.type;
    if (ipp_attribute_t *alone = papplJobGetAttribute(job, "media-type"))
        type = ippGetString(alone, 0, nullptr);
    header.media_type = static_cast<uint32_t>(media_code_for_keyword(type ? type : "").value_or(0));
    header.compression = static_cast<uint32_t>(2 + density_level(options->darkness_configured, options->print_darkness));
    header.copies = static_cast<uint32_t>(std::max(options->copies, 1));
    header.duplex = options->sides != PAPPL_SIDES_ONE_SIDED;
    header.mirror = mirror_of(job, options);

    PlanResult planned = plan_page(header, static_cast<int>(page));
    if (!planned.plan) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", planned.refusal.c_str());
        return false;
    }
    state.plan = *planned.plan;
    if (state.plan.cut)
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Page %u is larger than the printable area and is cut.", page);
    // Photos are dithered, text and graphics thresholded; a JPEG without a
    // say counts as a photo.
    state.dither = options->print_content_optimize == PAPPL_CONTENT_PHOTO ||
                   (options->print_content_optimize == PAPPL_CONTENT_AUTO && format &&
                    !std::strcmp(format, "image/jpeg"));
    write_document_start(state.writer, state.plan.duplex, std::time(nullptr));
    write_page_start(state.writer, state.plan);
    state.encoder.begin_page(state.plan, state.writer);
    state.printing = true;
    return !state.writer.failed();
}

bool write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned y, const unsigned char *line)
{
    Job &state = *job_of(job);
    if (!state.printing)
        return true;
    std::span<uint8_t> room = state.encoder.next_row();
    if (room.empty())
        return false;
    grey_to_black({line, options->header.cupsBytesPerLine}, y, state.dither, room);
    state.encoder.commit_row();
    return !state.writer.failed();
}

bool end_page(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned page)
{
    Job &state = *job_of(job);
    if (!state.printing)
        return true;
    state.printing = false;
    std::optional<std::string> failure = state.encoder.end_page();
    if (!failure) {
        write_page_end(state.writer);
        write_document_end(state.writer);
        failure = state.writer.error();
    }
    if (failure) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u could not be sent to the printer: %s", page,
                    failure->c_str());
        return false;
    }
    state.writer.flush();
    return true;
}

bool end_job(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *)
{
    delete job_of(job);
    papplJobSetData(job, nullptr);
    return true;
}

}  // namespace quillet::app
