// JPEG and PNG: decoded here within bounds, placed, scaled and screened by
// PAPPL's image filter.
#pragma once

#include <pappl/pappl.h>

namespace quillet::app {

// The largest image decoded, in pixels: a 100 MB grey buffer at most.
inline constexpr unsigned long max_image_pixels = 100'000'000;
inline constexpr unsigned max_image_side = 30000;

// The filters of PNG and JPEG documents.
bool print_png(pappl_job_t *job, pappl_device_t *device, void *);
bool print_jpeg(pappl_job_t *job, pappl_device_t *device, void *);

}  // namespace quillet::app
