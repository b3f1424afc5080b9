#include "pdf_filter.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "band_encoder.h"
#include "conversions.h"
#include "ghostscript.h"
#include "halftone.h"
#include "page_plan.h"
#include "page_output.h"

namespace quillet::app {

namespace {

// Pages that one run of Ghostscript renders, and what it renders each into.
struct PageRun {
    unsigned first = 0, last = 0;  // from 1; 0 and 0: every page
    PixelSize canvas;
};

// A canvas of a page's proportions (measured in points) that covers the
// printed part when the page is fitted into it.  The measure is rounded to
// the point, so the scale is taken a point short.  A canvas is at most
// twice the printed part across and down: pages of more extreme
// proportions fill it as far as that goes.
PixelSize covering(unsigned width_points, unsigned height_points, PixelSize printed, unsigned res_x, unsigned res_y)
{
    const double across = double(width_points) * res_x / 72, down = double(height_points) * res_y / 72;
    const double scale = std::max(printed.width / std::max(across - res_x / 72.0, 1.0),
                                  printed.height / std::max(down - res_y / 72.0, 1.0));
    return {static_cast<uint32_t>(std::min(std::ceil(across * scale), 2.0 * printed.width)),
            static_cast<uint32_t>(std::min(std::ceil(down * scale), 2.0 * printed.height))};
}

// print-scaling fill: Ghostscript only fits a page into its canvas.  The
// pages are measured first, in a quick run at 72 dpi; each run of pages of
// one size is fitted into a canvas that covers the printed part, whose
// centre is printed.  Pages past the job's limit are not measured.
std::vector<PageRun> fill_runs(const ScratchFolder &scratch, PixelSize printed, unsigned res_x, unsigned res_y,
                               std::string &why)
{
    std::vector<std::string> arguments = ghostscript_arguments(72, 72, "pgmraw");
    arguments.insert(arguments.end(), {"-sOutputFile=-", "-f", "document"});
    Ghostscript gs(scratch, arguments);
    if (!gs.started()) {
        why = "Ghostscript cannot be started.";
        return {};
    }
    PipeReader output(gs.output(), scratch);
    RenderedPages pgm(output, '5');
    std::vector<PageRun> runs;
    std::vector<uint8_t> row;
    unsigned width = 0, height = 0, pages = 0;
    bool whole = true;
    while (whole && pages <= pages_per_job()) {
        const RenderedPages::Next next = pgm.next_page(width, height);
        if (next != RenderedPages::Next::page) {
            whole = next == RenderedPages::Next::end;
            break;
        }
        row.resize(width);
        for (unsigned y = 0; whole && y < height; y++)
            whole = pgm.rows(row);
        pages++;
        const PixelSize canvas = covering(width, height, printed, res_x, res_y);
        if (!runs.empty() && runs.back().canvas.width == canvas.width && runs.back().canvas.height == canvas.height)
            runs.back().last = pages;
        else
            runs.push_back({pages, pages, canvas});
    }
    why = whole || output.silent || output.full ? ghostscript_failure(gs, output, pages > pages_per_job(), pages)
                                 : "Ghostscript's output cannot be read.";
    return runs;
}

// Renders one run of pages and prints each, cut to its centre where it is
// larger than the printed part; the number of the last page printed goes
// on in pages.  False when the job ends here, with its reason.
bool print_run(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, const ScratchFolder &scratch,
               const PageRun &run, bool fit, PixelSize printed, unsigned &pages)
{
    const unsigned res_x = options->header.HWResolution[0], res_y = options->header.HWResolution[1];
    // Ghostscript prints the greys itself, with the job's screen: a
    // screened page is an eighth of its grey one to make and to carry.
    const Screen screen(halftone_for(options->print_content_optimize), res_x);
    std::vector<std::string> arguments = ghostscript_arguments(res_x, res_y, "pbmraw");
    arguments.insert(arguments.end(), {"-g" + std::to_string(run.canvas.width) + "x" +
                                           std::to_string(run.canvas.height),
                                       "-dFIXEDMEDIA"});
    if (fit)
        arguments.insert(arguments.end(), {"-dPDFFitPage", "-dPSFitPage"});
    if (run.first)
        arguments.insert(arguments.end(),
                         {"-dFirstPage=" + std::to_string(run.first), "-dLastPage=" + std::to_string(run.last)});
    arguments.insert(arguments.end(), {"-sOutputFile=-", "-c", ghostscript_halftone(screen), "-f", "document"});
    Ghostscript gs(scratch, arguments);
    if (!gs.started()) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 "The document cannot be printed: Ghostscript cannot be started.");
        return false;
    }

    PipeReader output(gs.output(), scratch);
    RenderedPages pbm(output, '4');
    const bool turn_back_sides = options->sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    bool ok = true;
    unsigned pages_in_run = 0;
    std::vector<uint8_t> rendered, whole;
    unsigned width = 0, height = 0;
    while (ok && !papplJobIsCanceled(job)) {
        const RenderedPages::Next next = pbm.next_page(width, height);
        if (next == RenderedPages::Next::end)
            break;
        if (next == RenderedPages::Next::malformed) {
            fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "Ghostscript's output cannot be read.");
            ok = false;
            break;
        }
        pages++;
        pages_in_run++;
        // The centre of what was rendered, as much as is printed.
        const unsigned kept_width = std::min<unsigned>(width, printed.width);
        const unsigned kept_height = std::min<unsigned>(height, printed.height);
        const unsigned left = (width - kept_width) / 2, top = (height - kept_height) / 2;
        ok = begin_page(job, options, {kept_width, kept_height, res_x, res_y}, pages);
        if (ok)
            papplJobSetImpressionsCompleted(job, 1);
        const size_t row_bytes = (size_t{width} + 7) / 8;
        rendered.resize(row_bytes);
        bool complete = true;
        auto write_row = [&](std::span<const uint8_t> from, size_t first) {
            std::span<uint8_t> room = page_row(job);
            if (room.empty())
                return false;
            copy_dots(from, first, kept_width, room);
            return commit_page_row(job);
        };
        for (unsigned y = 0; complete && y < top; y++)
            complete = pbm.rows(rendered);
        if (turn_back_sides && pages % 2 == 0) {
            // The printer binds every two-sided job alike: for the short
            // edge each back side is turned half a turn.  A row turned
            // has its padding first.
            whole.resize(row_bytes * kept_height);
            for (unsigned y = 0; complete && y < kept_height; y++)
                complete = pbm.rows(std::span(whole).subspan(y * row_bytes, row_bytes));
            const size_t first = row_bytes * 8 - left - kept_width;
            for (unsigned y = 0; ok && complete && y < kept_height; y++) {
                const std::span<uint8_t> row = std::span(whole).subspan((kept_height - 1 - y) * row_bytes, row_bytes);
                mirror_row(row);
                ok = write_row(row, first);
            }
        } else {
            // A page that ends short: end_page says so.
            for (unsigned y = 0; ok && y < kept_height && (complete = pbm.rows(rendered)); y++)
                ok = write_row(rendered, left);
        }
        for (unsigned y = top + kept_height; complete && y < height; y++)
            complete = pbm.rows(rendered);
        ok = end_page(job, options, device, pages) && ok;
    }
    const std::string why = ghostscript_failure(gs, output, papplJobIsCanceled(job) || !ok, pages_in_run);
    if (!why.empty()) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document cannot be printed: " + why);
        ok = false;
    }
    return ok;
}

}  // namespace

// PDF and PostScript pages rendered by Ghostscript (-dSAFER, bounded in
// memory and time) to the printer's dots at the job's resolution and paper
// size.
bool print_pdf(pappl_job_t *job, pappl_device_t *device, void *)
{
    const PrintOptions options(papplJobCreatePrintOptions(job, 0, false));
    const cups_page_header2_t &sheet = options->header;
    const unsigned res_x = sheet.HWResolution[0], res_y = sheet.HWResolution[1];
    // The document goes into what the printer prints of the sheet, so that
    // nothing of it is cut: fitted into it, or filling it with its overflow
    // cut; without scaling it keeps its size on the whole sheet, and what
    // lies beyond the printable area is cut.
    const bool scaled = options->print_scaling != PAPPL_SCALING_NONE;
    const PixelSize printed = scaled ? printed_whole(static_cast<int>(res_x), static_cast<int>(res_y),
                                                     sheet.cupsWidth, sheet.cupsHeight)
                                     : PixelSize{sheet.cupsWidth, sheet.cupsHeight};
    // The document is converted in a scratch folder of its own, as a user
    // without rights, and reaches nothing else.
    std::string refusal;
    std::optional<ScratchFolder> scratch = ScratchFolder::make(refusal);
    if (!scratch || !copy_document(papplJobGetFilename(job), *scratch)) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 "The document cannot be converted: " + (refusal.empty() ? "no room for its copy." : refusal));
        return false;
    }
    std::vector<PageRun> runs{{0, 0, printed}};
    if (options->print_scaling == PAPPL_SCALING_FILL) {
        std::string why;
        runs = fill_runs(*scratch, printed, res_x, res_y, why);
        if (!why.empty()) {
            fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document cannot be printed: " + why);
            return false;
        }
    }
    bool ok = start_job(job, options.get(), device);
    unsigned pages = 0;
    for (const PageRun &run : runs)
        ok = ok && !papplJobIsCanceled(job) &&
             print_run(job, options.get(), device, *scratch, run, scaled, printed, pages);
    return end_job(job, options.get(), device) && ok;
}

}  // namespace quillet::app
