// plotanix-demo --gpib, as a user without hardware meets it: the HP-86B on
// HP-IB behind the simulated USB-GPIB adapter, the plotter at address 5.

#include "plotter_harness.h"

#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

// The start screen names the bus, the adapter (restarted by the port's
// opening) answers the set-up, and the bundled drawing comes over the bus
// and is plotted as it would be from the serial line.
TEST(Demo, PlotsFromTheBusThroughTheSimulatedAdapter) {
    PlotterOptions options;
    options.binary = PLOTANIX_DEMO;
    options.arguments = std::vector<std::string>{"--gpib"};
    options.withDisplay = false;
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    EXPECT_TRUE(plotter.waitScreen("HP-86B on HP-IB address 5 (115200 8N1) via /dev/pts/"))
        << plotter.screen();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    EXPECT_TRUE(plotter.waitScreen("On HP-IB address 5: AR488 GPIB controller", 20s))
        << plotter.screen();
    ASSERT_TRUE(plotter.waitPageMenu(std::nullopt, 60s)) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitScreen("1  Ok.")) << plotter.screen();
    expectCleanQuit(plotter);

    // The computer asked "OI;" until the plotter answered on the bus.
    const std::string drawing = readFile(PLOTANIX_SOURCE_DIR "/tools/demo_drawing.hpgl");
    std::string stream = plotter.transcript();
    ASSERT_TRUE(stream.ends_with(drawing + marker("SAVE PAGE #1")));
    stream.resize(stream.size() - marker("SAVE PAGE #1").size());
    EXPECT_EQ(stream.substr(0, stream.size() - drawing.size()).find_first_not_of("OI;"),
              std::string::npos);
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({stream})), 0);
}

} // namespace
} // namespace plotanix::testing
