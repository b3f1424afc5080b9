#include "page_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "band_encoder.h"
#include "driver.h"
#include "oakt_tables.h"
#include "page_document.h"
#include "page_plan.h"
#include "pappl_mends/mends.h"
#include "record_writer.h"
#include "state_file.h"

namespace quillet::app {

namespace {

// The printer's connection as a byte sink.  PAPPL's device buffers small
// writes and drops the failure of flushing them, so the sink checks what
// the connection actually took.
class DeviceSink final : public ByteSink {
public:
    explicit DeviceSink(pappl_device_t *device) : device_(device)
    {
        pappl_devmetrics_t metrics{};
        papplDeviceGetMetrics(device_, &metrics);
        taken_before_ = metrics.write_bytes;
    }
    bool write(std::span<const uint8_t> bytes) override
    {
        if (copy_ && std::fwrite(bytes.data(), 1, bytes.size(), copy_) != bytes.size())
            copy_failed_ = true;
        handed_ += bytes.size();
        errno = 0;
        const bool written = papplDeviceWrite(device_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (!written && !error_)
            error_ = errno;
        return written;
    }
    // Why the first write failed, as errno said; 0 when it said nothing.
    int error() const { return error_; }
    bool flush() override
    {
        papplDeviceFlush(device_);
        pappl_devmetrics_t metrics{};
        papplDeviceGetMetrics(device_, &metrics);
        return metrics.write_bytes - taken_before_ >= handed_;
    }
    // Keeps a copy of everything written from now on in file.
    void copy_to(FILE *file) { copy_ = file; }
    bool copy_failed() const { return copy_failed_; }

private:
    pappl_device_t *device_;
    size_t taken_before_ = 0, handed_ = 0;
    FILE *copy_ = nullptr;
    bool copy_failed_ = false;
    int error_ = 0;
};

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
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
    PrintSettings settings;  // what the job asks of the printer
    PagePlan plan;        // of the last page
    bool failed = false;  // a page failed: nothing more is printed
    Screen screen;  // how the page's greys become dots
    bool ink_is_high = false;
    // A page wider than the printer prints: its rows, then the part kept.
    std::vector<uint8_t> whole_row;
    size_t cut_left_bytes = 0;
    unsigned rows_expected = 0;       // rows the page should bring
    unsigned rows_seen = 0;
    unsigned copies = 1;              // copies the job asked for
    unsigned pages_started = 0;       // PAPPL's own pages, copies included
    unsigned pages_printed = 0;       // page documents of the first copy
    // Copies the application makes by sending the job again: one copy's
    // page documents are kept in a temporary file.
    unsigned copies_to_repeat = 0;
    std::unique_ptr<FILE, FileCloser> first_copy;
    // The page document being printed.  Last, so that one left open is
    // closed while the sink and the copy it writes to are still there.
    std::optional<PageDocument> page;
};

unsigned page_limit = default_page_limit;

Job *job_of(pappl_job_t *job)
{
    return static_cast<Job *>(papplJobGetData(job));
}

bool is_image(const char *format)
{
    return format && (!std::strcmp(format, "image/jpeg") || !std::strcmp(format, "image/png"));
}

// Whether the job asked for uncollated copies: each page repeated.
bool uncollated(pappl_job_t *job)
{
    ipp_attribute_t *handling = papplJobGetAttribute(job, "multiple-document-handling");
    const char *value = handling ? ippGetString(handling, 0, nullptr) : nullptr;
    return value && !std::strcmp(value, "separate-documents-uncollated-copies");
}

}  // namespace

void set_page_limit(unsigned pages)
{
    page_limit = pages ? pages : default_page_limit;
}

unsigned pages_per_job()
{
    return page_limit;
}

void fail_job(pappl_job_t *job, pappl_jreason_t reason, const std::string &message)
{
    // PAPPL's log shows a string's apostrophes escaped (server\'s); the log
    // takes the typographic one.
    std::string logged;
    for (const char c : message)
        logged += c == '\'' ? std::string("\u2019") : std::string(1, c);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", logged.c_str());
    papplJobSetMessage(job, "%s", message.c_str());
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    if (Job *state = job_of(job))
        state->failed = true;
}

bool start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device)
{
    // Saved as it starts to print: a crash from here on ends the job as
    // aborted at the restart, rather than printing its pages again.
    save_state_now(papplPrinterGetSystem(papplJobGetPrinter(job)));
    // PAPPL ends a job whose start fails without ending it here.
    auto refuse = [&](const std::string &message) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, message);
        return false;
    };
    if (std::optional<std::string> refused = device_refused(job))
        return refuse(*refused);
    auto state = std::make_unique<Job>(device);
    // Copies: the printer repeats a page document COPIES times, which keeps
    // one-sided uncollated copies; every other job is sent again per copy,
    // with a blank page between copies when a two-sided copy ends on a
    // front side.
    const unsigned copies = static_cast<unsigned>(std::max(options->copies, 1));
    if (copies > page_limit)
        return refuse("The job asks for " + std::to_string(copies) + " copies; this server prints at most " +
                      std::to_string(page_limit) + " pages per job.");
    state->copies = copies;
    if (copies > 1 && (options->sides != PAPPL_SIDES_ONE_SIDED || !uncollated(job))) {
        state->first_copy.reset(std::tmpfile());
        if (!state->first_copy)
            return refuse("No room for the job's copies in the temporary folder.");
        state->copies_to_repeat = copies - 1;
        state->sink.copy_to(state->first_copy.get());
    }
    state->settings = job_settings(job, options, state->copies_to_repeat != 0);
    papplJobSetData(job, state.release());
    return true;
}

std::optional<std::string> unprintable_pixels(unsigned bits, unsigned color_space, unsigned page)
{
    const bool grey = bits == 8 && (color_space == CUPS_CSPACE_K || color_space == CUPS_CSPACE_W ||
                                    color_space == CUPS_CSPACE_SW);
    if (grey || (bits == 1 && color_space == CUPS_CSPACE_K))
        return std::nullopt;
    return "Page " + std::to_string(page) + " has " + std::to_string(bits) +
           "-bit pixels of a colour space this printer cannot print; it takes 8-bit grey or 1-bit black.";
}

bool begin_page(pappl_job_t *job, const pappl_pr_options_t *options, const PageFormat &format, unsigned page)
{
    Job &state = *job_of(job);
    if (state.failed)
        return false;
    auto refuse = [&](const std::string &why) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, why);
        return false;
    };
    // Every copy of this page counts against the page limit.
    if (uint64_t{state.pages_printed + 1} * state.copies > page_limit) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 "The job goes over this server's limit of " + std::to_string(page_limit) +
                     " pages per job; it ends after " + std::to_string(state.pages_printed) +
                     (state.pages_printed == 1 ? " page" : " pages") +
                     (state.copies > 1 ? " of " + std::to_string(state.copies) + " copies each." : "."));
        return false;
    }
    const unsigned res_x = format.resolution_x, res_y = format.resolution_y;
    auto printable = [](unsigned res) {
        return std::find(resolutions.begin(), resolutions.end(), res) != resolutions.end();
    };
    if (!printable(res_x) || !printable(res_y)) {
        std::string offered;
        for (size_t i = 0; i < resolutions.size(); i++)
            offered += (i == 0 ? "" : i + 1 == resolutions.size() ? " or " : ", ") + std::to_string(resolutions[i]);
        return refuse("Page " + std::to_string(page) + " is at " + std::to_string(res_x) + " x " +
                      std::to_string(res_y) + " dpi; this printer prints at " + offered + " dpi.");
    }

    // A page far larger than any paper the printer takes is refused before
    // its rows are read: twice the largest paper on either side.
    const uint64_t widest = uint64_t{custom_sizes.max_width} * res_x / 72 * 2,
                   longest = uint64_t{custom_sizes.max_length} * res_y / 72 * 2;
    if (format.width > widest || format.height > longest)
        return refuse("Page " + std::to_string(page) + " is " + std::to_string(format.width) + " x " +
                      std::to_string(format.height) + " pixels at " + std::to_string(res_x) + " x " +
                      std::to_string(res_y) + " dpi, far larger than any paper this printer takes (at most " +
                      std::to_string(custom_sizes.max_width) + " x " + std::to_string(custom_sizes.max_length) +
                      " points).");
    const PrintSettings settings = page_settings(state.settings, format.height, res_x, res_y);
    const PrintedPart part = printed_part(format);
    state.cut_left_bytes = part.left / 8;
    if (part.kept.width < format.width)
        state.whole_row.assign((format.width + 7) / 8, 0);
    else
        state.whole_row.clear();
    PlanResult planned = plan_page(settings, one_bit_rows(part.kept.width, part.kept.height), static_cast<int>(page));
    if (!planned.plan)
        return refuse(planned.refusal);
    state.plan = *planned.plan;
    state.rows_expected = format.height;
    state.rows_seen = 0;
    if (state.plan.cut)
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Page %u is larger than the printable area and is cut.", page);
    state.screen = Screen(halftone_for(options->print_content_optimize), format.resolution_x);
    state.page.emplace(state.writer, state.encoder, state.plan, std::time(nullptr));
    return !state.page->failed();
}

Halftone halftone_for(pappl_content_t optimize)
{
    switch (optimize) {
    case PAPPL_CONTENT_TEXT: return Halftone::threshold;
    case PAPPL_CONTENT_PHOTO: return Halftone::dither;
    default: return Halftone::screen;  // auto, graphics, text and graphics
    }
}

const Screen &page_screen(pappl_job_t *job)
{
    return job_of(job)->screen;
}

PrintedPart printed_part(const PageFormat &format)
{
    PrintedPart part;
    part.kept = printed_whole(static_cast<int>(format.resolution_x), static_cast<int>(format.resolution_y),
                              format.width, format.height);
    part.left = (format.width - part.kept.width) / 2 / 8 * 8;
    return part;
}

std::span<uint8_t> page_row(pappl_job_t *job)
{
    Job &state = *job_of(job);
    if (!state.page)
        return {};
    if (!state.whole_row.empty())
        return state.whole_row;
    return state.page->next_row();
}

bool commit_page_row(pappl_job_t *job)
{
    Job &state = *job_of(job);
    if (!state.page)
        return true;
    if (!state.whole_row.empty()) {
        std::span<uint8_t> room = state.page->next_row();
        if (room.empty())
            return false;
        const std::span<const uint8_t> kept = std::span<const uint8_t>(state.whole_row).subspan(state.cut_left_bytes);
        std::copy_n(kept.begin(), std::min(kept.size(), room.size()), room.begin());
    }
    state.page->commit_row();
    state.rows_seen++;
    return !state.page->failed();
}

bool start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned page)
{
    Job &state = *job_of(job);
    if (state.failed)
        return false;
    // PAPPL repeats the page of an image job for each copy; the copies are
    // made here.
    const unsigned pages_per_copy = std::max(options->num_pages, 1u);
    if (is_image(papplJobGetFormat(job)) && options->copies > 1 && state.pages_started++ >= pages_per_copy)
        return true;
    const cups_page_header2_t &raster = options->header;
    state.ink_is_high = raster.cupsColorSpace == CUPS_CSPACE_K;
    if (std::optional<std::string> refused = unprintable_pixels(raster.cupsBitsPerPixel, raster.cupsColorSpace, page)) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, *refused);
        return false;
    }
    return begin_page(job, options, {raster.cupsWidth, raster.cupsHeight, raster.HWResolution[0], raster.HWResolution[1]},
                      page);
}

bool write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned y, const unsigned char *line)
{
    Job &state = *job_of(job);
    std::span<uint8_t> room = page_row(job);
    if (!state.page)
        return true;
    if (room.empty())
        return false;
    if (options->header.cupsBitsPerPixel == 1)
        std::copy_n(line, std::min<size_t>(room.size(), options->header.cupsBytesPerLine), room.begin());
    else
        grey_to_black({line, options->header.cupsBytesPerLine}, y, state.screen,
                      room, state.ink_is_high);
    return commit_page_row(job);
}

bool end_page(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned page)
{
    Job &state = *job_of(job);
    if (!state.page)
        return !state.failed;
    std::optional<std::string> failure = state.page->close();
    state.page.reset();
    if (state.sink.error() == ENOSPC || state.sink.error() == EDQUOT) {
        // A file printer's disk: the page stopped there, not the document.
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 "Page " + std::to_string(page) + " could not be written: the disk of the printer's folder is full.");
        return false;
    }
    if (state.rows_seen < state.rows_expected && !papplJobIsCanceled(job)) {
        // The page document is finished, so that the printer is left in
        // order; the job fails: a page that ends short is not a whole page.
        state.writer.flush();
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 "Page " + std::to_string(page) + " ended after " + std::to_string(state.rows_seen) + " of its " +
                     std::to_string(state.rows_expected) + " rows: the document is cut short.");
        return false;
    }
    if (failure || !state.writer.flush()) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 "Page " + std::to_string(page) +
                     " could not be sent to the printer: the connection to it was lost or refused.");
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Writer: %s", failure ? failure->c_str() : "flush failed");
        return false;
    }
    state.pages_printed++;
    return true;
}

bool end_job(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *)
{
    std::unique_ptr<Job> state(job_of(job));
    papplJobSetData(job, nullptr);
    if (state)
        state->page.reset();  // a page PAPPL left open ends whole
    if (!state || state->failed)
        return false;
    bool sent = true;
    if (state->copies_to_repeat && state->pages_printed && !papplJobIsCanceled(job)) {
        state->sink.copy_to(nullptr);
        FILE *copy = state->first_copy.get();
        if (state->sink.copy_failed() || std::fflush(copy) != 0) {
            fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "No room for the job's copies in the temporary folder.");
            return false;
        }
        // A blank back side ends a two-sided copy of an odd number of pages.
        MemorySink blank_page;
        if (state->plan.duplex && state->pages_printed % 2) {
            RecordWriter blank_writer(blank_page);
            PagePlan blank = state->plan;
            blank.mirror = false;
            PageDocument(blank_writer, state->encoder, blank, std::time(nullptr)).close();
        }
        for (unsigned n = 0; sent && n < state->copies_to_repeat && !papplJobIsCanceled(job); n++) {
            sent = state->sink.write(blank_page.bytes());
            std::rewind(copy);
            std::array<uint8_t, 65536> buffer;
            for (size_t got; sent && (got = std::fread(buffer.data(), 1, buffer.size(), copy)) > 0;)
                sent = state->sink.write({buffer.data(), got});
        }
        sent = sent && state->sink.flush();
    }
    if (!sent) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 "The job's copies could not be sent to the printer: the connection to it was lost or refused.");
        return false;
    }
    // PAPPL counts each page once; the printer printed every copy (PAPPL
    // counts an image's copies itself).
    if (!is_image(papplJobGetFormat(job)) && !papplJobIsCanceled(job))
        papplJobSetImpressionsCompleted(job, static_cast<int>(state->pages_printed * (state->copies - 1)));
    if (!papplJobIsCanceled(job))
        note_printed_job(job);
    return true;
}

}  // namespace quillet::app
