// The whole program on a network line: a host connects over TCP, plots and
// asks for the plotter's identity; it gets the answer, and the page and the
// transcript are those of the same plot over a pseudo-terminal.

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

struct Outcome {
    std::string reply, transcript;
    DecodedPng page;
};

// Plots, reads the reply, saves the page and quits.
void plotAndSave(PlotterSession& plotter, const std::function<std::string()>& sendAndRead,
                 Outcome& outcome) {
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    outcome.reply = sendAndRead();
    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    outcome.page = plotter.savedPage(1);
    expectCleanQuit(plotter);
    outcome.transcript = plotter.transcript();
}

TEST(NetworkLine, AHostOverTcpPlotsAndIsAnsweredAsOverASerialLine) {
    Outcome overPty;
    {
        PlotterSession plotter;
        plotAndSave(
            plotter,
            [&] {
                plotter.sendLine(plot);
                return plotter.readReply();
            },
            overPty);
    }
    ASSERT_FALSE(overPty.reply.empty());

    const int port = freePort();
    const std::string name = "tcp-listen:" + std::to_string(port);
    PlotterOptions options;
    options.arguments = {"--port", name};
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    EXPECT_TRUE(plotter.waitScreen("on " + name + " (network line; baud, parity"))
        << plotter.screen();
    Outcome overTcp;
    UniqueFd host;
    plotAndSave(
        plotter,
        [&] {
            EXPECT_TRUE(plotter.waitRow(3, "Line: " + name +
                                               " (network line; baud, parity and flow ignored)"))
                << plotter.screen();
            waitUntil([&] { return (host = connectTo(port)).valid(); });
            sendAll(host.get(), plot);
            return receive(host.get(), overPty.reply.size());
        },
        overTcp);
    EXPECT_EQ(overTcp.reply, overPty.reply);
    EXPECT_EQ(overTcp.transcript, overPty.transcript);
    ASSERT_EQ(overTcp.page.error, "");
    EXPECT_TRUE(overTcp.page.rgb == overPty.page.rgb) << "another page";
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
