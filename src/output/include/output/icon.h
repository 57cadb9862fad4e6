#pragma once
// The program's icon, drawn in code: a sheet of paper with a plotted curve
// and a pen resting on it.

#include <cstdint>
#include <vector>

namespace plotanix {

// size x size pixels, row by row from the top, each 0xAARRGGBB.
std::vector<uint32_t> drawPlotterIcon(int size);

} // namespace plotanix
