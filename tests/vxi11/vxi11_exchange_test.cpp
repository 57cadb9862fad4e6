// The VXI-11 exchange in process, driven by a loop as the program's own
// (one poll over its source, its deadlines), against the simulated gateway
// on the loopback with the simulated instruments behind it: every recipe,
// slow and split replies, each error, a dropped connection, silence, and
// the link let go at every ending.

#include "support/gateway_on_lan.h"
#include "support/wait_until.h"
#include "vxi11/vxi11_line.h"

#include <gtest/gtest.h>

#include <poll.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Outcome = AcquireResult::Outcome;
using sim::GatewayBehaviour;
using sim::SimulatedInstrument;
using testing::GatewayOnLan;
using vxi11::Procedure;

struct Exchanged {
    AcquireResult result;
    std::string failure;
    std::string bytes;
    int roundTrips = 0;
    Clock::duration longestTurn{};
    Clock::duration took{};
};

// The exchange to its end, or until stopWhen says to stop it.
Exchanged exchange(GatewayOnLan& gateway, const InstrumentRecipe& recipe, const std::string& device,
                   AcquireOptions options,
                   const std::function<bool(const Exchanged&)>& stopWhen = {},
                   const std::string& line = {}) {
    Exchanged run;
    const auto start = Clock::now();
    BackgroundWork work; // host names here are numbers: nothing is looked up
    Vxi11Exchange exchange(
        *parseVxi11Name(line.empty() ? gateway.line() : line), device, recipe, options,
        [&](std::string_view piece) { run.bytes += piece; }, start, work);
    while (!exchange.done() && Clock::now() - start < 30s) {
        pollfd fd{exchange.descriptor(), exchange.events(), 0};
        const int ready = ::poll(&fd, 1, pollTimeout(exchange.deadline()));
        const auto now = Clock::now();
        if (ready > 0) {
            exchange.service(now);
        } else {
            exchange.onTime(now);
        }
        run.longestTurn = std::max(run.longestTurn, Clock::now() - now);
        if (stopWhen && stopWhen(run)) exchange.stop();
    }
    run.took = Clock::now() - start;
    EXPECT_TRUE(exchange.done()) << "the exchange never ended";
    run.result = exchange.result();
    run.failure = exchange.failure();
    run.roundTrips = exchange.roundTrips();
    return run;
}

AcquireOptions quietAfter(std::chrono::milliseconds quiet, int address) {
    AcquireOptions options;
    options.quiet = quiet;
    options.address = address;
    return options;
}

bool linksLetGo(GatewayOnLan& gateway) {
    return testing::waitUntil(
        [&] { return gateway.look([](const auto& g) { return g.linksOpen() == 0; }); }, 5s);
}

// Every recipe through the gateway, plainly and through one that answers
// slowly and in pieces (each reply a few bytes a turn, each read at most
// 100 bytes with no reason set): the plot byte for byte, ended as the
// recipe ends it, the instrument back on its front panel, the link gone.
TEST(Vxi11Exchange, EveryRecipeThroughPlainAndAwkwardGateways) {
    const std::pair<const char*, GatewayBehaviour> gateways[] = {
        {"plain", {}},
        {"slow and split", {.latency = 15ms, .readPiece = 100, .sendPiece = 7}},
    };
    for (const auto& [kind, behaviour] : gateways) {
        for (const char* name : {"hp8753", "hp8566b", "hp8560e", "hp3577a", "tek-tds"}) {
            const InstrumentRecipe& recipe = *findRecipe(name);
            const int address = recipe.address != 0 ? recipe.address : 7;
            SimulatedInstrument instrument = sim::instrumentFor(name, address, 10ms);
            GatewayOnLan gateway(behaviour);
            gateway.attach(instrument);
            gateway.start();
            const Exchanged run = exchange(gateway, recipe, "gpib0," + std::to_string(address),
                                           quietAfter(300ms, address));
            const std::string fact = std::string(name) + " through a " + kind + " gateway";
            EXPECT_EQ(run.failure, "") << fact;
            EXPECT_EQ(run.result.outcome, Outcome::plot) << fact;
            EXPECT_EQ(run.result.endedBy, recipe.end) << fact;
            EXPECT_EQ(run.bytes, sim::plotOf(name)) << fact;
            EXPECT_EQ(run.result.bytes, run.bytes.size()) << fact;
            EXPECT_TRUE(linksLetGo(gateway)) << fact;
            gateway.stop();
            EXPECT_EQ(instrument.locals(), 1) << fact << ": not returned to local";
            EXPECT_EQ(instrument.clears(), 0) << fact << ": a device clear presets an 8560";
            std::string heard;
            if (!recipe.query.empty()) heard += std::string(recipe.query) + "\n";
            for (const auto command : recipe.commands)
                heard += std::string(command) + "\n";
            for (const auto command : recipe.after)
                heard += std::string(command) + "\n";
            EXPECT_EQ(instrument.heard(), heard) << fact;
            if (!recipe.query.empty()) {
                EXPECT_EQ(run.result.answers, std::vector<std::string>{"1"}) << fact;
            }
            // The loop's turns stay short however the gateway answers.
            EXPECT_LT(run.longestTurn, 50ms) << fact;
            std::printf("%s: %d round trips, longest turn %.2f ms\n", fact.c_str(), run.roundTrips,
                        std::chrono::duration<double, std::milli>(run.longestTurn).count());
        }
    }
}

// A command longer than the link's maxRecvSize goes in pieces, END with
// the last only; a plot ended by quiet is its message's read and one that
// times out, so the round trips are GETPORT, create_link, the writes, the
// two reads, device_local and destroy_link.
TEST(Vxi11Exchange, WritesInPiecesWithEndOnTheLast) {
    std::string command;
    while (command.size() < 2500)
        command += "PA" + std::to_string(command.size()) + ",0;";
    SimulatedInstrument instrument(9);
    instrument.answers(command, {{"IN;PA1,1;PD2,2;", 0ms, true}});
    GatewayOnLan gateway({.maxRecvSize = 1024});
    gateway.attach(instrument);
    gateway.start();
    const Exchanged run = exchange(gateway, customRecipe(command), "gpib0,9", quietAfter(300ms, 9));
    EXPECT_EQ(run.failure, "");
    const auto writes = gateway.look([](const auto& g) { return g.writes(); });
    const size_t whole = command.size() + 1;
    ASSERT_EQ(writes.size(), 3u);
    std::string joined;
    for (size_t i = 0; i < writes.size(); ++i) {
        const bool last = i + 1 == writes.size();
        EXPECT_EQ(writes[i].data.size(), last ? whole - 2048 : 1024) << "piece " << i;
        EXPECT_EQ(writes[i].flags & vxi11::endFlag, last ? vxi11::endFlag : 0) << "piece " << i;
        joined += writes[i].data;
    }
    EXPECT_EQ(joined, command + "\n");
    EXPECT_EQ(run.roundTrips, 1 + 1 + 3 + 2 + 1 + 1);
}

// Each way it fails is one line naming what failed (the VXI-11 standard's
// name of an error code), what came is kept, and the link, once made, is
// let go however it ended.
TEST(Vxi11Exchange, EachFailureIsNamedAndTheLinkLetGo) {
    const auto code = [](Procedure procedure, int32_t error) {
        return GatewayBehaviour{.errors = {{static_cast<uint32_t>(procedure), error}}};
    };
    const struct {
        const char* fact;
        GatewayBehaviour behaviour;
        std::string device;
        std::string said;
        bool bytesCame;
    } cases[] = {
        {"no such device", code(Procedure::createLink, 3), "gpib0,16",
         "answered create_link for gpib0,16 with \"device not accessible\" (VXI-11 error 3)",
         false},
        {"out of resources", code(Procedure::createLink, 9), "gpib0,16",
         "with \"out of resources\" (VXI-11 error 9)", false},
        {"device locked", code(Procedure::createLink, 11), "gpib0,16",
         "with \"device locked by another link\" (VXI-11 error 11)", false},
        {"a write's I/O timeout", code(Procedure::deviceWrite, 15), "gpib0,16",
         "answered device_write for gpib0,16 with \"I/O timeout\" (VXI-11 error 15)", false},
        {"a read's I/O error", code(Procedure::deviceRead, 17), "gpib0,16",
         "answered device_read for gpib0,16 with \"I/O error\" (VXI-11 error 17)", false},
        {"aborted", code(Procedure::deviceRead, 23), "gpib0,16", "with \"abort\" (VXI-11 error 23)",
         false},
        {"inst0 on a gateway",
         {},
         "inst0",
         "with \"device not accessible\" (VXI-11 error 3); through a gateway, name the device: "
         "vxi11:127.0.0.1/gpib0,ADDRESS",
         false},
        {"dropped mid-read",
         {.dropAtRead = 3},
         "gpib0,16",
         "closed the connection during device_read for gpib0,16, after ",
         true},
        {"no core channel",
         {.noCoreChannel = true},
         "gpib0,16",
         "the portmapper at 127.0.0.1 knows no VXI-11 core channel",
         false},
        {"nobody at the address",
         {},
         "gpib0,5",
         "answered device_write for gpib0,5 with \"I/O timeout\"",
         false},
    };
    for (const auto& c : cases) {
        SimulatedInstrument instrument = sim::instrumentFor("hp8753", 16, 10ms);
        GatewayOnLan gateway(c.behaviour);
        if (c.device != "inst0") gateway.attach(instrument);
        gateway.start();
        const Exchanged run =
            exchange(gateway, *findRecipe("hp8753"), c.device, quietAfter(300ms, 16));
        EXPECT_NE(run.failure.find(c.said), std::string::npos) << c.fact << ": " << run.failure;
        EXPECT_EQ(run.failure.find('\n'), std::string::npos) << c.fact;
        EXPECT_EQ(run.bytes.size(), run.result.bytes) << c.fact;
        EXPECT_EQ(run.result.bytes > 0, c.bytesCame) << c.fact;
        EXPECT_TRUE(linksLetGo(gateway)) << c.fact;
    }
    // A port that is not a portmapper's (here the core channel's): RPC's own
    // refusal, named.
    GatewayOnLan gateway;
    gateway.start();
    const std::string core =
        "vxi11:127.0.0.1:" +
        std::to_string(gateway.look([](const auto& g) { return g.corePort(); }));
    const Exchanged run =
        exchange(gateway, *findRecipe("hp8753"), "gpib0,16", quietAfter(300ms, 16), {}, core);
    EXPECT_EQ(run.failure, "the gateway at 127.0.0.1 did not accept GETPORT: program unavailable");
}

// Nothing on the portmapper's port; a gateway that never answers a read
// (given up on after the recipe's deadline and the margin); an instrument
// silent at its address, one that stops before its closing pattern and one
// that never stops talking.
TEST(Vxi11Exchange, SilenceAndEndlessTalkEndInTime) {
    {
        GatewayOnLan nobody;
        const std::string closed = "vxi11:127.0.0.1:1";
        const Exchanged run =
            exchange(nobody, *findRecipe("hp8753"), "gpib0,16", quietAfter(300ms, 16), {}, closed);
        EXPECT_EQ(run.failure.rfind("no portmapper answered at 127.0.0.1 port 1 (", 0), 0u)
            << run.failure;
    }
    {
        SimulatedInstrument instrument = sim::instrumentFor("hp8566b", 18, 10ms);
        GatewayOnLan gateway({.silentAt = static_cast<uint32_t>(Procedure::deviceRead)});
        gateway.attach(instrument);
        gateway.start();
        const Exchanged run =
            exchange(gateway, *findRecipe("hp8566b"), "gpib0,18", quietAfter(200ms, 18));
        EXPECT_NE(run.failure.find("gave no answer to device_read for gpib0,18 within 1.9 s"),
                  std::string::npos)
            << run.failure;
        EXPECT_LT(run.took, 3s);
        EXPECT_TRUE(linksLetGo(gateway)) << "destroy_link tried once";
    }
    const auto askCustom = [](SimulatedInstrument& instrument, const InstrumentRecipe& recipe,
                              AcquireOptions options,
                              const std::function<bool(const Exchanged&)>& stop) {
        GatewayOnLan gateway;
        gateway.attach(instrument);
        gateway.start();
        Exchanged run = exchange(gateway, recipe, "gpib0,9", options, stop);
        EXPECT_TRUE(linksLetGo(gateway));
        EXPECT_EQ(gateway.look([](const auto& g) { return g.calls(Procedure::destroyLink); }), 1);
        return run;
    };
    {
        SimulatedInstrument silent(9);
        const Exchanged run = askCustom(silent, customRecipe("PLOT;"), quietAfter(200ms, 9), {});
        EXPECT_EQ(run.result.outcome, Outcome::nothing);
        EXPECT_EQ(run.failure.rfind("nothing answered at address 9 through vxi11:127.0.0.1:", 0),
                  0u)
            << run.failure;
    }
    {
        SimulatedInstrument cut(9);
        cut.answers("PLA", {{"IN;PA1,1;PD2,2;", 0ms, true}});
        const Exchanged run = askCustom(cut, *findRecipe("hp3577a"), quietAfter(200ms, 9), {});
        EXPECT_EQ(run.result.outcome, Outcome::cutShort);
        EXPECT_NE(run.failure.find("without its closing ;SP0;"), std::string::npos) << run.failure;
    }
    {
        SimulatedInstrument endless(9);
        endless.neverStops("PA100,100;PD200,200;");
        AcquireOptions bounded = quietAfter(200ms, 9);
        bounded.limit = 5000;
        const Exchanged run = askCustom(endless, customRecipe("PLOT;"), bounded, {});
        EXPECT_EQ(run.result.outcome, Outcome::tooLong);
        EXPECT_EQ(run.bytes.size(), 5000u);
        SimulatedInstrument stopped(9);
        stopped.neverStops("PA100,100;PD200,200;");
        const Exchanged cut = askCustom(stopped, customRecipe("PLOT;"), quietAfter(200ms, 9),
                                        [](const Exchanged& so) { return so.bytes.size() > 1000; });
        EXPECT_EQ(cut.result.outcome, Outcome::stopped);
        EXPECT_EQ(cut.result.bytes, cut.bytes.size());
    }
}

// The line's name and the device linked to.
TEST(Vxi11Exchange, NamesAndDevices) {
    const std::optional<Vxi11Address> full = parseVxi11Name("vxi11:[::1]:1111/gpib0,7,3");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->host, "::1");
    EXPECT_EQ(full->port, "1111");
    EXPECT_EQ(full->device, "gpib0,7,3");
    const std::optional<Vxi11Address> plain = parseVxi11Name("vxi11:e5810a");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->port, "111");
    for (const char* bad : {"vxi11:", "vxi11:gw:", "vxi11:gw:65536", "vxi11:gw/", "vxi11:gw/gpib0,",
                            "vxi11:gw/gpib0,31", "vxi11:gw/gpib0,1,2,3", "vxi11:[::1/inst0"})
        EXPECT_FALSE(parseVxi11Name(bad)) << bad;
    const struct {
        const char* named;
        int given, usual;
        const char* device;
    } devices[] = {
        {"", 0, 16, "inst0"},        {"", 9, 16, "gpib0,9"},        {"gpib0", 0, 16, "gpib0,16"},
        {"gpib1", 9, 16, "gpib1,9"}, {"gpib0,5", 0, 16, "gpib0,5"}, {"inst1", 0, 16, "inst1"},
    };
    for (const auto& d : devices)
        EXPECT_EQ(linkDevice(d.named, d.given, d.usual), d.device) << d.named << " " << d.given;
}

} // namespace
} // namespace plotanix
