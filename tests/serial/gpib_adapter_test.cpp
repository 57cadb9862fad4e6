// The USB-GPIB adapter's set-up and the replies' escaping, against the
// simulated AR488 at the master end of a pseudo-terminal: the test is the
// adapter's firmware and, behind it, the computer on the bus.

#include "serial/gpib_adapter.h"
#include "simulated_adapter.h"
#include "support/pty_pair.h"
#include "support/waiting_adapter_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Commands = std::vector<std::string>;
using Clock = AdapterPort::Clock;

// The simulated adapter answering on its own thread while the set-up waits.
struct AdapterRig {
    explicit AdapterRig(std::string version = std::string(sim::SimulatedAdapter::defaultVersion))
        : adapter(pty.masterFd(), std::move(version)),
          port(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)), worker([this] {
              while (!stop) {
                  pollfd in{pty.masterFd(), POLLIN, 0};
                  if (::poll(&in, 1, 20) <= 0) continue;
                  const std::lock_guard lock(mutex);
                  adapter.serviceHost();
              }
          }) {}
    ~AdapterRig() {
        stop = true;
        worker.join();
        ::close(port);
    }
    GpibSetUp setUp(const GpibSettings& settings) {
        FdAdapterPort adapterPort(port, -1);
        return setUpGpibAdapter(adapterPort, settings);
    }
    // The adapter's state, taken while it does not serve the host.
    template <typename Look> auto look(Look look) {
        const std::lock_guard lock(mutex);
        return look(adapter);
    }

    testing::PtyPair pty;
    std::mutex mutex;
    sim::SimulatedAdapter adapter;
    int port;
    std::atomic<bool> stop = false;
    std::thread worker;
};

TEST(GpibAdapter, SetUpPutsTheAdapterInItsRoleWithoutWritingItsMemory) {
    using Role = GpibSettings::Role;
    struct Case {
        GpibSettings settings;
        Commands commands;
        bool listenOnly;
        int saves;
    };
    const Commands common = {"++eoi 1", "++eos 0", "++eot_enable 0"};
    auto with = [&](Commands head, Commands tail = {}) {
        head.insert(head.end(), common.begin(), common.end());
        head.insert(head.end(), tail.begin(), tail.end());
        head.insert(head.begin(), "++ver");
        head.push_back("++ver");
        return head;
    };
    const Case cases[] = {
        {{Role::device, 5, false}, with({"++mode 0", "++lon 0", "++addr 5"}), false, 0},
        {{Role::device, 30, false}, with({"++mode 0", "++lon 0", "++addr 30"}), false, 0},
        {{Role::listenOnly, 5, false}, with({"++mode 0", "++lon 1"}), true, 0},
        {{Role::device, 7, true},
         with({"++mode 0", "++lon 0", "++addr 7"}, {"++savecfg"}),
         false,
         1},
    };
    for (const Case& c : cases) {
        AdapterRig rig;
        const GpibSetUp result = rig.setUp(c.settings);
        EXPECT_TRUE(result.answered);
        EXPECT_EQ(result.version, sim::SimulatedAdapter::defaultVersion);
        EXPECT_EQ(result.complaints, Commands{});
        rig.look([&](const sim::SimulatedAdapter& adapter) {
            EXPECT_EQ(adapter.commands(), c.commands);
            EXPECT_EQ(adapter.mode(), 0);
            EXPECT_EQ(adapter.listenOnly(), c.listenOnly);
            if (!c.listenOnly) {
                EXPECT_EQ(adapter.address(), c.settings.address);
            }
            EXPECT_EQ(adapter.savedCount(), c.saves);
        });
    }
    // A Prologix saves each change while asked to: on for the set-up only.
    const Commands prologix =
        gpibSetUpCommands({Role::device, 5, true}, "Prologix GPIB-USB version 6.107");
    EXPECT_EQ(prologix.front(), "++savecfg 1");
    EXPECT_EQ(prologix.back(), "++savecfg 0");
}

// A port as a script plays it: the bytes that come after each "++ver"
// asked, in turn; a verbose adapter first echoes every line it is sent.
struct ScriptedPort : AdapterPort {
    bool writeLine(std::string_view line) override {
        written.push_back(std::string(line));
        if (echo) unread += std::string(line) + "\r\n";
        if (line == "++ver" && asked < script.size()) unread += script[asked++];
        return true;
    }
    std::optional<std::string> read(Clock::time_point, size_t most) override {
        std::string bytes = unread.substr(0, most);
        unread.erase(0, bytes.size());
        return bytes;
    }
    Commands script;
    bool echo = false;
    size_t asked = 0;
    std::string unread;
    Commands written;
};

// The answers as they may come, and the bus's bytes among them: after the
// echo of a verbose adapter, after a complaint, as lines of a computer
// already sending (the adapter came back in device mode) or run into an
// answer. Every bus byte is the line's, in order; the complaints are the
// adapter's words only. A host plotting HP-GL lines is no adapter: asked
// once, and all it sent is the line's.
TEST(GpibAdapter, AnswersAreToldFromTheBussBytes) {
    const std::string version(sim::SimulatedAdapter::defaultVersion);
    const std::string prologix = "Prologix GPIB-USB Controller version 6.107";
    const Commands silent(8, "++ver");
    const struct {
        const char* name;
        Commands script;
        bool echo;
        bool answered;
        std::string data;
        Commands complaints;
        size_t asks; // "++ver" lines written
    } cases[] = {
        {"plain", {version + "\r\n", version + "\r\n"}, false, true, "", {}, 2},
        {"verbose", {version + "\r\n", "> " + version + "\r\n"}, true, true, "", {}, 2},
        {"a Prologix", {prologix + "\r\n", prologix + "\r\n"}, false, true, "", {}, 2},
        {"a complaint",
         {version + "\r\n", "Unrecognized command\r\n" + version + "\r\n"},
         false,
         true,
         "",
         {"Unrecognized command"},
         2},
        {"bus bytes run into the answer",
         {version + "\r\n", "PA1,1;" + version + "\r\n"},
         false,
         true,
         "PA1,1;",
         {},
         2},
        {"bus data during the set-up",
         {"IN;SP1;\r\n" + version + "\r\nPA1,1;\r\n",
          "PD2,2;\r\nPA3,3;Unrecognized command\r\n" + version + "\r\nPU;LBA\x03"},
         false,
         true,
         "IN;SP1;\r\nPA1,1;\r\nPD2,2;\r\nPA3,3;PU;LBA\x03",
         {"Unrecognized command"},
         2},
        {"the answer after the bus's bytes on its line",
         {"SP1;PA1,1;" + version + "\r\n", version + "\r\n"},
         false,
         true,
         "SP1;PA1,1;",
         {},
         2},
        {"an HP-GL host with CR LF lines",
         {"IN;SP1;\r\nPA100,100;\r\n", "PD;\r\n"},
         false,
         false,
         "IN;SP1;\r\nPA100,100;\r\n",
         {},
         1},
        {"an HP-GL host without line ends", {"IN;SP1;PA1"}, false, false, "IN;SP1;PA1", {}, 1},
        {"a plot label that says a version",
         {"LBver 2\x03;\r\n"},
         false,
         false,
         "LBver 2\x03;\r\n",
         {},
         1},
        {"nothing answers", {}, false, false, "", {}, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPort port;
        port.script = c.script;
        port.echo = c.echo;
        const GpibSetUp result = setUpGpibAdapter(port, {});
        EXPECT_EQ(result.answered, c.answered);
        if (c.answered) {
            EXPECT_EQ(result.version, c.script[0].find(prologix) == 0 ? prologix : version);
        }
        EXPECT_EQ(result.data, c.data);
        EXPECT_EQ(result.complaints, c.complaints);
        EXPECT_EQ(std::count(port.written.begin(), port.written.end(), "++ver"), long(c.asks));
        // Nothing but "++ver" goes to a port that is no adapter.
        if (!c.answered) {
            EXPECT_EQ(port.written, Commands(c.asks, "++ver"));
        }
    }
}

// A port that never stops talking: the set-up ends within its bounds, what
// the adapter says is kept up to its memory and counted past it, and a
// port that only echoes is no adapter, asked a fixed number of times.
TEST(GpibAdapter, ATalkingPortIsBounded) {
    struct FloodingPort : AdapterPort {
        bool writeLine(std::string_view line) override {
            written.push_back(std::string(line));
            if (line == "++ver" && !answered) {
                answered = !first.empty();
                unread = first;
            }
            return true;
        }
        std::optional<std::string> read(Clock::time_point, size_t most) override {
            std::string bytes = unread;
            unread.clear();
            while (bytes.size() < std::min<size_t>(most, 4096))
                bytes += flood;
            bytes.resize(std::min(bytes.size(), most));
            given += bytes.size();
            return bytes;
        }
        std::string first, flood, unread;
        bool answered = false;
        size_t given = 0;
        Commands written;
    };
    const std::string version(sim::SimulatedAdapter::defaultVersion);
    const struct {
        const char* name;
        std::string first; // after the first "++ver"
        std::string flood; // then without end
        bool answered;
        bool complaintsCounted;
    } cases[] = {
        {"complaints without end", version + "\r\n", "Unrecognized command\r\n", true, true},
        {"echoes of ++ without end", "", "++ver\r\n", false, false},
        {"prompts without end", "", "> ", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FloodingPort port;
        port.first = c.first;
        port.flood = c.flood;
        const GpibSetUp result = setUpGpibAdapter(port, {});
        EXPECT_EQ(result.answered, c.answered);
        EXPECT_LE(port.given, setUpReadLimit);
        EXPECT_LE(std::count(port.written.begin(), port.written.end(), "++ver"), 8);
        size_t said = 0;
        for (const std::string& complaint : result.complaints)
            said += complaint.size();
        EXPECT_LE(said, complaintMemory);
        EXPECT_EQ(result.moreComplaints > 0, c.complaintsCounted);
        EXPECT_EQ(result.unfinished, c.answered) << "the last answer was not missed";
        // No byte read is lost: what was not the adapter's is the line's.
        if (!c.answered) {
            EXPECT_EQ(result.data.size(), port.given);
        }
    }
}

// Opening the port restarts an Uno or a Nano: it hears nothing for a while.
TEST(GpibAdapter, SetUpWaitsForABoardThatRestarts) {
    AdapterRig rig;
    rig.look([](sim::SimulatedAdapter& adapter) { adapter.restart(1200ms); });
    EXPECT_TRUE(rig.setUp({}).answered);
    EXPECT_EQ(rig.look([](const sim::SimulatedAdapter& adapter) { return adapter.address(); }), 5);
}

// A port with no adapter behind it, or noise: the line is used as it is.
TEST(GpibAdapter, APortThatIsNoAdapterIsSaidSo) {
    testing::PtyPair silent;
    const int fd = ::open(silent.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    FdAdapterPort port(fd, -1);
    EXPECT_FALSE(setUpGpibAdapter(port, {}).answered);
    ASSERT_TRUE(silent.writeMaster(std::string("\x01\xff\x13\r\n", 5)));
    EXPECT_FALSE(setUpGpibAdapter(port, {}).answered);
    ::close(fd);
}

// A reply goes on the bus as the model made it, with the adapter's CR LF
// and EOI in place of its own line end; CR, LF, ESC and '+' inside it are
// escaped so the adapter takes them as data.
TEST(GpibAdapter, RepliesReachTheBusExactly) {
    const std::pair<std::string, std::string> replies[] = {
        {"7470A\r\n", "7470A\r\n"},
        {"7470A\r", "7470A\r\n"},
        {"0,0,10300,7650\n", "0,0,10300,7650\r\n"},
        {"+1,-2\r", "\x1b+1,-2\r\n"},
        {"a\rb\x1b\r\n", "a\x1b\rb\x1b\x1b\r\n"},
    };
    for (const auto& [reply, line] : replies)
        EXPECT_EQ(gpibReplyLine(reply), line) << reply;

    AdapterRig rig;
    ASSERT_TRUE(rig.setUp({}).answered);
    for (const auto& [reply, line] : replies) {
        ASSERT_EQ(::write(rig.port, line.data(), line.size()), ssize_t(line.size()));
        sim::SimulatedAdapter::Talk talk;
        for (auto end = std::chrono::steady_clock::now() + 2s;
             talk.bytes.empty() && std::chrono::steady_clock::now() < end;)
            talk =
                rig.look([](sim::SimulatedAdapter& adapter) { return adapter.computerReads(5); });
        std::string expected = reply;
        while (expected.ends_with('\r') || expected.ends_with('\n'))
            expected.pop_back();
        EXPECT_EQ(talk.bytes, expected + "\r\n") << reply;
        EXPECT_TRUE(talk.eoiOnLast);
    }
}

// The set-up as the loop drives it, on a clock of the test's own: it asks,
// says when it must act next and never waits. A silent port is asked eight
// times, half a second apart; an adapter that answers gets its set-up at
// once, closed by its answer, or found unfinished a second later, however
// much it says meanwhile.
TEST(GpibAdapter, TheSetUpIsAnExchangeWithDeadlines) {
    using std::chrono::milliseconds;
    const std::string version(sim::SimulatedAdapter::defaultVersion);
    const Clock::time_point start{};
    const auto commands = [](std::string_view v) { return gpibSetUpCommands({}, v); };
    {
        SCOPED_TRACE("silent");
        AdapterSetUp setUp(commands, start);
        int asks = 0;
        for (Clock::time_point now = start; !setUp.done(); now = *setUp.deadline()) {
            setUp.onTime(now);
            asks += static_cast<int>(setUp.takeLines().size());
            if (!setUp.done()) {
                EXPECT_EQ(*setUp.deadline() - now, milliseconds(500));
            }
        }
        EXPECT_EQ(asks, 8);
        EXPECT_FALSE(setUp.result().answered);
    }
    for (const bool fenced : {true, false}) {
        SCOPED_TRACE(fenced ? "answers" : "answers once");
        AdapterSetUp setUp(commands, start);
        EXPECT_EQ(setUp.takeLines(), Commands{"++ver"});
        setUp.onBytes(version + "\r\n", start + milliseconds(100));
        Commands expected = gpibSetUpCommands({}, version);
        expected.push_back("++ver");
        EXPECT_EQ(setUp.takeLines(), expected);
        ASSERT_TRUE(setUp.deadline());
        EXPECT_EQ(*setUp.deadline(), start + milliseconds(1100));
        if (fenced) setUp.onBytes(version + "\r\n", start + milliseconds(150));
        setUp.onTime(start + milliseconds(1100));
        EXPECT_TRUE(setUp.done());
        EXPECT_TRUE(setUp.result().answered);
        EXPECT_EQ(setUp.result().unfinished, !fenced);
    }
    {
        SCOPED_TRACE("answers once, then complains without end");
        AdapterSetUp setUp(commands, start);
        setUp.onBytes(version + "\r\n", start);
        Clock::time_point now = start;
        while (!setUp.done() && now - start <= setUpDeadline)
            setUp.onBytes("Unrecognized command\r\n", now += milliseconds(5));
        EXPECT_TRUE(setUp.result().unfinished);
        EXPECT_EQ(now - start, milliseconds(1000)) << "ended by its time, not by the bytes";
    }
}

} // namespace
} // namespace plotanix
