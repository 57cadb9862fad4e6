// HP-IB through a USB-GPIB adapter, end to end in process: the line as the
// program keeps it (set up at every opening), plot runs in the one loop, and
// on the far side the simulated AR488 on a pseudo-terminal with the computer
// behind it on the bus.

#include "support/adapter_on_usb.h"
#include "support/plotter_on_line.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <thread>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Commands = std::vector<std::string>;
using Role = GpibSettings::Role;
using testing::AdapterOnUsb;
using Plotter = testing::PlotterOnLine;
using testing::waitUntil;

const LineSettings adapterLine{115200, 8, Parity::none, 1};

Commands setUpFor(const std::optional<GpibSettings>& gpib) {
    if (!gpib) return {};
    Commands commands = gpibSetUpCommands(*gpib, sim::SimulatedAdapter::defaultVersion);
    commands.insert(commands.begin(), "++ver");
    commands.push_back("++ver");
    return commands;
}

// What the computer sends and reads back, and what the plotter makes of it,
// over RS-232 and over the bus: the set-up the adapter was given, the plot
// (its transcript and page are those of the same bytes on RS-232), the reply
// as the plotter wrote it to the adapter (escaped, one line) and the bytes
// it became on the bus.
TEST(GpibLine, TheBusCarriesThePlotAndTheRepliesAsRs232Does) {
    const GpibSettings atFive{Role::device, 5}, listening{Role::listenOnly};
    const std::string plot = "IN;SP1;PA100,100;PD2000,2000,4000,500;LBHI\x03OI;";
    const struct {
        const char* name;
        std::optional<GpibSettings> gpib; // none: RS-232
        PlotterModel model;
        std::string sent;
        std::string written; // the plotter's bytes to the line after the set-up
        std::string bus;     // what the computer reads at address 5
    } cases[] = {
        {"RS-232", std::nullopt, PlotterModel::hp7470a, plot, "7470A\r", ""},
        {"device at 5", atFive, PlotterModel::hp7470a, plot, "7470A\r\n", "7470A\r\n"},
        {"reply with + escaped", atFive, PlotterModel::hp7470a, "\x1b.M;;;43:OI;", "7470A\x1b+\r\n",
         "7470A+\r\n"},
        {"the HP-86B's reply", atFive, PlotterModel::hp86b, "SP2;PA100,100;PD300,300;OI;",
         "7470A\r\n", "7470A\r\n"},
        {"listen-only, no reply", listening, PlotterModel::hp7470a, plot, "", ""},
        {"++ at a line start is data", atFive, PlotterModel::hp86b,
         "PA1,1;\r\n++addr 9\r\nPA2,2;\r\n++savecfg\r\n", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plotter plotter(c.model);
        std::optional<AdapterOnUsb> adapter;
        testing::PtyPair rs232;
        std::string path = rs232.slavePath();
        if (c.gpib) {
            adapter.emplace(200ms);
            path = adapter->path();
        }
        plotter.line.useAdapter(c.gpib);
        ASSERT_TRUE(plotter.open(path, adapterLine));
        EXPECT_EQ(plotter.line.throughAdapter(), c.gpib.has_value());
        std::string bus;
        std::thread computer([&] {
            if (!c.gpib) return void(rs232.writeMaster(c.sent));
            adapter->look(
                [&](sim::SimulatedAdapter& a) { EXPECT_TRUE(a.computerSends(5, c.sent)); });
            if (c.bus.empty()) return;
            waitUntil([&] {
                const auto talk =
                    adapter->look([](sim::SimulatedAdapter& a) { return a.computerReads(5); });
                if (!talk.bytes.empty()) {
                    EXPECT_TRUE(talk.eoiOnLast) << "no EOI";
                }
                bus += talk.bytes;
                return !bus.empty();
            });
        });
        plotter.plot();
        computer.join();

        testing::InProcessPlot sameOnRs232(nullptr, c.model);
        sameOnRs232.keepTranscript();
        sameOnRs232.run(c.sent);
        EXPECT_EQ(plotter.transcript, sameOnRs232.transcript());
        EXPECT_TRUE(plotter.session.page().pixels == sameOnRs232.page().pixels) << "another page";
        EXPECT_EQ(bus, c.bus);
        if (!c.gpib) {
            EXPECT_EQ(rs232.readMaster(c.written.size(), 2s), c.written);
            continue;
        }
        adapter->look([&](const sim::SimulatedAdapter& a) {
            EXPECT_EQ(a.commands(), setUpFor(c.gpib));
            const std::string& fromHost = a.fromHost();
            const size_t fence = fromHost.rfind("++ver\r\n");
            EXPECT_EQ(fromHost.substr(fence + 7), c.written);
            if (c.gpib->role == Role::device) {
                EXPECT_EQ(a.address(), 5);
            }
            EXPECT_EQ(a.listenOnly(), c.gpib->role == Role::listenOnly);
            EXPECT_EQ(a.savedCount(), 0) << "the adapter's memory was written";
        });
        EXPECT_EQ(plotter.events.said,
                  Commands{"adapter: " + std::string(sim::SimulatedAdapter::defaultVersion)});
    }
}

// The board drops off the USB in the middle of a plot (an AR488 restarting
// on a selected device clear does): the run ends with what came, and when
// it is back it is set up again before anything is read. --gpib-save writes
// its memory at the first set-up only.
TEST(GpibLine, APortThatComesBackIsSetUpAgain) {
    AdapterOnUsb adapter(200ms);
    Plotter plotter(PlotterModel::hp7470a);
    plotter.line.useAdapter(GpibSettings{Role::device, 7, true});
    ASSERT_TRUE(plotter.open(adapter.path(), adapterLine));
    const Commands first =
        adapter.look([](const sim::SimulatedAdapter& a) { return a.commands(); });
    EXPECT_EQ(first.at(first.size() - 2), "++savecfg");
    EXPECT_EQ(adapter.look([](const sim::SimulatedAdapter& a) { return a.restarts(); }), 1)
        << "the board did not restart on opening";
    std::thread computer([&] {
        adapter.look([](sim::SimulatedAdapter& a) { a.computerSends(7, "SP1;PA10,10;OI;"); });
        waitUntil([&] {
            return !adapter.look([](sim::SimulatedAdapter& a) { return a.computerReads(7); })
                        .bytes.empty();
        });
        adapter.pullOut();
    });
    const auto started = Clock::now();
    EXPECT_EQ(plotter.plot().instructions, 3);
    computer.join();
    EXPECT_LT(Clock::now() - started, 2s) << "the run waited for silence";
    EXPECT_TRUE(plotter.line.lost());

    adapter.plugIn();
    testing::UntilBack untilBack(plotter.line);
    EXPECT_EQ(plotter.loop.run(untilBack), 0);
    const GpibSettings again{Role::device, 7};
    EXPECT_EQ(adapter.look([](const sim::SimulatedAdapter& a) { return a.commands(); }),
              setUpFor(again));
    const std::string version(sim::SimulatedAdapter::defaultVersion);
    EXPECT_EQ(plotter.events.said,
              (Commands{"adapter: " + version, "lost", "adapter: " + version, "back"}));
    adapter.look([](sim::SimulatedAdapter& a) { EXPECT_TRUE(a.computerSends(7, "PA20,20;")); });
    plotter.plot();
    EXPECT_EQ(plotter.transcript, "SP1;PA10,10;OI;PA20,20;");
}

// An AR488 hands the computer only a reply already waiting when it is
// addressed to talk, which it is right after the query (ENTER 705 after
// OUTPUT 705): the query is plotted as it comes, with the run's own timer
// (the line's pause) never let fire here.
TEST(GpibLine, TheReplyIsWaitingBeforeTheComputerAsks) {
    AdapterOnUsb adapter;
    Plotter plotter(PlotterModel::hp7470a);
    plotter.line.useAdapter(GpibSettings{Role::device, 5});
    ASSERT_TRUE(plotter.open(adapter.path(), adapterLine));
    struct UntilAnswered : Activity {
        UntilAnswered(PlotRun& run, AdapterOnUsb& adapter) : run(run), adapter(adapter) {}
        bool done() const override { return !bus.empty() || Clock::now() >= giveUp; }
        bool readsLine() const override { return true; }
        void onLineData(Clock::time_point now) override { run.onLineData(now); }
        std::optional<Clock::time_point> deadline() const override { return nextLook; }
        // ENTER 705, every 10 ms.
        void onTime(Clock::time_point now) override {
            bus = adapter.look([](sim::SimulatedAdapter& a) { return a.computerReads(5); }).bytes;
            nextLook = now + 10ms;
        }
        PlotRun& run;
        AdapterOnUsb& adapter;
        std::string bus;
        Clock::time_point nextLook = Clock::now(), giveUp = Clock::now() + 5s;
    };
    PlotRun run(plotter.session, plotter.line);
    UntilAnswered asking(run, adapter);
    adapter.look([](sim::SimulatedAdapter& a) { EXPECT_TRUE(a.computerSends(5, "OI;\r\n")); });
    EXPECT_EQ(plotter.loop.run(asking), 0);
    EXPECT_EQ(asking.bus, "7470A\r\n");
    EXPECT_EQ(run.end().instructions, 1);
}

// No adapter behind the port: nothing answers, or noise does, or a computer
// on a plain line sends its plot meanwhile. The port is then a plain line,
// and every byte the set-up read is data.
TEST(GpibLine, APortThatIsNoAdapterIsAPlainLineAndLosesNothing) {
    const struct {
        const char* name;
        std::string answer; // to each "++ver", when given
        std::string sent;   // by a computer on a plain line, meanwhile
        std::string data;
    } cases[] = {
        {"garbage answers", std::string("\x01\xff\x13\r\n", 5), "",
         std::string("\x01\xff\x13\r\n", 5)},
        {"a computer plots", "", "PA1,1;PD2,2;", "PA1,1;PD2,2;"},
        {"a computer plots lines with CR LF", "", "IN;SP1;\r\nPA1,1;\r\n", "IN;SP1;\r\nPA1,1;\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::PtyPair plain;
        Plotter plotter(PlotterModel::hp7470a);
        plotter.line.useAdapter(GpibSettings{});
        std::atomic<bool> opened = false;
        // What the far end does once the set-up has begun asking.
        std::thread far([&] {
            const auto asked = [&](std::chrono::milliseconds wait) {
                return plain.readMasterUntil("++ver\r\n", wait).ends_with("++ver\r\n");
            };
            if (!asked(5s)) return;
            plain.writeMaster(c.sent);
            if (c.answer.empty()) return;
            plain.writeMaster(c.answer);
            while (!opened)
                if (asked(100ms)) plain.writeMaster(c.answer);
        });
        ASSERT_TRUE(plotter.open(plain.slavePath(), adapterLine));
        opened = true;
        far.join();
        // Whatever it sent, a port that is no adapter is asked once.
        if (!c.sent.empty()) {
            EXPECT_EQ(plain.readMaster(64, 200ms), "");
        }
        EXPECT_FALSE(plotter.line.throughAdapter());
        EXPECT_EQ(plotter.events.said, Commands{"no adapter"});
        std::string data(64, '\0');
        EXPECT_TRUE(plotter.line.holdsBytes());
        const int n =
            plotter.line.take(std::span(reinterpret_cast<uint8_t*>(data.data()), data.size()));
        EXPECT_EQ(data.substr(0, size_t(std::max(n, 0))), c.data);
        // Replies go straight onto the line.
        plotter.line.link().writeSerial("7470A\r");
        plotter.line.link().replyComplete();
        plotter.line.link().sendReplies(Clock::now());
        EXPECT_TRUE(plain.readMasterUntil("7470A\r", 2s).ends_with("7470A\r"));
    }
}

} // namespace
} // namespace plotanix
