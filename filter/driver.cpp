// Filter driver: the command line, the raster input, cancellation, the page
// loop with its status lines, the page settings taken from each page header,
// and fitting the page image to the printable area.
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "filter.h"

// Page settings and their values before the first page.
int ResX = 600;
int ResY = 600;
int PageWidth = 4956;
int PageHeight = 7014;
int PaperCode = 9;
int MediaCode = NORMAL_PAPER;
int SourceCode = 7;
int DensityLevel = DENSITY_NORMAL;
int Copies = 1;
int Duplex = 0;
int Mirror = 0;
int ImgOffsetLeft = 0;
int ImgOffsetTop = 0;
const float MaxPrintWidth = 8.26f;
const float MaxPrintHeight = 11.69f;

int Page = 0;
volatile sig_atomic_t Canceled = 0;
unsigned char *ImageBuffer = NULL;
int PageLost = 0;
unsigned long long PageBufferLimit = INT_MAX;
int DebugFile = 0;
const char *DebugFileName = "/tmp/rastertoquilett.tmp";

// Bit-reversal table: entry i is i with its bits in reverse order.
const unsigned char Mirror1[256] = {
    0x00, 0x80, 0x40, 0xC0, 0x20, 0xA0, 0x60, 0xE0,
    0x10, 0x90, 0x50, 0xD0, 0x30, 0xB0, 0x70, 0xF0,
    0x08, 0x88, 0x48, 0xC8, 0x28, 0xA8, 0x68, 0xE8,
    0x18, 0x98, 0x58, 0xD8, 0x38, 0xB8, 0x78, 0xF8,
    0x04, 0x84, 0x44, 0xC4, 0x24, 0xA4, 0x64, 0xE4,
    0x14, 0x94, 0x54, 0xD4, 0x34, 0xB4, 0x74, 0xF4,
    0x0C, 0x8C, 0x4C, 0xCC, 0x2C, 0xAC, 0x6C, 0xEC,
    0x1C, 0x9C, 0x5C, 0xDC, 0x3C, 0xBC, 0x7C, 0xFC,
    0x02, 0x82, 0x42, 0xC2, 0x22, 0xA2, 0x62, 0xE2,
    0x12, 0x92, 0x52, 0xD2, 0x32, 0xB2, 0x72, 0xF2,
    0x0A, 0x8A, 0x4A, 0xCA, 0x2A, 0xAA, 0x6A, 0xEA,
    0x1A, 0x9A, 0x5A, 0xDA, 0x3A, 0xBA, 0x7A, 0xFA,
    0x06, 0x86, 0x46, 0xC6, 0x26, 0xA6, 0x66, 0xE6,
    0x16, 0x96, 0x56, 0xD6, 0x36, 0xB6, 0x76, 0xF6,
    0x0E, 0x8E, 0x4E, 0xCE, 0x2E, 0xAE, 0x6E, 0xEE,
    0x1E, 0x9E, 0x5E, 0xDE, 0x3E, 0xBE, 0x7E, 0xFE,
    0x01, 0x81, 0x41, 0xC1, 0x21, 0xA1, 0x61, 0xE1,
    0x11, 0x91, 0x51, 0xD1, 0x31, 0xB1, 0x71, 0xF1,
    0x09, 0x89, 0x49, 0xC9, 0x29, 0xA9, 0x69, 0xE9,
    0x19, 0x99, 0x59, 0xD9, 0x39, 0xB9, 0x79, 0xF9,
    0x05, 0x85, 0x45, 0xC5, 0x25, 0xA5, 0x65, 0xE5,
    0x15, 0x95, 0x55, 0xD5, 0x35, 0xB5, 0x75, 0xF5,
    0x0D, 0x8D, 0x4D, 0xCD, 0x2D, 0xAD, 0x6D, 0xED,
    0x1D, 0x9D, 0x5D, 0xDD, 0x3D, 0xBD, 0x7D, 0xFD,
    0x03, 0x83, 0x43, 0xC3, 0x23, 0xA3, 0x63, 0xE3,
    0x13, 0x93, 0x53, 0xD3, 0x33, 0xB3, 0x73, 0xF3,
    0x0B, 0x8B, 0x4B, 0xCB, 0x2B, 0xAB, 0x6B, 0xEB,
    0x1B, 0x9B, 0x5B, 0xDB, 0x3B, 0xBB, 0x7B, 0xFB,
    0x07, 0x87, 0x47, 0xC7, 0x27, 0xA7, 0x67, 0xE7,
    0x17, 0x97, 0x57, 0xD7, 0x37, 0xB7, 0x77, 0xF7,
    0x0F, 0x8F, 0x4F, 0xCF, 0x2F, 0xAF, 0x6F, 0xEF,
    0x1F, 0x9F, 0x5F, 0xDF, 0x3F, 0xBF, 0x7F, 0xFF,
};

// Reports a failure on standard error and, when fatal, ends the process
// with status 1.  What is already buffered for standard output is handed on
// by the normal exit.
void error(int fatal, const char *fmt, ...)
{
    char message[512];
    va_list ap;

    va_start(ap, fmt);
    vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);

    fputs(message, stderr);
    if (fatal) {
        message[strcspn(message, "\n")] = '\0';
        _cupsLangPrintFilter(stderr, "ERROR", "The print job was stopped: %s", message);
        exit(1);
    }
}

// Appends a line to the debug log when the debug level is at least level.
void debug_to_file(int level, const char *fmt, ...)
{
    if (DebugFile < level)
        return;

    FILE *fp = fopen(DebugFileName, "a+");
    if (!fp)
        return;

    va_list ap;
    va_start(ap, fmt);
    vfprintf(fp, fmt, ap);
    va_end(ap);
    fclose(fp);
}

// Puts the page settings and the run state back to their values at program
// start.
void reset_page_settings(void)
{
    ResX = 600;
    ResY = 600;
    PageWidth = 4956;
    PageHeight = 7014;
    PaperCode = 9;
    MediaCode = NORMAL_PAPER;
    SourceCode = 7;
    DensityLevel = DENSITY_NORMAL;
    Copies = 1;
    Duplex = 0;
    Mirror = 0;
    ImgOffsetLeft = 0;
    ImgOffsetTop = 0;
    Page = 0;
    PageLost = 0;
}

void CancelJob(int sig)
{
    (void)sig;
    Canceled = 1;
}

void Setup(void)
{
}

void Shutdown(void)
{
}

// Standard output did not take the stream: the printer will not get the
// job, so the run ends here with an error.
static void stream_failed(void)
{
    _cupsLangPrintError("ERROR", "Unable to write print data");
    exit(1);
}

// Ends the page document: end-of-document record, flush, page buffer freed.
void EndPage(void)
{
    oak_record(stdout, OAK_TYPE_END_DOC, NULL, 0);
    if (fflush(stdout) != 0)
        stream_failed();
    if (ImageBuffer) {
        free(ImageBuffer);
        ImageBuffer = NULL;
    }
}

// Paper codes by page length in points.
static int paper_code(unsigned length)
{
    switch (length) {
    case 540: return 37;  // envelope Monarch
    case 595: return 11;  // A5
    case 624: return 27;  // envelope DL
    case 649: return 28;  // envelope C5
    case 729: return 13;  // B5 (JIS)
    case 756: return 7;   // Executive
    case 792: return 1;   // Letter
    case 842: return 9;   // A4
    default: return 256;  // user-defined size
    }
}

// The value of an enumerated header field.  The raster stream can put any
// 32-bit value there, which the enumeration type cannot hold, so the field's
// bytes are read as an unsigned integer.
static_assert(sizeof(cups_bool_t) == 4 && sizeof(cups_orient_t) == 4 && sizeof(cups_order_t) == 4 &&
                  sizeof(cups_cspace_t) == 4,
              "enumerated header fields are 32 bits");
static unsigned enum_field(const void *field)
{
    unsigned value;
    memcpy(&value, field, sizeof value);
    return value;
}

// Takes the page settings from the page header.
void StartPage(ppd_file_t *ppd, cups_page_header2_t *header)
{
    (void)ppd;

    debug_to_file(1, "DEBUG: StartPage...\n");
    debug_to_file(1, "DEBUG: Duplex = %d\n", enum_field(&header->Duplex));
    debug_to_file(1, "DEBUG: HWResolution = [ %d %d ]\n", header->HWResolution[0], header->HWResolution[1]);
    debug_to_file(1, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n", header->ImagingBoundingBox[0],
                  header->ImagingBoundingBox[1], header->ImagingBoundingBox[2], header->ImagingBoundingBox[3]);
    debug_to_file(1, "DEBUG: Margins = [ %d %d ]\n", header->Margins[0], header->Margins[1]);
    debug_to_file(1, "DEBUG: ManualFeed = %d\n", enum_field(&header->ManualFeed));
    debug_to_file(1, "DEBUG: MediaPosition = %d\n", header->MediaPosition);
    debug_to_file(1, "DEBUG: NumCopies = %d\n", header->NumCopies);
    debug_to_file(1, "DEBUG: Orientation = %d\n", enum_field(&header->Orientation));
    debug_to_file(1, "DEBUG: PageSize = [ %d %d ]\n", header->PageSize[0], header->PageSize[1]);
    debug_to_file(1, "DEBUG: cupsWidth = %d\n", header->cupsWidth);
    debug_to_file(1, "DEBUG: cupsHeight = %d\n", header->cupsHeight);
    debug_to_file(1, "DEBUG: cupsMediaType = %d\n", header->cupsMediaType);
    debug_to_file(1, "DEBUG: cupsBitsPerColor = %d\n", header->cupsBitsPerColor);
    debug_to_file(1, "DEBUG: cupsBitsPerPixel = %d\n", header->cupsBitsPerPixel);
    debug_to_file(1, "DEBUG: cupsBytesPerLine = %d\n", header->cupsBytesPerLine);
    debug_to_file(1, "DEBUG: cupsColorOrder = %d\n", enum_field(&header->cupsColorOrder));
    debug_to_file(1, "DEBUG: cupsColorSpace = %d\n", enum_field(&header->cupsColorSpace));
    debug_to_file(1, "DEBUG: cupsCompression = %d\n", header->cupsCompression);
    debug_to_file(1, "DEBUG: MirrorPrint = %d\n", enum_field(&header->MirrorPrint));

    Duplex = (int)enum_field(&header->Duplex);
    ResX = (int)header->HWResolution[0];
    ResY = (int)header->HWResolution[1];
    PaperCode = 9;
    Copies = (int)header->NumCopies;
    Mirror = (int)header->cupsInteger[0];
    SourceCode = 7;
    MediaCode = (int)header->cupsMediaType;

    // The density step is cupsCompression - 2 as a signed difference, so
    // that huge values count as negative, limited to the five steps.
    int density = (int)(header->cupsCompression - 2u);
    if (density < DENSITY_THINNESS_2)
        density = DENSITY_THINNESS_2;
    if (density > DENSITY_DARKNESS_2)
        density = DENSITY_DARKNESS_2;
    DensityLevel = density;

    PageWidth = (int)header->cupsWidth;
    PageHeight = (int)header->cupsHeight;
    PaperCode = paper_code(header->PageSize[1]);
}

// Reverses the pixels of one row in place through the bit-reversal table.
void mirror_bytes(unsigned char *sp, int bpl, const unsigned char *mirror)
{
    unsigned char *ep = sp + bpl - 1;

    while (sp < ep) {
        unsigned char left = *sp;
        unsigned char right = *ep;
        *sp++ = mirror[right];
        *ep-- = mirror[left];
    }
    if (sp == ep)
        *sp = mirror[*sp];
}

// Copies the top-left part of the page: h rows of rawBpl bytes.
void clip_image(unsigned char *buf, int rawBpl, int h, const unsigned char *imageIn, int imageWBytes, int imageH)
{
    (void)imageH;
    for (int y = 0; y < h; y++)
        memcpy(buf + (size_t)y * (size_t)rawBpl, imageIn + (size_t)y * (size_t)imageWBytes, (size_t)rawBpl);
}

// A printable-area limit in pixels: the resolution times the limit in
// inches, in single precision, truncated toward zero.  Returns 0 when the
// product does not fit an int.
static int print_limit(int res, float inches, long long *limit)
{
    float product = (float)res * inches;
    if (!(product >= -2147483648.0f && product < 2147483648.0f))
        return 0;
    *limit = (int)product;
    return 1;
}

// Works out the image that goes to the printer for an imageW x imageH page
// at resX x resY dpi.  Returns 0 when the page fits the printable area as it
// is (w and h are then the page's), 1 when it has to be clipped to the
// top-left w x h pixels, and -1 when no image can be made of it: the limits
// do not fit an int, or the clipped size is negative, larger than the page,
// or 0 pixels wide with rows left.
int fit_image(int resX, int resY, long long imageW, long long imageH, int *w, int *h)
{
    long long maxPrintW, maxPrintH;

    if (!print_limit(resX, MaxPrintWidth, &maxPrintW) || !print_limit(resY, MaxPrintHeight, &maxPrintH))
        return -1;

    if (imageW <= maxPrintW && imageH <= maxPrintH) {
        *w = (int)imageW;
        *h = (int)imageH;
        return 0;
    }

    long long margin = (int)(resY * 0.236);
    long long clipW = imageW > maxPrintW ? maxPrintW - margin : imageW;
    clipW = (clipW + 31) & ~31LL;
    long long clipH = imageH > maxPrintH ? maxPrintH - margin : imageH;

    if (clipW < 0 || clipH < 0 || clipW > imageW || clipH > imageH || (clipW == 0 && clipH > 0))
        return -1;
    *w = (int)clipW;
    *h = (int)clipH;
    return 1;
}

// Fits the page image to the printable area and writes the page.  A page
// larger than the area goes out as a copy of its top-left part.
int pbm_pages(unsigned char *imageIn, int imageW, int imageWBytes, int imageH, FILE *ofp)
{
    int w, h;

    debug_to_file(1, "DEBUG: pbm_pages = [ %d %d %d]\n", imageW, imageWBytes, imageH);

    int fit = fit_image(ResX, ResY, imageW, imageH, &w, &h);
    if (fit == 0) {
        pbm_page(imageIn, imageW, imageH, ofp);
        return 0;
    }
    if (fit < 0) {
        // The page header check refuses such pages before they are read.
        _cupsLangPrintFilter(stderr, "ERROR", "Page %d cannot be fitted to the printable area.", Page);
        PageLost = 1;
        return 1;
    }

    int bpl = (w + 7) / 8;
    size_t size = (size_t)bpl * (size_t)h;
    unsigned char *buf = (unsigned char *)malloc(size ? size : 1);
    if (!buf) {
        _cupsLangPrintFilter(stderr, "ERROR", "Not enough memory to fit page %d to the printable area.", Page);
        PageLost = 1;
        return 1;
    }

    clip_image(buf, bpl, h, imageIn, imageWBytes, imageH);
    debug_to_file(1, "DEBUG: clip_image = [ %d %d %d --- %d %d ]\n", w, bpl, h, imageWBytes, imageH);

    PageWidth = w;
    PageHeight = h;
    pbm_page(buf, w, h, ofp);
    free(buf);
    return 0;
}

// Checks that a page header describes a page the filter can take: rows that
// fit the page buffer, a buffer that fits in 31 bits, a width the encoder can
// take, and sizes that the page records can carry.  Returns null for a good
// header, else why, holding the reason.
const char *check_page_header(const cups_page_header2_t *header, int page, char *why, size_t whyLen)
{
    unsigned long long width = header->cupsWidth;
    unsigned long long height = header->cupsHeight;
    unsigned long long rowBytes = (width + 7) / 8;

    if (header->cupsBitsPerPixel != 1) {
        snprintf(why, whyLen, "Page %d has %u bits per pixel; this printer takes 1-bit black raster only.", page,
                 header->cupsBitsPerPixel);
        return why;
    }
    if (width == 0) {
        snprintf(why, whyLen, "Page %d is 0 pixels wide.", page);
        return why;
    }
    if (header->cupsBytesPerLine != rowBytes) {
        snprintf(why, whyLen, "Page %d has %u bytes per line, but a row of %u pixels takes %llu.", page,
                 header->cupsBytesPerLine, header->cupsWidth, rowBytes);
        return why;
    }

    unsigned long long rawW = (width + 31) & ~31ULL;
    unsigned long long size = rawW / 8 * height;
    if (rawW > INT_MAX || height > INT_MAX || size > INT_MAX || size > PageBufferLimit) {
        snprintf(why, whyLen, "Page %d is too large: %u x %u pixels need a page buffer of %llu bytes.", page,
                 header->cupsWidth, header->cupsHeight, size);
        return why;
    }

    int resX = (int)header->HWResolution[0];
    int resY = (int)header->HWResolution[1];
    int w, h;
    int fit = fit_image(resX, resY, (long long)rawW, (long long)height, &w, &h);
    if (fit < 0) {
        snprintf(why, whyLen, "Page %d cannot be fitted to the printable area at a resolution of %u x %u dpi.",
                 page, header->HWResolution[0], header->HWResolution[1]);
        return why;
    }

    long long pageW = fit ? w : (long long)width;
    long long pageH = fit ? h : (long long)height;
    if ((resX != 0 && pageW * 1200 > INT_MAX) || (resY != 0 && pageH * 1200 > INT_MAX)) {
        snprintf(why, whyLen, "Page %d is too large for the printer: %lld x %lld pixels at %u x %u dpi.", page,
                 pageW, pageH, header->HWResolution[0], header->HWResolution[1]);
        return why;
    }
    return NULL;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static ppd_file_t *open_ppd(const char *path)
{
    return ppdOpenFile(path);
}
static void close_ppd(ppd_file_t *ppd)
{
    ppdClose(ppd);
}
static void report_ppd_error(void)
{
    int linenum;
    ppd_status_t status = ppdLastError(&linenum);
    fprintf(stderr, "DEBUG: %s on line %d.\n", ppdErrorString(status), linenum);
}
#pragma GCC diagnostic pop

// Reads and prints every page of the raster stream.  Returns 0 when the
// stream ended or the job was cancelled, PAGE_REFUSED when a page header
// was refused, and PAGE_NO_MEMORY when a page buffer could not be had; the
// caller then ends the run with status 1.
int page_loop(cups_raster_t *ras, ppd_file_t *ppd)
{
    cups_page_header2_t header;
    unsigned y;
    int rawW, rawBpl;
    size_t index;

    while (cupsRasterReadHeader2(ras, &header)) {
        if (Canceled)
            break;

        char why[256];
        if (check_page_header(&header, Page + 1, why, sizeof why)) {
            _cupsLangPrintFilter(stderr, "ERROR", "%s", why);
            return PAGE_REFUSED;
        }

        Page++;
        fprintf(stderr, "PAGE: %d %d\n", Page, header.NumCopies);
        _cupsLangPrintFilter(stderr, "INFO", "Starting page %d.", Page);

        start_doc(stdout);
        StartPage(ppd, &header);

        // Rows are padded to a multiple of 32 pixels; the header check has
        // made sure that the buffer size fits in 31 bits.
        rawW = (int)((header.cupsWidth + 31ULL) & ~31ULL);
        rawBpl = (rawW + 7) / 8;
        size_t size = (size_t)rawBpl * header.cupsHeight;
        ImageBuffer = (unsigned char *)malloc(size);
        if (!ImageBuffer)
            return PAGE_NO_MEMORY;

        // The buffer starts out zero.  Each row is cleared right before it
        // is read, while it is in the cache, and the rows left unread are
        // cleared after the loop: one pass over the buffer instead of two.
        int readFailed = 0;
        for (y = 0, index = 0; y < header.cupsHeight; y++) {
            if (Canceled)
                break;
            if ((y & 127) == 0) {
                unsigned percent = (unsigned)((unsigned long long)y * 100 / header.cupsHeight);
                _cupsLangPrintFilter(stderr, "INFO", "Printing page %d, %u%% complete.", Page, percent);
                fprintf(stderr, "ATTR: job-media-progress=%u\n", percent);
            }
            memset(ImageBuffer + index, 0, (size_t)rawBpl);
            unsigned got = cupsRasterReadPixels(ras, ImageBuffer + index, header.cupsBytesPerLine);
            index += (size_t)rawBpl;
            if (got == 0) {
                readFailed = 1;
                break;
            }
        }
        size_t cleared = (size_t)(y + readFailed) * (size_t)rawBpl;
        memset(ImageBuffer + cleared, 0, size - cleared);

        pbm_pages(ImageBuffer, rawW, rawBpl, (int)header.cupsHeight, stdout);

        _cupsLangPrintFilter(stderr, "INFO", "Finished page %d.", Page);
        EndPage();

        if (Canceled)
            break;
    }
    return 0;
}

// The raster input.  Given a plain descriptor, the raster library makes
// one read call per row of an uncompressed stream; reading through a
// 64 KiB buffer makes the calls a hundred times fewer.
struct RASTER_INPUT {
    int fd;
    size_t pos, len;
    unsigned char buf[65536];
};
static RASTER_INPUT RasterInput;

static ssize_t read_raster_input(void *ctx, unsigned char *data, size_t bytes)
{
    RASTER_INPUT *in = (RASTER_INPUT *)ctx;

    if (in->pos == in->len) {
        if (bytes >= sizeof in->buf)
            return read(in->fd, data, bytes);
        ssize_t got = read(in->fd, in->buf, sizeof in->buf);
        if (got <= 0)
            return got;
        in->pos = 0;
        in->len = (size_t)got;
    }
    size_t n = in->len - in->pos;
    if (n > bytes)
        n = bytes;
    memcpy(data, in->buf + in->pos, n);
    in->pos += n;
    return (ssize_t)n;
}

cups_raster_t *open_raster_input(int fd)
{
    RasterInput.fd = fd;
    RasterInput.pos = RasterInput.len = 0;
    return cupsRasterOpenIO(read_raster_input, &RasterInput, CUPS_RASTER_READ);
}

int rastertoquillet_main(int argc, char *argv[])
{
    int fd;
    cups_raster_t *ras;
    ppd_file_t *ppd;
    struct sigaction action;

    setbuf(stderr, NULL);

    if (argc != 6 && argc != 7) {
        _cupsLangPrintFilter(stderr, "ERROR", "%s job-id user title copies options [file]", "rastertoquillet");
        return 1;
    }

    if (argc == 7) {
        if ((fd = open(argv[6], O_RDONLY)) == -1) {
            _cupsLangPrintError("ERROR", "Unable to open raster file");
            sleep(1);
            return 1;
        }
    } else {
        fd = 0;
    }

    ras = open_raster_input(fd);

    // Interrupted writes are restarted, so that a cancel never cuts a
    // record short while standard output is blocked.
    Canceled = 0;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = CancelJob;
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, NULL);

    ppd = open_ppd(getenv("PPD"));
    if (!ppd) {
        _cupsLangPrintFilter(stderr, "ERROR", "The PPD file could not be opened.");
        report_ppd_error();
        cupsRasterClose(ras);
        if (fd != 0)
            close(fd);
        return 1;
    }

    Setup();
    Page = 0;

    int ended = page_loop(ras, ppd);
    if (ended == PAGE_NO_MEMORY) {
        close_ppd(ppd);
        cupsRasterClose(ras);
        if (fd != 0)
            close(fd);
        _cupsLangPrintFilter(stderr, "ERROR", "No enough memory.");
        return 1;
    }

    Shutdown();
    close_ppd(ppd);
    cupsRasterClose(ras);
    if (fd != 0)
        close(fd);

    if (fclose(stdout) != 0)
        stream_failed();

    if (ended == PAGE_REFUSED)
        return 1;
    if (Page == 0) {
        _cupsLangPrintFilter(stderr, "ERROR", "No pages were found.");
        return 1;
    }
    return PageLost ? 1 : 0;
}
