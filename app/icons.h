// The application's own icon, drawn at start-up: a sheet of paper coming
// out of a printer, in the three sizes PAPPL shows.
#pragma once

#include <cstdint>
#include <vector>

namespace quillet::app {

// A PNG of the icon, size x size pixels, grey with transparency.
std::vector<uint8_t> icon_png(unsigned size);

}  // namespace quillet::app
