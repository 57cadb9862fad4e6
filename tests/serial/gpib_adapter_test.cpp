// The USB-GPIB adapter's set-up and the replies' escaping, against the
// simulated AR488 at the master end of a pseudo-terminal: the test is the
// adapter's firmware and, behind it, the computer on the bus.

#include "serial/gpib_adapter.h"
#include "simulated_adapter.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

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

// The adapter's answers as they may come: after the echo of a verbose
// adapter, after a complaint, or with bus bytes that had no line end of
// their own run into the last one (they are the computer's first data).
TEST(GpibAdapter, EchoesArePassedOverAndBusBytesBeforeTheLastAnswerKept) {
    // The lines read after each "++ver", in turn; a verbose adapter first
    // echoes every line it is sent.
    struct ScriptedPort : AdapterPort {
        bool writeLine(std::string_view line) override {
            if (echo) unread.push_back(std::string(line));
            if (line == "++ver" && asked < script.size()) {
                const Commands& lines = script[asked++];
                unread.insert(unread.end(), lines.begin(), lines.end());
            }
            return true;
        }
        std::optional<std::string> readLine(std::chrono::milliseconds) override {
            if (unread.empty()) return std::nullopt;
            std::string line = unread.front();
            unread.erase(unread.begin());
            return line;
        }
        std::vector<Commands> script;
        bool echo = false;
        size_t asked = 0;
        Commands unread;
    };
    const std::string version(sim::SimulatedAdapter::defaultVersion);
    const struct {
        const char* name;
        std::vector<Commands> script;
        bool echo;
        std::string busData;
        Commands complaints;
    } cases[] = {
        {"plain", {{version}, {version}}, false, "", {}},
        {"verbose", {{version}, {version}}, true, "", {}},
        {"a complaint",
         {{version}, {"Unrecognized command", version}},
         false,
         "",
         {"Unrecognized command"}},
        {"bus bytes run in", {{version}, {"PA1,1;" + version}}, false, "PA1,1;", {}},
    };
    for (const auto& c : cases) {
        ScriptedPort port;
        port.script = c.script;
        port.echo = c.echo;
        const GpibSetUp result = setUpGpibAdapter(port, {});
        EXPECT_TRUE(result.answered) << c.name;
        EXPECT_EQ(result.version, version) << c.name;
        EXPECT_EQ(result.busData, c.busData) << c.name;
        EXPECT_EQ(result.complaints, c.complaints) << c.name;
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

} // namespace
} // namespace plotanix
