#pragma once
// What the program says of a USB-GPIB adapter's set-up, on the screen and
// in the journal alike: the adapter's own words and the plotter's place on
// the bus, what it complained of, or that nothing answered and the port is
// used as a plain line.

#include "serial/gpib_adapter.h"

#include <string>
#include <vector>

namespace plotanix {

// The adapter's complaints quoted at most; the rest are counted.
inline constexpr size_t maxQuotedComplaints = 10;

// One line each; port is shown as it is (the caller escapes it).
std::vector<std::string> adapterNotice(const GpibSetUp& setUp, const GpibSettings& gpib,
                                       const std::string& port);

// 12000 as "12,000".
std::string countText(long long count);

// Where the plotter is on the bus: "HP-IB address 5", "HP-IB, listening only".
std::string busPlace(const GpibSettings& gpib);

} // namespace plotanix
