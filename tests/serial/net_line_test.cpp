// Network lines against real sockets on loopback: the names, the telnet
// protocol taken off the data, the listener's one-host rule and its default
// address, and the errors an operator is told.

#include "serial/net_line.h"
#include "serial/serial_link.h"
#include "support/loopback.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using testing::connectTo;
using testing::receive;
using testing::sendAll;
using testing::waitUntil;

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int v : values)
        text.push_back(static_cast<char>(v));
    return text;
}

constexpr int IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr int BINARY = 0, ECHO_ = 1, SGA = 3, TTYPE = 24, COMPORT = 44;

TEST(NetAddress, NamesParseIntoTheirParts) {
    const struct {
        const char* name;
        bool valid;
        bool listen, telnet;
        const char* host;
        const char* port;
    } cases[] = {
        {"tcp:dosbox.lan:5470", true, false, false, "dosbox.lan", "5470"},
        {"tcp:[::1]:1234", true, false, false, "::1", "1234"},
        {"tcp-listen:5470", true, true, false, "127.0.0.1", "5470"},
        {"tcp-listen:0.0.0.0:5470", true, true, false, "0.0.0.0", "5470"},
        {"tcp-listen:[::]:5470", true, true, false, "::", "5470"},
        {"telnet:ser2net:2001", true, false, true, "ser2net", "2001"},
        {"telnet-listen:2323", true, true, true, "127.0.0.1", "2323"},
        {"tcp:host", false, false, false, "", ""},
        {"tcp:host:0", false, false, false, "", ""},
        {"tcp:host:65536", false, false, false, "", ""},
        {"tcp:host:12ab", false, false, false, "", ""},
        {"tcp::5470", false, false, false, "", ""},
        {"tcp:::1:5470", false, false, false, "", ""},
        {"tcp-listen:", false, false, false, "", ""},
        {"tcp-listen:[::1:5470", false, false, false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(isNetworkName(c.name));
        const std::optional<NetAddress> address = parseNetAddress(c.name);
        ASSERT_EQ(address.has_value(), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(address->listen, c.listen);
        EXPECT_EQ(address->telnet, c.telnet);
        EXPECT_EQ(address->host, c.host);
        EXPECT_EQ(address->port, c.port);
    }
    EXPECT_FALSE(isNetworkName("/dev/ttyUSB0"));
    EXPECT_FALSE(isNetworkName("COM1"));
}

// Each form of the protocol in, the data out, and what the other end is
// answered; every split of the input into two reads gives the same.
TEST(Telnet, TheProtocolIsTakenOffTheData) {
    const struct {
        const char* name;
        std::string in;
        std::string data;
        std::string answers;
    } cases[] = {
        {"plain data", "PA1,1;", "PA1,1;", ""},
        {"IAC IAC is the byte 255", bytes({'A', IAC, IAC, 'B'}), bytes({'A', 255, 'B'}), ""},
        {"NOP, GA, AYT, BRK dropped", bytes({'A', IAC, 241, IAC, 249, IAC, 246, IAC, 243, 'B'}),
         "AB", ""},
        {"DO BINARY accepted", bytes({IAC, DO, BINARY, 'x'}), "x", bytes({IAC, WILL, BINARY})},
        {"WILL SGA accepted", bytes({IAC, WILL, SGA}), "", bytes({IAC, DO, SGA})},
        {"DO ECHO refused", bytes({IAC, DO, ECHO_}), "", bytes({IAC, WONT, ECHO_})},
        {"WILL ECHO refused", bytes({IAC, WILL, ECHO_}), "", bytes({IAC, DONT, ECHO_})},
        {"unknown option refused", bytes({IAC, DO, 200, IAC, WILL, 201}), "",
         bytes({IAC, WONT, 200, IAC, DONT, 201})},
        {"DONT or WONT of what is off: no answer", bytes({IAC, DONT, ECHO_, IAC, WONT, TTYPE}), "",
         ""},
        {"subnegotiation dropped", bytes({'A', IAC, SB, COMPORT, 1, IAC, IAC, 2, IAC, SE, 'B'}),
         "AB", ""},
        {"command inside a subnegotiation ends it",
         bytes({'A', IAC, SB, TTYPE, 1, IAC, DO, ECHO_, 'B'}), "AB", bytes({IAC, WONT, ECHO_})},
        {"CR NUL is a bare CR", bytes({'L', 'B', 'X', '\r', 0, 'Y'}), "LBX\rY", ""},
        {"CR LF kept", "A\r\nB", "A\r\nB", ""},
    };
    for (const auto& c : cases) {
        for (size_t split = 0; split <= c.in.size(); ++split) {
            SCOPED_TRACE(std::string(c.name) + ", split at " + std::to_string(split));
            TelnetFilter filter;
            std::string data;
            for (std::string piece : {c.in.substr(0, split), c.in.substr(split)}) {
                auto* raw = reinterpret_cast<uint8_t*>(piece.data());
                data.append(piece.data(), filter.decode(raw, piece.size()));
            }
            EXPECT_EQ(data, c.data);
            EXPECT_EQ(filter.takeAnswers(), c.answers);
        }
    }
}

// Once binary is agreed, asking again is not answered (no loop between two
// agreeing ends), and turning it off is.
TEST(Telnet, OnlyAChangeIsAnswered) {
    TelnetFilter filter;
    EXPECT_EQ(filter.opening(),
              bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA}));
    std::string in = bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DONT, BINARY});
    filter.decode(reinterpret_cast<uint8_t*>(in.data()), in.size());
    EXPECT_EQ(filter.takeAnswers(), bytes({IAC, WONT, BINARY}));
    EXPECT_FALSE(filter.ours(BINARY));
    EXPECT_TRUE(filter.theirs(BINARY));
}

TEST(Telnet, ThePlottersBytesAreNeverReadAsCommands) {
    TelnetFilter binary;
    binary.opening();
    EXPECT_EQ(binary.encode(bytes({'1', 255, '\r'})), bytes({'1', 255, 255, '\r'}));
    const TelnetFilter text; // binary not agreed: a bare CR is CR NUL
    EXPECT_EQ(text.encode("1,2\r"), bytes({'1', ',', '2', '\r', 0}));
    EXPECT_EQ(text.encode("1\r\n"), "1\r\n");
}

// A listener the tests open: on loopback at a free port.
struct Listening {
    explicit Listening(const std::string& name = "tcp-listen:0") {
        line.onNetworkNote([this](const std::string& text) { notes.push_back(text); });
        opened = line.openSerialPort(name);
        port = opened ? line.network()->localPort() : 0;
    }
    // What the line has taken so far, until it holds want bytes.
    std::string takeUntil(size_t want) {
        std::string got;
        waitUntil([&] {
            uint8_t chunk[4096];
            const int n = line.readAvailable(chunk);
            if (n > 0) got.append(reinterpret_cast<char*>(chunk), static_cast<size_t>(n));
            return got.size() >= want;
        });
        return got;
    }
    SerialLink line;
    std::vector<std::string> notes;
    bool opened = false;
    int port = 0;
};

TEST(Listener, ListensOnLoopbackUnlessAnAddressIsNamed) {
    Listening plotter;
    ASSERT_TRUE(plotter.opened);
    // The socket bound to the port: its address is the loopback's.
    sockaddr_in here{};
    socklen_t length = sizeof here;
    int listener = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_in probe{};
        socklen_t size = sizeof probe;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&probe), &size) == 0 &&
            probe.sin_family == AF_INET && ntohs(probe.sin_port) == plotter.port)
            listener = fd;
    }
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&here), &length), 0);
    EXPECT_EQ(ntohl(here.sin_addr.s_addr), INADDR_LOOPBACK);
}

// The first host is the plotter's; a second is told it is busy and closed at
// once, and the first goes on undisturbed; after the first leaves, the next
// is taken.
TEST(Listener, OneHostAtATime) {
    Listening plotter;
    ASSERT_TRUE(plotter.opened);
    const UniqueFd first = connectTo(plotter.port);
    ASSERT_TRUE(sendAll(first.get(), "IN;PA10,10;"));
    EXPECT_EQ(plotter.takeUntil(11), "IN;PA10,10;");

    const UniqueFd second = connectTo(plotter.port);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    ASSERT_TRUE(sendAll(second.get(), "SP2;"));
    // The line is read (and the second host turned away) while it is probed.
    ASSERT_TRUE(waitUntil([&] {
        if (!plotter.line.probeLine()) return false;
        return plotter.notes.size() >= 2;
    }));
    EXPECT_EQ(receive(second.get()), NetLine::busyLine);
    EXPECT_NE(plotter.notes.back().find("was turned away"), std::string::npos);

    ASSERT_TRUE(sendAll(first.get(), "PD20,20;"));
    EXPECT_EQ(plotter.takeUntil(8), "PD20,20;");
    EXPECT_EQ(plotter.line.writeSerial("7470A\r"), 6);
    plotter.line.sendReplies(Clock::now()); // as the loop does
    EXPECT_EQ(receive(first.get(), 6), "7470A\r");

    ::shutdown(first.get(), SHUT_WR);
    ASSERT_TRUE(waitUntil(
        [&] { return plotter.line.probeLine() && !plotter.line.network()->hostConnected(); }));
    const UniqueFd third = connectTo(plotter.port);
    ASSERT_TRUE(sendAll(third.get(), "PU;"));
    EXPECT_EQ(plotter.takeUntil(3), "PU;");
    EXPECT_TRUE(plotter.line.probeLine()) << "a host leaving is no lost line";
}

size_t openDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

// Hosts knocking without end are each turned away, and no descriptor stays
// behind; the one connected keeps its line.
TEST(Listener, AFloodOfHostsLeaksNothing) {
    Listening plotter;
    const UniqueFd host = connectTo(plotter.port);
    ASSERT_TRUE(waitUntil(
        [&] { return plotter.line.probeLine() && plotter.line.network()->hostConnected(); }));
    const size_t before = openDescriptors();
    for (int i = 0; i < 300; ++i) {
        const UniqueFd knock = connectTo(plotter.port);
        plotter.line.probeLine();
    }
    EXPECT_TRUE(waitUntil([&] {
        plotter.line.probeLine();
        return openDescriptors() == before;
    }));
    EXPECT_EQ(plotter.notes.size(), 2u) << "the turning away is said once while a host is on";
    ASSERT_TRUE(sendAll(host.get(), "PA;"));
    EXPECT_EQ(plotter.takeUntil(3), "PA;");
}

TEST(NetworkLine, OpenErrorsSayWhy) {
    Listening first;
    ASSERT_TRUE(first.opened);
    SerialLink second;
    EXPECT_FALSE(second.openSerialPort("tcp-listen:" + std::to_string(first.port)));
    EXPECT_EQ(second.openError(), EADDRINUSE);
    EXPECT_FALSE(second.openSerialPort("tcp:no-such-host.invalid:5470"));
    EXPECT_EQ(openErrorReason(second.openError()).rfind("unknown host (", 0), 0u);
    testing::LoopbackServer closed;
    closed.listener.reset();
    EXPECT_FALSE(second.openSerialPort(closed.name()));
    EXPECT_EQ(second.openError(), ECONNREFUSED);
    EXPECT_FALSE(second.openSerialPort("tcp-listen:192.0.2.1:5470"));
    EXPECT_EQ(second.openError(), EADDRNOTAVAIL);
}

} // namespace
} // namespace plotanix
