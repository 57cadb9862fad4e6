// Asking an instrument for its plot, in process: the adapter's port opened
// as the program opens it, and on the far side the simulated adapter (an
// AR488 or a Prologix) in controller mode with a simulated instrument
// behind it on the bus.

#include "serial/gpib_acquire.h"
#include "serial/serial_link.h"
#include "support/adapter_on_usb.h"
#include "support/in_process_plot.h"
#include "support/waiting_adapter_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Outcome = AcquireResult::Outcome;
using sim::SimulatedInstrument;

const LineSettings adapterLine{115200, 8, Parity::none, 1};
const std::string ar488(sim::SimulatedAdapter::defaultVersion);
const std::string prologix = "Prologix GPIB-USB Controller version 6.107";

std::string lines(const std::vector<std::string>& commands, std::string_view end) {
    std::string bytes;
    for (const std::string& command : commands)
        bytes += command + std::string(end);
    return bytes;
}

// The adapter on its port, set up as the controller, with an instrument.
struct Bus {
    explicit Bus(SimulatedInstrument& instrument, const std::string& version = ar488)
        : adapter(0ms, version) {
        adapter.look([&](sim::SimulatedAdapter& a) { a.attach(instrument); });
        EXPECT_TRUE(link.openSerialPort(adapter.path(), adapterLine));
        port.emplace(link.fileDescriptor(), -1);
        const GpibSetUp setUp =
            setUpGpibAdapterWith(*port, [](std::string_view) { return controllerSetUpCommands(); });
        EXPECT_TRUE(setUp.answered);
        EXPECT_EQ(setUp.complaints, std::vector<std::string>{});
    }
    AcquireResult acquire(const InstrumentRecipe& recipe, AcquireOptions options) {
        return acquirePlot(*port, recipe, options, [this](std::string_view piece) {
            bytes += piece;
            handed += piece.size();
        });
    }
    // What the host wrote to the adapter, ending with the instrument sent
    // back to local, with the repeated reads taken out.
    std::string sent(int* reads = nullptr) {
        std::string host;
        testing::waitUntil([&] {
            host = adapter.look([](const sim::SimulatedAdapter& a) { return a.fromHost(); });
            return host.ends_with("++loc\r\n");
        });
        const std::string read = "++read eoi\r\n";
        int count = 0;
        for (size_t at = host.find(read); at != std::string::npos; at = host.find(read, at)) {
            host.erase(at, read.size());
            ++count;
        }
        if (reads != nullptr) *reads = count;
        return host;
    }

    testing::AdapterOnUsb adapter;
    SerialLink link;
    std::optional<FdAdapterPort> port;
    std::string bytes;
    std::atomic<size_t> handed = 0; // seen from another thread
};

// Every recipe against its simulated instrument behind either adapter: the
// adapter made the controller, the instrument sent its commands byte for
// byte in order (with the adapter's LF), read with "++read eoi" only (a
// plain "++read" stops at CR LF on an AR488), never cleared (an 8560 would
// preset itself), returned to local; the plot is every byte it sent, ended
// as its family ends, and the page is the plot's.
TEST(GpibAcquire, EachRecipeAsksAndItsPlotComesWhole) {
    const std::string setUp = "++ver\r\n" + lines(controllerSetUpCommands(), "\r\n") + "++ver\r\n";
    const struct {
        const char* name;
        std::string recipe;
        std::string version;
        int address;
        std::chrono::milliseconds quiet;
        std::string heard; // by the instrument
        std::string sent;  // to the adapter after its set-up, reads taken out
        PlotEnd end;
    } cases[] = {
        {"8753, records till quiet", "hp8753", ar488, 16, 500ms, "OPC?;SING;\nOUTPPLOT;\nCONT;\n",
         "++addr 16\r\n++read_tmo_ms 150\r\nOPC?;SING;\r\nOUTPPLOT;\r\nCONT;\r\n++loc\r\n",
         PlotEnd::quiet},
        {"8753 on a Prologix", "hp8753", prologix, 16, 500ms, "OPC?;SING;\nOUTPPLOT;\nCONT;\n",
         "++addr 16\r\n++read_tmo_ms 150\r\nOPC?;SING;\r\nOUTPPLOT;\r\nCONT;\r\n++loc\r\n",
         PlotEnd::quiet},
        {"8568B, one message to EOI", "hp8568b", ar488, 18, 500ms, "PLOT 0,0,40000,40000\n",
         "++addr 18\r\n++read_tmo_ms 500\r\nPLOT 0,0,40000,40000\r\n++loc\r\n", PlotEnd::eoi},
        {"8566B on a Prologix", "hp8566b", prologix, 18, 500ms, "PLOT 0,0,40000,40000\n",
         "++addr 18\r\n++read_tmo_ms 500\r\nPLOT 0,0,40000,40000\r\n++loc\r\n", PlotEnd::eoi},
        {"8560E, no device clear", "hp8560e", ar488, 18, 500ms,
         "SNGLS;TS;\nPLOT 550,279,9750,7479;\nCONTS;\n",
         "++addr 18\r\n++read_tmo_ms 150\r\nSNGLS;TS;\r\nPLOT 550,279,9750,7479;\r\nCONTS;\r\n"
         "++loc\r\n",
         PlotEnd::quiet},
        {"3577A, to ;SP0;", "hp3577a", prologix, 12, 2000ms, "PLA\n",
         "++addr 12\r\n++read_tmo_ms 150\r\nPLA\r\n++loc\r\n", PlotEnd::pattern},
        {"TDS scope at its set address", "tek-tds", ar488, 7, 500ms,
         "HARDCopy:FORMat HPGl\nHARDCopy:PORT GPIb\nHARDCopy STARt\n",
         "++addr 7\r\n++read_tmo_ms 500\r\nHARDCopy:FORMat HPGl\r\nHARDCopy:PORT GPIb\r\n"
         "HARDCopy STARt\r\n++loc\r\n",
         PlotEnd::eoi},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedInstrument instrument = sim::instrumentFor(c.recipe, c.address, 30ms);
        Bus bus(instrument, c.version);
        const InstrumentRecipe& recipe = *findRecipe(c.recipe);
        const AcquireResult result = bus.acquire(recipe, {c.address, c.quiet});
        EXPECT_EQ(result.outcome, Outcome::plot);
        EXPECT_EQ(result.endedBy, c.end);
        EXPECT_EQ(bus.bytes, sim::plotOf(c.recipe));
        EXPECT_EQ(result.bytes, bus.bytes.size());
        int reads = 0;
        EXPECT_EQ(bus.sent(&reads), setUp + c.sent);
        EXPECT_GE(reads, 1);
        bus.adapter.look([&](const sim::SimulatedAdapter& a) {
            EXPECT_EQ(std::count(a.commands().begin(), a.commands().end(), "++read"), 0);
        });
        EXPECT_EQ(instrument.heard(), c.heard);
        EXPECT_EQ(instrument.clears(), 0);
        EXPECT_EQ(instrument.locals(), 1);

        testing::InProcessPlot came(nullptr, PlotterModel::hp7470a),
            sent(nullptr, PlotterModel::hp7470a);
        came.run(bus.bytes);
        sent.run(sim::plotOf(c.recipe));
        EXPECT_TRUE(came.page().pixels == sent.page().pixels) << "another page";
        EXPECT_GT(testing::inkedPixels(came.page()), 1000) << "the plot drew little";
    }
}

// What goes wrong, each said in one line, with every byte that came kept:
// nobody at the address, a plot stopped before its closing pattern, an
// instrument that never stops, the adapter pulled out during the read.
TEST(GpibAcquire, FailuresAreOneLineAndKeepWhatCame) {
    const auto stopsMidway = [] {
        SimulatedInstrument instrument(12);
        const std::vector<std::string> messages = sim::hp3577aMessages();
        instrument.answers("PLA",
                           {{messages[0], 10ms, true}, {messages[1].substr(0, 100), 10ms, false}});
        return instrument;
    };
    const auto endless = [] {
        SimulatedInstrument instrument(16);
        instrument.neverStops("PA1,1;PD2,2;");
        return instrument;
    };
    const std::vector<std::string> parts = sim::hp3577aMessages();
    const InstrumentRecipe plot8753 = customRecipe("OUTPPLOT;");
    const struct {
        const char* name;
        SimulatedInstrument instrument;
        InstrumentRecipe recipe;
        int address;
        size_t limit;
        bool pullOut;
        Outcome outcome;
        std::string line;
        std::string bytes; // kept; "*" for any, as long as the limit
    } cases[] = {
        {"wrong address", sim::instrumentFor("hp8566b", 17, 10ms), *findRecipe("hp8566b"), 18,
         1 << 20, false, Outcome::nothing,
         "nothing answered at address 18: is the instrument on and at that address?", ""},
        {"a query nobody answers", sim::instrumentFor("hp8753", 17, 10ms), *findRecipe("hp8753"),
         16, 1 << 20, false, Outcome::nothing,
         "nothing answered at address 16: is the instrument on and at that address?", ""},
        {"stops before ;SP0;", stopsMidway(), *findRecipe("hp3577a"), 12, 1 << 20, false,
         Outcome::cutShort,
         "the plot from address 12 was cut short: the bus fell quiet for 0.4 s after " +
             std::to_string(parts[0].size() + 100) +
             " bytes without its closing ;SP0; (--quiet-after waits longer)",
         parts[0] + parts[1].substr(0, 100)},
        {"never stops", endless(), plot8753, 16, 100000, false, Outcome::tooLong,
         "the plot from address 16 was stopped at 100000 bytes: the instrument did not stop "
         "talking",
         "*"},
        {"adapter pulled out", endless(), plot8753, 16, size_t(1) << 30, true, Outcome::portLost,
         "the adapter was lost during the plot from address 16 after ", "*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedInstrument instrument = c.instrument;
        Bus bus(instrument);
        std::thread puller;
        if (c.pullOut)
            puller = std::thread([&] {
                testing::waitUntil([&] { return bus.handed > 0; });
                bus.adapter.pullOut();
            });
        const AcquireOptions options{c.address, 400ms, c.limit};
        const InstrumentRecipe& recipe = c.recipe;
        const AcquireResult result = bus.acquire(recipe, options);
        if (puller.joinable()) puller.join();
        EXPECT_EQ(result.outcome, c.outcome);
        const std::string line = acquireFailure(result, recipe, options);
        EXPECT_EQ(line.substr(0, c.line.size()), c.line);
        EXPECT_EQ(result.bytes, bus.bytes.size()) << "a byte that came was not handed over";
        if (c.bytes == "*") {
            EXPECT_GT(bus.bytes.size(), 0u);
            EXPECT_LE(bus.bytes.size(), c.limit);
        } else {
            EXPECT_EQ(bus.bytes, c.bytes);
        }
    }
}

// The exchange alone on a fake clock, the bus's bytes coming when the
// script says: what it sends, when it ends and why. It never names a
// moment already past (a loop driving it would spin), asks again each
// time a read is over (the read time-out and the margin), and a signal
// ends it at once with the bytes kept and nothing more sent.
TEST(GpibAcquire, TheExchangeIsDrivenByItsDeadlines) {
    using std::chrono::milliseconds;
    using Lines = std::vector<std::string>;
    const Lines sweep = {"++addr 18", "++read_tmo_ms 150", "SNGLS;TS;", "PLOT 550,279,9750,7479;"};
    const Lines message = {"++addr 18", "++read_tmo_ms 3000", "PLOT 0,0,40000,40000"};
    const struct {
        const char* what;
        std::string_view recipe;
        std::vector<std::pair<int, std::string>> bus; // ms from the start, bytes
        std::optional<int> stopAt;                    // ms: the program is to end
        Outcome outcome;
        int endsAt, reads; // ms; "++read eoi" sent
        const Lines& opening;
        Lines closing;
    } cases[] = {
        // clang-format off
        {"records till quiet", "hp8560e", {{100, "IN;PA0,0;"}, {2000, "PD1,1;"}}, {},
         Outcome::plot, 5000, 19, sweep, {"CONTS;", "++loc"}},
        {"one message, ended by EOI", "hp8566b", {{200, "IN;PA0,0;"}}, {},
         Outcome::plot, 3300, 1, message, {"++loc"}},
        {"nothing answers", "hp8560e", {}, {}, Outcome::nothing, 3000, 12, sweep, {"CONTS;", "++loc"}},
        {"a signal mid-plot", "hp8566b", {{200, "IN;PA0,0;"}}, 1000, Outcome::stopped, 1000, 1, message, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Clock::time_point start{};
        std::string handed;
        AcquireExchange exchange(
            *findRecipe(c.recipe), {18, 3000ms}, [&](std::string_view bytes) { handed += bytes; },
            start);
        std::vector<std::string> sent = exchange.takeLines();
        Clock::time_point now = start;
        size_t next = 0;
        std::optional<int> stopAt = c.stopAt;
        while (!exchange.done()) {
            const Clock::time_point due = *exchange.deadline();
            ASSERT_GT(due, now);
            if (next < c.bus.size() && start + milliseconds(c.bus[next].first) <= due) {
                now = start + milliseconds(c.bus[next].first);
                exchange.onBytes(c.bus[next++].second, now);
            } else if (stopAt && start + milliseconds(*stopAt) <= due) {
                now = start + milliseconds(*std::exchange(stopAt, std::nullopt));
                exchange.stop(false);
            } else {
                exchange.onTime(now = due);
            }
            for (std::string& line : exchange.takeLines())
                sent.push_back(std::move(line));
        }
        EXPECT_EQ(exchange.result().outcome, c.outcome);
        EXPECT_EQ(now - start, milliseconds(c.endsAt));
        std::string script;
        for (const auto& [at, bytes] : c.bus)
            script += bytes;
        EXPECT_EQ(handed, script);
        EXPECT_EQ(exchange.result().bytes, script.size());
        EXPECT_EQ(std::erase(sent, "++read eoi"), static_cast<size_t>(c.reads));
        Lines expected = c.opening;
        expected.insert(expected.end(), c.closing.begin(), c.closing.end());
        EXPECT_EQ(sent, expected);
    }
}

// The adapter's read time-out: short between records, so they follow each
// other quickly; as long as the quiet period for one message, so a pause
// inside it does not end it, but never past a Prologix's 3000 ms.
TEST(GpibAcquire, TheReadTimeOutSuitsTheEndAndBothAdapters) {
    const InstrumentRecipe& records = *findRecipe("hp8753");
    const InstrumentRecipe& message = *findRecipe("hp8566b");
    const InstrumentRecipe& pattern = *findRecipe("hp3577a");
    const struct {
        const InstrumentRecipe& recipe;
        std::chrono::milliseconds quiet, timeOut;
    } cases[] = {
        {records, 4000ms, 150ms}, {pattern, 4000ms, 150ms},   {message, 500ms, 500ms},
        {message, 100ms, 150ms},  {message, 10000ms, 3000ms},
    };
    for (const auto& c : cases)
        EXPECT_EQ(adapterReadTimeout(c.recipe, c.quiet), c.timeOut)
            << c.recipe.name << " quiet " << c.quiet.count();
}

// A data line reaches the bus as written: the adapter's own bytes escaped.
TEST(GpibAcquire, CommandsAreEscaped) {
    const std::pair<std::string, std::string> lines[] = {
        {"OUTPPLOT;", "OUTPPLOT;"},
        {"A+B", "A\x1b+B"},
        {"x\ry\n\x1b", "x\x1b\ry\x1b\n\x1b\x1b"},
    };
    for (const auto& [text, line] : lines)
        EXPECT_EQ(gpibDataLine(text), line) << text;
}

} // namespace
} // namespace plotanix

// An answer's data, however the reads cut it: a definite block's bytes
// without its header or the line end after it, an indefinite block's to
// the end, and anything else as it came.
TEST(BlockAnswer, PassesOnTheDataAlone) {
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"definite", "#15\x1b*rBX\n", "\x1b*rBX"},
        {"definite, two length digits", "#210" + std::string("\0\n\x1b*b1W\xff\n\r", 10) + "\n",
         std::string("\0\n\x1b*b1W\xff\n\r", 10)},
        {"empty", "#10\n", ""},
        {"indefinite", "#0\x1b*b1W\x80\n", "\x1b*b1W\x80\n"},
        {"no block", "\033E#1", "\033E#1"},
        {"a # that starts none", "#x9", "#x9"},
    };
    for (const auto& [what, answer, data] : cases) {
        for (const size_t piece : {size_t(1), size_t(2), size_t(3), answer.size()}) {
            plotanix::BlockAnswer block;
            std::string got;
            for (size_t at = 0; at < answer.size(); at += piece)
                got += block.take(std::string_view(answer).substr(at, piece));
            EXPECT_EQ(got, data) << what << ", in pieces of " << piece;
        }
    }
}
