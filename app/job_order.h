// How jobs reach the printer: one at a time, each once, and a printer
// that does not answer.
#pragma once

#include <optional>
#include <string>

namespace quillet::app {

// On the thread printing a streamed raster: why the job ends at once, when
// its printer did not answer; the device it was given takes nothing.
std::optional<std::string> unreachable_device();

}  // namespace quillet::app
