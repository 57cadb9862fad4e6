// plotanix --acquire as a user runs it: the simulated adapter on a
// pseudo-terminal with a simulated instrument behind it, the program asking
// for the plot, saving the page and ending; and plotanix-demo --acquire.

#include "logfile/transcript_format.h"
#include "plotter_harness.h"
#include "serial/gpib_acquire.h"
#include "support/adapter_on_usb.h"
#include "support/gateway_on_lan.h"
#include "support/loopback.h"
#include "support/printer_plot.h"
#include "support/wait_until.h"
#include "vxi11/rpc_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sys/wait.h>

namespace plotanix::testing {
namespace {

using sim::SimulatedInstrument;
using Clock = std::chrono::steady_clock;

// What an acquisition's transcript begins with: the model that drew it.
const std::string modelLine = transcript::modelMarker("7470a");

struct Ran {
    int status = -1;
    std::string out, err;
};

// Run in folder with no terminal; never outlives the test.
struct Program {
    Program(const std::string& command, const std::string& folder)
        : pid(startedWithoutTerminal(command + " </dev/null >" + out + " 2>" + err, folder)) {}
    Ran wait(std::chrono::milliseconds timeout = 30s) {
        Ran ran;
        if (waitUntil([&] { return ::waitpid(pid, &ran.status, WNOHANG) == pid; }, timeout) &&
            WIFEXITED(ran.status))
            ran.status = WEXITSTATUS(ran.status);
        ran.out = readFile(out);
        ran.err = readFile(err);
        return ran;
    }
    TempDir logs;
    const std::string out = logs.file("out"), err = logs.file("err");
    const pid_t pid;
    const Reaped reaped{pid};
};

// A series asked for is a page each, equal to the plot the instrument sent,
// kept byte for byte in the transcript; the program ends with status 0 and
// says what it saved. (Each recipe's exchange: the in-process tests.)
TEST(Acquire, AsksForThePlotSavesItAndEnds) {
    TempDir pages;
    SimulatedInstrument instrument = sim::instrumentFor("hp8568b", 18, 20ms);
    AdapterOnUsb adapter;
    adapter.look([&](sim::SimulatedAdapter& a) { a.attach(instrument); });
    Program plotanix(std::string(PLOTANIX_BINARY) +
                         " --acquire hp8568b --quiet-after 0.5 --count 2 --every 0 " +
                         adapter.path(),
                     pages.path().string());
    const Ran ran = plotanix.wait();
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.err, "");
    const std::string plot = sim::plotOf("hp8568b");
    // The transcript names the model that drew it first.
    std::string transcript = modelLine;
    for (int page = 1; page <= 2; ++page) {
        const DecodedPng png = readPng(pages.file(savedPageName(page)));
        EXPECT_EQ(differingPixels(png, *expectedPage({plot}, PlotterModel::hp7470a)), 0) << page;
        transcript += plot + marker("SAVE PAGE #" + std::to_string(page)) + marker("NEW PAGE");
        EXPECT_NE(ran.out.find("page saved: " + pages.file(savedPageName(page)) + ", " +
                               std::to_string(plot.size()) + " bytes from address 18"),
                  std::string::npos)
            << ran.out;
    }
    EXPECT_EQ(readFile(pages.file("PLOTTER.TXT")), transcript);
    EXPECT_EQ(instrument.locals(), 2) << "not returned to local";
}

// What fails is one line on standard error and status 1: no adapter on the
// port (nobody at the address and the rest: the in-process tests); a signal
// ends it at once, the bytes that came in the transcript.
TEST(Acquire, FailuresAreOneLineWithStatusOne) {
    {
        TempDir pages;
        PtyPair nothing;
        Program plotanix(std::string(PLOTANIX_BINARY) + " --acquire hp8753 " + nothing.slavePath(),
                         pages.path().string());
        const Ran ran = plotanix.wait();
        EXPECT_EQ(ran.status, 1);
        EXPECT_EQ(ran.err, "plotanix: no USB-GPIB adapter answered on " + nothing.slavePath() +
                               ": is it plugged in, and is this its port?\n");
    }
    {
        TempDir pages;
        SimulatedInstrument endless(16);
        endless.neverStops("PA100,100;PD200,200;");
        AdapterOnUsb adapter;
        adapter.look([&](sim::SimulatedAdapter& a) { a.attach(endless); });
        Program plotanix(std::string(PLOTANIX_BINARY) + " --acquire custom --command 'PLOT;' " +
                             "--gpib-address 16 " + adapter.path(),
                         pages.path().string());
        ASSERT_TRUE(waitUntil([&] {
            std::error_code error;
            return std::filesystem::file_size(pages.file("PLOTTER.TXT"), error) > 0 && !error;
        }));
        ::kill(plotanix.pid, SIGTERM);
        const auto signalled = Clock::now();
        const Ran ran = plotanix.wait();
        EXPECT_LT(Clock::now() - signalled, 2s);
        EXPECT_EQ(ran.status, 1);
        EXPECT_NE(ran.out.find("stopped on SIGTERM"), std::string::npos) << ran.out;
        EXPECT_GT(readFile(pages.file("PLOTTER.TXT")).size(), 0u);
    }
}

// What an instrument at address 9 answers to "PLOT;", asked for it.
Ran askCustom(const std::string& answer, SimulatedInstrument& instrument, const TempDir& pages) {
    instrument.answers("PLOT;", {{answer, 10ms, true}});
    AdapterOnUsb adapter;
    adapter.look([&](sim::SimulatedAdapter& a) { a.attach(instrument); });
    Program plotanix(std::string(PLOTANIX_BINARY) +
                         " --acquire custom --command 'PLOT;' --gpib-address 9 --quiet-after 0.3 " +
                         adapter.path(),
                     pages.path().string());
    return plotanix.wait();
}

// A plotter query in the instrument's stream is said and never answered;
// bytes that draw nothing are no plot, and are kept as they came (0xFF, which
// the line's error marking doubles, once).
TEST(Acquire, QueriesAreSaidAndGarbageIsNoPlot) {
    {
        TempDir pages;
        SimulatedInstrument instrument(9);
        const Ran ran = askCustom("IN;SP1;PA100,100;PD900,700;OI;PU;", instrument, pages);
        EXPECT_EQ(ran.status, 0) << ran.err;
        EXPECT_NE(ran.out.find("the instrument asked the plotter for output"), std::string::npos)
            << ran.out;
        EXPECT_EQ(instrument.heard(), "PLOT;\n") << "a reply went onto the bus";
    }
    {
        TempDir pages;
        SimulatedInstrument instrument(9);
        const std::string garbage = "\x01\x02\x7f\xff\xfe\r\n";
        const Ran ran = askCustom(garbage, instrument, pages);
        EXPECT_EQ(ran.status, 1);
        EXPECT_EQ(ran.err, "plotanix: what came from address 9 (" + std::to_string(garbage.size()) +
                               " bytes) drew nothing: is it the instrument --acquire names?\n");
        EXPECT_EQ(readFile(pages.file("PLOTTER.TXT")).substr(modelLine.size(), garbage.size()),
                  garbage);
    }
}

// A printer's data asked for by a query, with a printer model: the answer
// (an IEEE 488.2 block, or the bare stream) is printed as the model prints
// it, and the transcript keeps it as it came.
TEST(Acquire, APrintAskedForIsSavedAsThePrintersPage) {
    std::string print = "\x1b"
                        "E\x1b*t100R\x1b*r0A";
    for (int y = 0; y < 30; ++y)
        print += "\x1b*b3W" + std::string{static_cast<char>(0xF0 ^ y), '\n', '\x1b'};
    print += "\x1b*rB\f";
    const std::string length = std::to_string(print.size());
    const std::pair<const char*, std::string> answers[] = {
        {"a block of definite length", "#" + std::to_string(length.size()) + length + print + "\n"},
        {"a block of indefinite length", "#0" + print},
        {"the bare stream", print},
    };
    PrinterPlot expected(PlotterModel::pcl);
    expected.print(print);
    for (const auto& [what, answer] : answers) {
        TempDir pages;
        SimulatedInstrument instrument(9);
        instrument.answers(":PRINT?", {{answer, 10ms, true}});
        AdapterOnUsb adapter;
        adapter.look([&](sim::SimulatedAdapter& a) { a.attach(instrument); });
        Program plotanix(std::string(PLOTANIX_BINARY) +
                             " --acquire custom --command ':PRINT?' --model pcl --gpib-address 9 "
                             "--quiet-after 0.3 " +
                             adapter.path(),
                         pages.path().string());
        const Ran ran = plotanix.wait();
        EXPECT_EQ(ran.status, 0) << what << ": " << ran.err;
        EXPECT_EQ(pixelsUnlike(readPng(pages.file("PLOTTER_00001.PNG")), expected.page()), 0)
            << what;
        EXPECT_NE(readFile(pages.file("PLOTTER.TXT")).find(answer), std::string::npos) << what;
    }
}

// The instruments it knows, each with its address, what it sends and how
// its plot ends.
TEST(Acquire, ListsTheInstruments) {
    TempDir here;
    Program list(std::string(PLOTANIX_BINARY) + " --list-instruments", here.path().string());
    const Ran ran = list.wait();
    EXPECT_EQ(ran.status, 0);
    for (const std::string entry :
         {"hp8753: ", "    address: 16\n", "hp8566b, hp8568b: ", "    address: 18\n",
          "hp8560e: ", "hp3577a: ", "    address: 12\n",
          "tek-tds: ", "    address: none (give --gpib-address)\n",
          "custom: ", "    end: messages until one ends ;SP0;"})
        EXPECT_NE(ran.out.find(entry), std::string::npos) << entry;
}

// A new user's first try, without hardware: the demo's instrument answers
// and its page is saved in the current folder.
TEST(Acquire, TheDemoSavesAPage) {
    TempDir here;
    Program demo(std::string(PLOTANIX_DEMO) + " --acquire hp8753", here.path().string());
    const Ran ran = demo.wait(60s);
    EXPECT_EQ(ran.status, 0) << ran.err;
    const DecodedPng png = readPng(here.file(savedPageName(1)));
    EXPECT_EQ(differingPixels(png, *expectedPage({sim::plotOf("hp8753")}, PlotterModel::hp7470a)),
              0);
}

// Through a VXI-11 gateway, every recipe gives the page it gives through
// the adapter, and says where it came from.
TEST(AcquireOverLan, EveryRecipeThroughAGatewayGivesTheSamePage) {
    for (const char* name : {"hp8753", "hp8566b", "hp8560e", "hp3577a", "tek-tds"}) {
        TempDir pages;
        const int address = std::string_view(name) == "tek-tds" ? 7 : findRecipe(name)->address;
        SimulatedInstrument instrument = sim::instrumentFor(name, address, 10ms);
        GatewayOnLan gateway;
        gateway.attach(instrument);
        gateway.start();
        const std::string line = gateway.line("gpib0," + std::to_string(address));
        Program plotanix(std::string(PLOTANIX_BINARY) + " --acquire " + name +
                             " --quiet-after 0.3 " + line,
                         pages.path().string());
        const Ran ran = plotanix.wait();
        EXPECT_EQ(ran.status, 0) << name << ": " << ran.err;
        const std::string plot = sim::plotOf(name);
        const DecodedPng png = readPng(pages.file(savedPageName(1)));
        EXPECT_EQ(differingPixels(png, *expectedPage({plot}, PlotterModel::hp7470a)), 0) << name;
        EXPECT_EQ(readFile(pages.file("PLOTTER.TXT")).substr(0, modelLine.size() + plot.size()),
                  modelLine + plot)
            << name;
        EXPECT_NE(ran.out.find(std::to_string(plot.size()) + " bytes from address " +
                               std::to_string(address) + " through " +
                               line.substr(0, line.find('/'))),
                  std::string::npos)
            << ran.out;
    }
}

// Each failure through a gateway is one line and status 1; SIGTERM ends a
// plot without end within a second, its bytes kept and the link let go.
TEST(AcquireOverLan, FailuresAreOneLineAndSigtermLetsTheLinkGo) {
    const struct {
        const char* fact;
        sim::GatewayBehaviour behaviour;
        bool portmapper;
        std::string said;
    } cases[] = {
        {"no portmapper", {}, false, "plotanix: no portmapper answered at 127.0.0.1 port 1 ("},
        {"device locked",
         {.errors = {{static_cast<uint32_t>(vxi11::Procedure::createLink), 11}}},
         true,
         "plotanix: the gateway at 127.0.0.1 answered create_link for gpib0,16 with \"device "
         "locked by another link\" (VXI-11 error 11)\n"},
        {"nobody answering",
         {},
         true,
         "plotanix: nothing answered at address 16 through vxi11:127.0.0.1:"},
    };
    for (const auto& c : cases) {
        TempDir pages;
        SimulatedInstrument silent(16);
        GatewayOnLan gateway(c.behaviour);
        gateway.attach(silent);
        gateway.start();
        const std::string line =
            c.portmapper ? gateway.line("gpib0,16") : "vxi11:127.0.0.1:1/gpib0,16";
        Program plotanix(std::string(PLOTANIX_BINARY) + " --acquire custom --command 'PLOT;' " +
                             "--quiet-after 0.3 " + line,
                         pages.path().string());
        const Ran ran = plotanix.wait();
        EXPECT_EQ(ran.status, 1) << c.fact;
        EXPECT_EQ(ran.err.rfind(c.said, 0), 0u) << c.fact << ": " << ran.err;
        EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
    }
    TempDir pages;
    SimulatedInstrument endless(16);
    endless.neverStops("PA100,100;PD200,200;");
    GatewayOnLan gateway;
    gateway.attach(endless);
    gateway.start();
    Program plotanix(std::string(PLOTANIX_BINARY) + " --acquire custom --command 'PLOT;' " +
                         gateway.line("gpib0,16"),
                     pages.path().string());
    ASSERT_TRUE(waitUntil([&] {
        std::error_code error;
        return std::filesystem::file_size(pages.file("PLOTTER.TXT"), error) > 1000 && !error;
    }));
    ::kill(plotanix.pid, SIGTERM);
    const auto signalled = Clock::now();
    const Ran ran = plotanix.wait();
    EXPECT_LT(Clock::now() - signalled, 1s);
    EXPECT_EQ(ran.status, 1);
    EXPECT_NE(ran.out.find("stopped on SIGTERM"), std::string::npos) << ran.out;
    EXPECT_TRUE(
        waitUntil([&] { return gateway.look([](const auto& g) { return g.linksOpen() == 0; }); }));
    EXPECT_EQ(gateway.look([](const auto& g) { return g.calls(vxi11::Procedure::destroyLink); }), 1)
        << "destroy_link tried once";
}

// Watched like any capture: with --web the page is in a browser, and the
// view answers while the gateway keeps a read unanswered.
TEST(AcquireOverLan, TheWebViewAnswersWhileTheGatewayIsSilent) {
    TempDir pages;
    SimulatedInstrument instrument(16);
    GatewayOnLan gateway({.silentAt = static_cast<uint32_t>(vxi11::Procedure::deviceRead)});
    gateway.attach(instrument);
    gateway.start();
    Program plotanix(std::string(PLOTANIX_BINARY) + " --acquire custom --command 'PLOT;' " +
                         "--quiet-after 5 --web 0 " + gateway.line("gpib0,16"),
                     pages.path().string());
    std::smatch found;
    const std::regex address("web view: http://127\\.0\\.0\\.1:([0-9]+)/");
    std::string out;
    ASSERT_TRUE(waitUntil([&] {
        out = readFile(plotanix.out);
        return std::regex_search(out, found, address);
    })) << out
        << readFile(plotanix.err);
    const int port = std::stoi(found[1]);
    ASSERT_TRUE(waitUntil([&] {
        return gateway.look([](const auto& g) { return g.calls(vxi11::Procedure::deviceRead); }) >
               0;
    }));
    Clock::duration longest{};
    for (int ask = 0; ask < 20; ++ask) {
        const auto asked = Clock::now();
        const UniqueFd socket = connectTo(port);
        sendAll(socket.get(),
                "GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        const std::string answer = receive(socket.get());
        longest = std::max(longest, Clock::now() - asked);
        ASSERT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    }
    std::printf("[ figure ] longest answer of the web view while the gateway is silent: %.1f ms\n",
                std::chrono::duration<double, std::milli>(longest).count());
    EXPECT_LT(longest, 1s) << "the silent gateway held the loop";
    ::kill(plotanix.pid, SIGTERM);
    EXPECT_EQ(plotanix.wait().status, 1);
}

// The demo shows it without a gateway: its simulated one.
TEST(AcquireOverLan, TheDemoSavesAPage) {
    TempDir here;
    Program demo(std::string(PLOTANIX_DEMO) + " --vxi11 hp8568b", here.path().string());
    const Ran ran = demo.wait(60s);
    EXPECT_EQ(ran.status, 0) << ran.err;
    const DecodedPng png = readPng(here.file(savedPageName(1)));
    EXPECT_EQ(differingPixels(png, *expectedPage({sim::plotOf("hp8568b")}, PlotterModel::hp7470a)),
              0);
}

} // namespace
} // namespace plotanix::testing
