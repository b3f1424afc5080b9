// Declarations shared by the files of the filter: page settings, page state,
// the hooks of the page cycle, the stream writer and band compression.
#ifndef FILTER_H
#define FILTER_H

#include <csignal>
#include <cstddef>
#include <cstdio>

#include <cups/ppd.h>
#include <cups/raster.h>

#include <ctime>

#include "oak.h"

// CUPS's localised message helpers.  libcups exports them without a public
// header.
extern "C" int _cupsLangPrintFilter(FILE *fp, const char *prefix, const char *message, ...)
    __attribute__((format(printf, 3, 4)));
extern "C" int _cupsLangPrintError(const char *prefix, const char *message);

// Page settings, taken from each page header by StartPage.
extern int ResX, ResY;              // dots per inch
extern int PageWidth, PageHeight;   // pixels
extern int PaperCode, MediaCode, SourceCode, DensityLevel;
extern int Copies, Duplex, Mirror;
extern int ImgOffsetLeft, ImgOffsetTop;  // 1/1200 inch
extern const float MaxPrintWidth, MaxPrintHeight;  // printable area, inches

// Print density steps carried by cupsCompression.
enum emDensityLevel {
    DENSITY_THINNESS_2 = 0,
    DENSITY_THINNESS_1 = 1,
    DENSITY_NORMAL = 2,
    DENSITY_DARKNESS_1 = 3,
    DENSITY_DARKNESS_2 = 4,
};

// Media codes carried by cupsMediaType.
enum emPaperType {
    NORMAL_PAPER = 0,
    DANGAN_PAPER = 1,
    NIUPI_80G_PAPER = 2,
    NIUPI_120G_PAPER = 3,
    NIUPI_200G_PAPER = 4,
    NIUPI_250G_PAPER = 5,
    BIAOQIAN_160G_PAPER = 6,
    BIAOQIAN_180G_PAPER = 7,
    BIAOQIAN_NPM_PAPER = 8,
    LIUSUAN_PAPER = 9,
};

// Run state.
extern int Page;                        // current page, from 1
extern volatile sig_atomic_t Canceled;  // set by SIGTERM
extern unsigned char *ImageBuffer;      // page buffer, null between pages
extern int PageLost;                    // a page could not be printed: the run fails
extern unsigned long long PageBufferLimit;  // largest page buffer taken, in bytes
extern int DebugFile;                   // debug level, 0 = no debug log
extern const char *DebugFileName;

// Shared helpers.
void error(int fatal, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void debug_to_file(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Page cycle (driver).
int rastertoquillet_main(int argc, char *argv[]);
enum { PAGE_REFUSED = 1, PAGE_NO_MEMORY = 2 };
int page_loop(cups_raster_t *ras, ppd_file_t *ppd);
cups_raster_t *open_raster_input(int fd);
void CancelJob(int sig);
void Setup(void);
void StartPage(ppd_file_t *ppd, cups_page_header2_t *header);
void EndPage(void);
void Shutdown(void);
void reset_page_settings(void);
const char *check_page_header(const cups_page_header2_t *header, int page, char *why, size_t whyLen);

// Page image preparation (driver).
extern const unsigned char Mirror1[256];
int pbm_pages(unsigned char *imageIn, int imageW, int imageWBytes, int imageH, FILE *ofp);
void clip_image(unsigned char *buf, int rawBpl, int h, const unsigned char *imageIn, int imageWBytes, int imageH);
void mirror_bytes(unsigned char *sp, int bpl, const unsigned char *mirror);
int fit_image(int resX, int resY, long long imageW, long long imageH, int *w, int *h);
int grid_1200(int pixels, int res);

// OAKT stream writer.
int oak_record(FILE *fp, int type, const void *payload, int paylen);
void start_doc(FILE *fp);
void oak_time_fill(OAK_TIME *rec, time_t now);
int pbm_page(unsigned char *buf, int w, int h, FILE *ofp);

// Band compression.
struct _BIE_CHAIN {
    unsigned char *data;
    size_t len;
    struct _BIE_CHAIN *next;
};
typedef struct _BIE_CHAIN BIE_CHAIN;

extern long JbgOptions[5];
void output_jbig(unsigned char *start, size_t len, void *cbarg);
void free_chain(BIE_CHAIN *chain);
void write_bands(unsigned char *buf, int w, int h, FILE *ofp);

#endif
