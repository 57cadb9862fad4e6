#pragma once
// plotanix --acquire INSTRUMENT PORT: the program as the bus's controller
// rather than its plotter. The USB-GPIB adapter on the port is made the
// controller, the instrument is asked for its plot by its recipe, and what
// it sends is plotted by the 7470A model, saved as the next page and kept
// in the transcript; then the program ends: status 0, or 1 with one line
// saying what failed. --count takes a series, one page each.

#include "settings/settings.h"

#include <string>

namespace plotanix {

// --list-instruments: each recipe with its usual address, what it sends and
// how its plot ends.
std::string instrumentList();

int runAcquire(const Settings& settings);

} // namespace plotanix
