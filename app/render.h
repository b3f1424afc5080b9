// Printing a job: PAPPL's raster callbacks, driving the encoding core.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillet::app {

// The vendor attribute for mirror printing, and its printer default.
inline constexpr const char *mirror_attribute = "quillet-mirror";

bool start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned y,
                const unsigned char *line);
bool end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// The most pages one job may print, copies included: a document that
// never ends, or a thousand copies, ends with the reason instead.  The
// printer prints 20 pages a minute.
inline constexpr unsigned default_page_limit = 200;
void set_page_limit(unsigned pages);

// Ends the job with a reason the user sees in its state and in the log.
void fail_job(pappl_job_t *job, pappl_jreason_t reason, const std::string &message);

// 8-bit grey (0 black, 255 white) to 1-bit black, most significant bit
// leftmost.  Text and graphics are thresholded; photos dithered with an
// ordered 16 x 16 matrix.  White never prints a dot, black always does.
// ink_is_high reads 255 as black (CUPS's "black" colour space).
void grey_to_black(std::span<const uint8_t> grey, unsigned y, bool dither, std::span<uint8_t> black,
                   bool ink_is_high = false);

// The page length in points for a length in hundredths of millimetres,
// measured at resolution dots per inch (0: exact): the printer's own size
// when it is within a pixel and a half of one.
unsigned length_points(int hundredths_mm, int resolution);

// Whether a printer with this IEEE 1284 device ID takes this driver: its
// maker is Quillet, or its command set has OAKT.
bool takes_this_driver(const char *device_id);

// The density level 0 to 4 from the printer's configured darkness (0 to
// 100) and the job's print-darkness (-100 to 100).
int density_level(int configured, int job);

}  // namespace quillet::app
