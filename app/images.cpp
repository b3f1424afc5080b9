#include "images.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "halftone.h"
#include "page_output.h"

namespace quillet::app {

namespace {

// An image enlarged by a whole factor, each new pixel the mean of its four
// nearest old ones weighed by distance.
std::vector<uint8_t> enlarged(std::span<const uint8_t> pixels, unsigned width, unsigned height, unsigned factor)
{
    // Where each new column (or row) falls between two old ones, and how
    // far from the first, in 256ths.
    struct Step {
        unsigned first, second, weight;
    };
    auto steps = [&](unsigned old_size) {
        std::vector<Step> out(size_t{old_size} * factor);
        for (size_t at = 0; at < out.size(); at++) {
            const double where = std::clamp((at + 0.5) / factor - 0.5, 0.0, old_size - 1.0);
            const unsigned first = static_cast<unsigned>(where);
            out[at] = {first, std::min(first + 1, old_size - 1), static_cast<unsigned>(std::lround((where - first) * 256))};
        }
        return out;
    };
    const std::vector<Step> across = steps(width), down = steps(height);
    const size_t new_width = across.size();
    std::vector<uint8_t> out(new_width * down.size());
    std::vector<uint16_t> upper(new_width), lower(new_width);
    auto widen = [&](unsigned row, std::vector<uint16_t> &to) {
        const uint8_t *old = pixels.data() + size_t{row} * width;
        for (size_t x = 0; x < new_width; x++)
            to[x] = static_cast<uint16_t>(old[across[x].first] * (256 - across[x].weight) +
                                          old[across[x].second] * across[x].weight);
    };
    unsigned widened = ~0u;
    for (size_t y = 0; y < down.size(); y++) {
        if (down[y].first != widened) {
            widen(down[y].first, upper);
            widen(down[y].second, lower);
            widened = down[y].first;
        }
        const unsigned weight = down[y].weight;
        uint8_t *row = out.data() + y * new_width;
        for (size_t x = 0; x < new_width; x++)
            row[x] = static_cast<uint8_t>((upper[x] * (256 - weight) + lower[x] * weight + 32768) >> 16);
    }
    return out;
}

// A decoded grey image printed by PAPPL's image filter, which places,
// turns and scales it as the job asks, and screens it into the printer's
// dots as it goes: one pass over the page, no grey rows.  PAPPL scales by
// repeating pixels; an image enlarged more than twice is first enlarged
// smoothly here by a whole factor, so that no pixel repeats more than
// twice (a halftone cell is wider than that).  ppi 0: fitted to the page.
bool print_image(pappl_job_t *job, pappl_device_t *device, pappl_pr_options_t *options, std::vector<uint8_t> pixels,
                 unsigned width, unsigned height, int ppi)
{
    cups_page_header2_t &sheet = options->header;
    // How much PAPPL will enlarge it: turned as it turns it, fitted or
    // filled, or at its own resolution.
    const double across = sheet.cupsWidth, down = sheet.cupsHeight;
    const ipp_orient_t turn = options->orientation_requested;
    const bool turned = turn == IPP_ORIENT_LANDSCAPE || turn == IPP_ORIENT_REVERSE_LANDSCAPE ||
                        (turn == IPP_ORIENT_NONE && width > height && across < down);
    const double wide = turned ? height : width, high = turned ? width : height;
    double scale = options->print_scaling == PAPPL_SCALING_FILL ? std::max(across / wide, down / high)
                                                                 : std::min(across / wide, down / high);
    const double natural = ppi > 0 ? double(sheet.HWResolution[0]) / ppi : 0;
    if (options->print_scaling == PAPPL_SCALING_NONE ||
        (natural > 0 && natural * wide <= across && natural * high <= down &&
         options->print_scaling != PAPPL_SCALING_FIT && options->print_scaling != PAPPL_SCALING_FILL))
        scale = natural > 0 ? natural : double(sheet.HWResolution[0]) / 200;  // PAPPL's 200 ppi when it has none
    unsigned factor = scale > 2 ? static_cast<unsigned>(std::ceil(scale / 2)) : 1;
    // At most a 600 dpi A4 page's pixels enlarged.
    while (factor > 1 && double(width) * height * factor * factor > 35e6)
        factor--;
    if (factor > 1) {
        pixels = enlarged(pixels, width, height, factor);
        width *= factor;
        height *= factor;
        ppi *= static_cast<int>(factor);
    }
    // The page as 1-bit black, PAPPL inking a pixel where its grey is at
    // most the dither's value: the screen's threshold less one.
    const Screen screen(halftone_for(options->print_content_optimize), sheet.HWResolution[0]);
    for (unsigned y = 0; y < 16; y++)
        for (unsigned x = 0; x < 16; x++)
            options->dither[y][x] = static_cast<uint8_t>(screen.thresholds(y)[x] - 1);
    sheet.cupsColorSpace = CUPS_CSPACE_K;
    sheet.cupsBitsPerColor = sheet.cupsBitsPerPixel = 1;
    sheet.cupsNumColors = 1;
    sheet.cupsBytesPerLine = (sheet.cupsWidth + 7) / 8;
    return papplJobFilterImage(job, device, options, pixels.data(), static_cast<int>(width), static_cast<int>(height),
                               1, ppi, false);
}

// A job's spooled document, opened without following a link.
struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using SpooledFile = std::unique_ptr<FILE, FileCloser>;
SpooledFile open_spooled(pappl_job_t *job)
{
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE *file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (!file && fd >= 0)
        close(fd);
    return SpooledFile(file);
}

// Why an image of this size is not decoded: past max_image_side or
// max_image_pixels, or without a pixel.
std::optional<std::string> size_refusal(const char *kind, unsigned width, unsigned height)
{
    if (width && height && width <= max_image_side && height <= max_image_side &&
        static_cast<unsigned long>(width) * height <= max_image_pixels)
        return std::nullopt;
    return std::string("The ") + kind + " image is too large to print: " + std::to_string(width) + " x " +
           std::to_string(height) + " pixels.";
}

// libjpeg's errors end the decoding here.
struct JpegErrors {
    jpeg_error_mgr manager{};
    std::jmp_buf back{};
    std::array<char, JMSG_LENGTH_MAX> message{};
};

}  // namespace

// PAPPL 1.3's own PNG reader never returns from some broken files; this
// one decodes within max_image_pixels and ends the job on any fault.
bool print_png(pappl_job_t *job, pappl_device_t *device, void *)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    const SpooledFile file = open_spooled(job);
    if (!file) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The PNG image cannot be opened.");
        return false;
    }
    if (!png_image_begin_read_from_stdio(&image, file.get())) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, std::string("The PNG image cannot be read: ") + image.message);
        return false;
    }
    if (const std::optional<std::string> refused = size_refusal("PNG", image.width, image.height)) {
        png_image_free(&image);
        fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, *refused);
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    const png_color white{255, 255, 255};
    if (!png_image_finish_read(&image, &white, pixels.data(), 0, nullptr)) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, std::string("The PNG image cannot be read: ") + image.message);
        png_image_free(&image);
        return false;
    }
    const PrintOptions options(papplJobCreatePrintOptions(job, 1, false));
    // No resolution of its own: the image is fitted to the page.
    return print_image(job, device, options.get(), std::move(pixels), image.width, image.height, 0);
}

// A JPEG decoded to grey within max_image_pixels, as PAPPL's own reader
// does, and printed as print_image does: the job's resolution from the
// image's own, where it has one.
bool print_jpeg(pappl_job_t *job, pappl_device_t *device, void *)
{
    const SpooledFile file = open_spooled(job);
    if (!file) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The JPEG image cannot be opened.");
        return false;
    }
    JpegErrors errors;
    jpeg_decompress_struct decoder{};
    decoder.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr common) {
        auto *self = reinterpret_cast<JpegErrors *>(common->err);
        (*common->err->format_message)(common, self->message.data());
        std::longjmp(self->back, 1);
    };
    errors.manager.output_message = [](j_common_ptr) {};
    jpeg_create_decompress(&decoder);
    std::vector<uint8_t> pixels;  // before the jump's target: no destructor is skipped
    unsigned width = 0, height = 0;
    int ppi = 0;
    if (setjmp(errors.back)) {
        jpeg_destroy_decompress(&decoder);
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 std::string("The JPEG image cannot be read: ") + errors.message.data());
        return false;
    }
    jpeg_stdio_src(&decoder, file.get());
    jpeg_read_header(&decoder, TRUE);
    decoder.out_color_space = JCS_GRAYSCALE;
    jpeg_calc_output_dimensions(&decoder);
    width = decoder.output_width;
    height = decoder.output_height;
    if (const std::optional<std::string> refused = size_refusal("JPEG", width, height)) {
        jpeg_destroy_decompress(&decoder);
        fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, *refused);
        return false;
    }
    const unsigned dots_x = decoder.X_density, dots_y = decoder.Y_density;
    ppi = decoder.density_unit == 1 ? int(dots_x) : decoder.density_unit == 2 ? int(dots_x * 254 / 100) : 0;
    if (dots_x != dots_y)
        ppi = 0;  // pixels not square: fitted to the page
    pixels.resize(size_t{width} * height);
    jpeg_start_decompress(&decoder);
    while (decoder.output_scanline < height) {
        JSAMPROW row = pixels.data() + size_t{decoder.output_scanline} * width;
        jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    const PrintOptions options(papplJobCreatePrintOptions(job, 1, false));
    return print_image(job, device, options.get(), std::move(pixels), width, height, ppi);
}

}  // namespace quillet::app
