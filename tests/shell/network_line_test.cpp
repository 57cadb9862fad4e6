// Network lines as both modes keep them, in process against real sockets on
// loopback: a connection that drops and comes back, a listener's hosts
// coming and going, telnet's protocol kept out of the plot, and the
// USB-GPIB adapter's set-up over TCP (an Ethernet adapter).

#include "simulated_adapter.h"
#include "support/in_process_plot.h"
#include "support/loopback.h"
#include "support/plotter_on_line.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Said = std::vector<std::string>;
using Plotter = testing::PlotterOnLine;
using testing::connectTo;
using testing::LoopbackServer;
using testing::receive;
using testing::sendAll;
using testing::waitUntil;

// Until the line has been said to be back (a reconnection that held), with
// the host silent meanwhile.
struct UntilSaidBack : testing::WaitForLine {
    explicit UntilSaidBack(const Said& said) : said(said) {}
    bool done() const override { return !said.empty() && said.back() == "back"; }
    const Said& said;
};

// The plot comes in two pieces, the line dropping between them in the middle
// of a label; the transcript keeps every byte before and after, the page is
// that of the whole stream, and the line's loss is said once when this end
// made the connection (a listener just waits for its next host).
TEST(NetworkLine, BytesBeforeAndAfterADropAreKept) {
    const std::string before = "IN;SP1;PA100,100;PD2000,2000;LBHEL", after = "LO\x03PU;PA0,0;";
    for (const bool listen : {false, true}) {
        SCOPED_TRACE(listen ? "listening" : "connecting");
        Plotter plotter(PlotterModel::hp7470a);
        LoopbackServer server;
        ASSERT_TRUE(plotter.open(listen ? "tcp-listen:0" : server.name(), {}));
        const int port = listen ? plotter.line.link().network()->localPort() : 0;
        UniqueFd host = listen ? connectTo(port) : server.accept();
        ASSERT_TRUE(sendAll(host.get(), before));
        host.reset();
        plotter.plot();
        if (!listen) {
            EXPECT_TRUE(plotter.line.lost());
            testing::UntilBack untilOpen(plotter.line);
            EXPECT_EQ(plotter.loop.run(untilOpen), 0);
        }
        host = listen ? connectTo(port) : server.accept();
        UntilSaidBack untilBack(plotter.events.said);
        if (!listen) {
            EXPECT_EQ(plotter.loop.run(untilBack), 0);
        }
        ASSERT_TRUE(sendAll(host.get(), after));
        plotter.plot();
        EXPECT_EQ(plotter.transcript, before + after);
        EXPECT_EQ(plotter.events.said, listen ? Said{} : (Said{"lost", "back"}));
        EXPECT_EQ(plotter.events.notes.size(), listen ? 3u : 0u) << "connected, left, connected";

        testing::InProcessPlot whole(nullptr, PlotterModel::hp7470a);
        whole.run(before + after);
        EXPECT_TRUE(plotter.session.page().pixels == whole.page().pixels) << "another page";
    }
}

// A server that takes the connection and drops it at once, again and again
// (ser2net when it cannot open its device), is one outage: the loss is said
// once, the attempts come less and less often, and the line is back when a
// connection holds.
TEST(NetworkLine, AServerThatHangsUpAtOnceIsOneOutage) {
    Plotter plotter;
    LoopbackServer server;
    ASSERT_TRUE(plotter.open(server.name(), {}));
    std::vector<Clock::time_point> attempts;
    std::thread refusing([&] {
        for (int i = 0; i < 4; ++i) {
            UniqueFd host = server.accept();
            attempts.push_back(Clock::now());
            sendAll(host.get(), "Device open failure\r\n");
        }
    });
    testing::UntilBack untilBack(plotter.line);
    while (attempts.size() < 4 || plotter.line.lost()) {
        plotter.plot();
        plotter.loop.run(untilBack);
    }
    refusing.join();
    const UniqueFd holding = server.accept();
    UntilSaidBack untilSaidBack(plotter.events.said);
    EXPECT_EQ(plotter.loop.run(untilSaidBack), 0);
    EXPECT_EQ(plotter.events.said, (Said{"lost", "back"}));
    ASSERT_EQ(attempts.size(), 4u);
    EXPECT_GE(attempts[3] - attempts[2], 3500ms) << "the attempts did not back off";
}

// A host that pours bytes in at full speed loses none: the plotter reads
// ahead only so far and TCP holds the host back.
TEST(NetworkLine, AFloodOfBytesLosesNone) {
    Plotter plotter(PlotterModel::hp86b);
    ASSERT_TRUE(plotter.open("tcp-listen:0", {}));
    std::string plot;
    for (int i = 0; plot.size() < 2'000'000; ++i)
        plot += "PA" + std::to_string(i % 4000) + "," + std::to_string(i % 3000) + ";";
    std::thread host([&] {
        const UniqueFd fd = connectTo(plotter.line.link().network()->localPort());
        EXPECT_TRUE(sendAll(fd.get(), plot));
    });
    while (plotter.transcript.size() < plot.size() && plotter.plot().instructions > 0) {
    }
    host.join();
    EXPECT_EQ(plotter.transcript.size(), plot.size());
    EXPECT_TRUE(plotter.transcript == plot);
}

// Bytes a network line has read ahead do not keep the loop from its other
// sources: while the run still has circles to draw, they take their turns.
TEST(NetworkLine, BytesReadAheadLeaveTheOtherSourcesTheirTurns) {
    Plotter plotter(PlotterModel::hpgl2);
    ASSERT_TRUE(plotter.open("tcp-listen:0", {}));
    std::string plot = "IN;SP1;PW2;PA5000,3500;";
    for (int i = 0; i < 200; ++i)
        plot += "CI2000;";
    struct Ticker : PollSource {
        explicit Ticker(PlotSession& session) : session(session) {}
        int descriptor() const override { return -1; }
        std::optional<Clock::time_point> due() const override { return Clock::time_point{}; }
        void service(Clock::time_point) override {
            const int32_t drawn = session.counts().instructions;
            midRun = midRun || (drawn > 0 && drawn < 204);
        }
        PlotSession& session;
        bool midRun = false;
    } ticker(plotter.session);
    const UniqueFd host = connectTo(plotter.line.link().network()->localPort());
    ASSERT_TRUE(sendAll(host.get(), plot));
    plotter.loop.watch(&ticker);
    EXPECT_EQ(plotter.plot().instructions, 204);
    plotter.loop.unwatch(&ticker);
    EXPECT_TRUE(ticker.midRun) << "the loop served nothing else while the line held bytes";
}

// Nothing of telnet's protocol reaches the plotter or the transcript, the
// other end is answered, and the reply goes back with 255 doubled.
TEST(NetworkLine, TelnetIsTakenOffBothWays) {
    const std::string sent =
        "\xff\xfd\x18IN;SP1;\xff\xfb\x00\xff\xfd\x00PA10,10;\xff\xfa\x2c\x01\xff\xf0OI;\xff\xf1"s;
    Plotter plotter(PlotterModel::hp7470a);
    ASSERT_TRUE(plotter.open("telnet-listen:0", {}));
    const UniqueFd host = connectTo(plotter.line.link().network()->localPort());
    ASSERT_TRUE(sendAll(host.get(), sent));
    plotter.plot();
    EXPECT_EQ(plotter.transcript, "IN;SP1;PA10,10;OI;");
    const std::string opening = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03"s;
    const std::string refusal = "\xff\xfc\x18"; // WONT TERMINAL-TYPE
    const std::string back = receive(host.get(), opening.size() + refusal.size() + 6);
    EXPECT_EQ(back, opening + refusal + "7470A\r");
}

// An Ethernet GPIB adapter is the USB one on a TCP port: the same set-up,
// then the bus's bytes plotted and the reply on the bus.
TEST(NetworkLine, AGpibAdapterIsSetUpOverTcp) {
    LoopbackServer server;
    std::mutex mutex;
    std::unique_ptr<sim::SimulatedAdapter> adapter;
    UniqueFd connection;
    std::atomic<bool> stop = false;
    std::thread board([&] {
        connection = server.accept();
        {
            const std::lock_guard lock(mutex);
            adapter = std::make_unique<sim::SimulatedAdapter>(connection.get());
        }
        while (!stop) {
            pollfd in{connection.get(), POLLIN, 0};
            if (::poll(&in, 1, 20) <= 0) continue;
            const std::lock_guard lock(mutex);
            adapter->serviceHost();
        }
    });
    Plotter plotter(PlotterModel::hp7470a);
    plotter.line.useAdapter(GpibSettings{GpibSettings::Role::device, 5});
    ASSERT_TRUE(plotter.open(server.name(), {}));
    EXPECT_TRUE(plotter.line.throughAdapter());
    {
        const std::lock_guard lock(mutex);
        EXPECT_EQ(adapter->address(), 5);
        EXPECT_EQ(adapter->mode(), 0) << "not in device mode";
        EXPECT_TRUE(adapter->computerSends(5, "IN;PA10,10;OI;"));
    }
    plotter.plot();
    EXPECT_EQ(plotter.transcript, "IN;PA10,10;OI;");
    std::string bus;
    EXPECT_TRUE(waitUntil([&] {
        const std::lock_guard lock(mutex);
        bus += adapter->computerReads(5).bytes;
        return !bus.empty();
    }));
    EXPECT_EQ(bus, "7470A\r\n");
    stop = true;
    board.join();
}

} // namespace
} // namespace plotanix
