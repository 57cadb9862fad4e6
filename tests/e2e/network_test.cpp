// The whole program on a network line: a host connects over TCP, plots and
// asks for the plotter's identity; it gets the answer, and the page and the
// transcript are those of the same plot over a serial line.

#include "plotter_harness.h"

#include "support/loopback.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

const std::string plot = "SP1;PU100,100;PD200,100,200,200;LBHI\x03;OI;";

// A port nobody listens on now (it was free a moment ago).
int freePort() {
    LoopbackServer probe;
    return probe.port;
}

TEST(NetworkLine, AHostOverTcpPlotsAndIsAnsweredAsOverASerialLine) {
    const int port = freePort();
    const std::string name = "tcp-listen:" + std::to_string(port);
    PlotterOptions options;
    options.arguments = {"--port", name};
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    EXPECT_TRUE(plotter.waitScreen("on " + name + " (network line; baud, parity"))
        << plotter.screen();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    EXPECT_TRUE(
        plotter.waitRow(3, "Line: " + name + " (network line; baud, parity and flow ignored)"))
        << plotter.screen();
    UniqueFd host;
    ASSERT_TRUE(waitUntil([&] { return (host = connectTo(port)).valid(); }));
    ASSERT_TRUE(sendAll(host.get(), plot));
    EXPECT_EQ(receive(host.get(), 7), "7470A\r\n");
    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({plot})), 0);
    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(), plot + marker("SAVE PAGE #1"));
}

// plotanix-demo --tcp: the simulated HP-86B is a TCP server, as DOSBox
// listening or a serial server is; the plotter connects and plots the
// bundled drawing it sends.
TEST(NetworkLine, TheDemoPlotsOverTcp) {
    PlotterOptions options;
    options.binary = PLOTANIX_DEMO;
    options.arguments = std::vector<std::string>{"--tcp"};
    options.withDisplay = false;
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    EXPECT_TRUE(plotter.waitScreen("on tcp:127.0.0.1:")) << plotter.screen();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    ASSERT_TRUE(plotter.waitPageMenu(std::nullopt, 60s)) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitScreen("1  Ok.")) << plotter.screen();
    expectCleanQuit(plotter);
    const std::string drawing = readFile(PLOTANIX_SOURCE_DIR "/tools/demo_drawing.hpgl");
    EXPECT_TRUE(plotter.transcript().ends_with(drawing + marker("SAVE PAGE #1")));
}

} // namespace
} // namespace plotanix::testing
