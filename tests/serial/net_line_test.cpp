// Network lines against real sockets on loopback: the names, the telnet
// protocol taken off the data, the listener's one-host rule and its default
// address, and the errors an operator is told.

#include "line_served.h"
#include "serial/net_line.h"
#include "support/loopback.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <thread>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using testing::connectTo;
using testing::OnBytes;
using testing::receive;
using testing::sendAll;
using testing::serve;
using testing::Served;
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
        {"a refusal said once however often asked",
         bytes({IAC, DO, 99, IAC, DO, 99, IAC, WILL, 99, IAC, WILL, 99, IAC, DO, 99}), "",
         bytes({IAC, WONT, 99, IAC, DONT, 99})},
        {"an agreement said once", bytes({IAC, DO, BINARY, IAC, DO, BINARY}), "",
         bytes({IAC, WILL, BINARY})},
        {"each change answered", bytes({IAC, DO, SGA, IAC, DONT, SGA, IAC, DO, SGA}), "",
         bytes({IAC, WILL, SGA, IAC, WONT, SGA, IAC, WILL, SGA})},
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

std::string decoded(TelnetFilter& filter, std::string in) {
    return in.substr(0, filter.decode(reinterpret_cast<uint8_t*>(in.data()), in.size()));
}

// This end's own requests: their answers are not answered again (no loop
// between two agreeing ends), and binary holds only once the other end has
// agreed; till then its CR NUL is a bare CR.
TEST(Telnet, OwnRequestsAreSettledByTheAnswer) {
    TelnetFilter filter;
    EXPECT_EQ(filter.opening(),
              bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA}));
    EXPECT_EQ(decoded(filter, bytes({'A', '\r', 0})), "A\r") << "binary asked, not agreed";
    EXPECT_EQ(decoded(filter, bytes({IAC, DO, BINARY, IAC, WILL, BINARY})), "");
    EXPECT_EQ(filter.takeAnswers(), "");
    EXPECT_EQ(decoded(filter, bytes({'A', '\r', 0})), bytes({'A', '\r', 0}));
    EXPECT_TRUE(filter.sendsBinary());
    EXPECT_EQ(decoded(filter, bytes({IAC, DONT, BINARY})), "");
    EXPECT_EQ(filter.takeAnswers(), bytes({IAC, WONT, BINARY}));
    EXPECT_FALSE(filter.sendsBinary());
    EXPECT_TRUE(filter.receivesBinary());
}

TEST(Telnet, ThePlottersBytesAreNeverReadAsCommands) {
    TelnetFilter binary;
    binary.opening();
    decoded(binary, bytes({IAC, DO, BINARY}));
    EXPECT_EQ(binary.encode(bytes({'1', 255, '\r'})), bytes({'1', 255, 255, '\r'}));
    const TelnetFilter text; // binary not agreed: a bare CR is CR NUL
    EXPECT_EQ(text.encode("1,2\r"), bytes({'1', ',', '2', '\r', 0}));
    EXPECT_EQ(text.encode("1\r\n"), "1\r\n");
}

// A listener the tests open: on loopback at a free port.
struct Listening {
    explicit Listening(const std::string& name = "tcp-listen:0") {
        line.onNote([this](const std::string& text) { notes.push_back(text); });
        opened = line.openSerialPort(name);
        port = opened ? line.network()->localPort() : 0;
    }
    // Served until the line has taken want bytes in all.
    std::string serveUntil(size_t want, const OnBytes& onBytes = {}) {
        taken += serve(
                     line, [&](const Served& s) { return taken.size() + s.bytes.size() >= want; },
                     onBytes)
                     .bytes;
        return taken;
    }
    // Served until a note containing the text has been said.
    bool serveUntilSaid(std::string_view text) {
        const auto said = [&] {
            return std::any_of(notes.begin(), notes.end(), [&](const std::string& note) {
                return note.find(text) != std::string::npos;
            });
        };
        taken += serve(line, [&](const Served&) { return said(); }).bytes;
        return said();
    }
    SerialLink line;
    std::vector<std::string> notes;
    std::string taken;
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

// The first host is the plotter's; a second waits its grace, then is told
// the plotter is busy, its bytes refused and counted; the first goes on
// undisturbed; after the first leaves, the next is taken.
TEST(Listener, OneHostAtATime) {
    Listening plotter;
    ASSERT_TRUE(plotter.opened);
    const UniqueFd first = connectTo(plotter.port);
    ASSERT_TRUE(sendAll(first.get(), "IN;PA10,10;"));
    EXPECT_EQ(plotter.serveUntil(11), "IN;PA10,10;");

    const UniqueFd second = connectTo(plotter.port);
    ASSERT_TRUE(sendAll(second.get(), "SP2;"));
    ASSERT_TRUE(plotter.serveUntilSaid("turned away"));
    EXPECT_EQ(receive(second.get()), NetLine::busyLine);
    EXPECT_NE(plotter.notes.back().find("(4 bytes refused"), std::string::npos);

    ASSERT_TRUE(sendAll(first.get(), "PD20,20;"));
    EXPECT_EQ(plotter.serveUntil(19), "IN;PA10,10;PD20,20;") << "the refused bytes are no plot's";
    EXPECT_EQ(plotter.line.writeSerial("7470A\r"), 6);
    plotter.line.sendReplies(Clock::now()); // as the loop does
    EXPECT_EQ(receive(first.get(), 6), "7470A\r");

    ::shutdown(first.get(), SHUT_WR);
    ASSERT_TRUE(plotter.serveUntilSaid("disconnected"));
    const UniqueFd third = connectTo(plotter.port);
    ASSERT_TRUE(sendAll(third.get(), "PU;"));
    EXPECT_EQ(plotter.serveUntil(22), "IN;PA10,10;PD20,20;PU;");
    EXPECT_TRUE(plotter.line.probeLine()) << "a host leaving is no lost line";
}

size_t openDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

// Hosts knocking while one is connected are each turned away once their
// grace is over, and no descriptor stays behind; the one connected keeps
// its line.
TEST(Listener, KnockingHostsLeakNothing) {
    Listening plotter;
    const UniqueFd host = connectTo(plotter.port);
    ASSERT_TRUE(plotter.serveUntilSaid("connected from"));
    const size_t before = openDescriptors();
    for (int i = 0; i < 12; ++i)
        connectTo(plotter.port);
    ASSERT_TRUE(plotter.serveUntilSaid("turned away"));
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_NE(plotter.notes.back().find("12 computers"), std::string::npos) << plotter.notes.back();
    ASSERT_TRUE(sendAll(host.get(), "PA;"));
    EXPECT_EQ(plotter.serveUntil(3), "PA;");
}

// Hosts that each send a small plot and close, the next connecting as soon
// as the last has closed (a DOS box copying files to its serial port): the
// end of each is read before the next is taken, and every plot is kept.
TEST(Listener, HostsInARowKeepEveryByte) {
    Listening plotter;
    constexpr int hosts = 300;
    std::string plots;
    for (int i = 0; i < hosts; ++i)
        plots += "P" + std::to_string(10000 + i).substr(1) + ";";
    std::thread computers([&] {
        for (int i = 0; i < hosts; ++i) {
            const UniqueFd host = connectTo(plotter.port);
            sendAll(host.get(), plots.substr(static_cast<size_t>(i) * 6, 6));
        }
    });
    EXPECT_EQ(plotter.serveUntil(plots.size()), plots);
    computers.join();
    for (const std::string& note : plotter.notes)
        EXPECT_EQ(note.find("turned away"), std::string::npos) << note;
}

// A host that half-closes after a query (nc -N) is still answered: its end
// of file ends its input, not its output. The connection closes once the
// reply is out; a connection this end made is then lost (and made again).
TEST(NetworkLine, AHalfClosedHostIsAnswered) {
    const OnBytes model = [](SerialLink& line, std::string_view bytes) {
        if (bytes.find("OI;") == std::string_view::npos) return;
        line.writeSerialAfter(50, "7470A\r");
        line.replyComplete();
    };
    for (const bool listen : {true, false}) {
        SCOPED_TRACE(listen ? "listening" : "connecting");
        testing::LoopbackServer server;
        Listening plotter(listen ? "tcp-listen:0" : server.name());
        ASSERT_TRUE(plotter.opened);
        const UniqueFd host = listen ? connectTo(plotter.port) : server.accept();
        ASSERT_TRUE(sendAll(host.get(), "IN;OI;"));
        ::shutdown(host.get(), SHUT_WR);
        const auto closed = [&](const Served&) {
            return !plotter.notes.empty() &&
                   plotter.notes.back().find("disconnected") != std::string::npos;
        };
        const Served served = serve(plotter.line, closed, model);
        EXPECT_EQ(served.bytes, "IN;OI;");
        EXPECT_EQ(served.lost, !listen);
        EXPECT_EQ(receive(host.get()), "7470A\r") << "answered, then closed";
    }
}

constexpr std::string_view floodData = "IN;PA0,0;PD100,100;";

// A telnet host that asks for the same option without end, never reading:
// one refusal, its data kept, and every turn of the line short.
TEST(TelnetListener, ARepeatedRequestIsAnsweredOnceAndTheDataKept) {
    Listening plotter("telnet-listen:0");
    const UniqueFd host = connectTo(plotter.port);
    std::atomic<bool> flooded = false;
    std::thread flood([&] {
        std::string requests(floodData);
        for (int i = 0; i < 20000; ++i)
            requests += bytes({IAC, DO, 99});
        for (int round = 0; round < 30; ++round)
            sendAll(host.get(), round == 0 ? requests : requests.substr(floodData.size()));
        flooded = true;
    });
    const Served served =
        serve(plotter.line, [&](const Served& s) { return flooded && s.bytes.size() >= 19; });
    flood.join();
    EXPECT_EQ(served.bytes, floodData);
    EXPECT_EQ(
        receive(host.get(), SIZE_MAX, 500ms),
        bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WONT, 99}));
}

// A telnet host turning binary on and off without reading the answers:
// past the bound the connection is closed and the journal says why; the
// data it sent first is the line's.
TEST(TelnetListener, UnreadAnswersAreBounded) {
    Listening plotter("telnet-listen:0");
    UniqueFd host(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    setsockopt(host.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in address = testing::loopbackAt(plotter.port);
    ASSERT_EQ(::connect(host.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    std::thread flood([&] {
        std::string toggles(floodData);
        for (int i = 0; i < 1000000; ++i)
            toggles += bytes({IAC, DONT, BINARY, IAC, DO, BINARY});
        sendAll(host.get(), toggles);
    });
    EXPECT_TRUE(plotter.serveUntilSaid("without reading the answers"));
    ::shutdown(host.get(), SHUT_RDWR);
    flood.join();
    EXPECT_EQ(plotter.taken, floodData);
}

// A host whose listen queue is full never answers the handshake: the line
// opens at once, connecting, and the attempt ends at its deadline with the
// line lost, the loop never held.
TEST(NetworkLine, AConnectionThatHangsIsWaitedForByTheLoop) {
    testing::LoopbackServer full;
    ::listen(full.listener.get(), 0);
    std::vector<UniqueFd> queued;
    for (int i = 0; i < 8; ++i) {
        queued.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in address = testing::loopbackAt(full.port);
        ::connect(queued.back().get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    SerialLink line;
    ASSERT_TRUE(line.openSerialPort(full.name()));
    EXPECT_TRUE(line.network()->connecting());
    ASSERT_TRUE(line.replyDue());
    EXPECT_LE(*line.replyDue(), Clock::now() + NetLine::connectWait);
    EXPECT_TRUE(serve(line, [](const Served&) { return false; }).lost);
    EXPECT_EQ(line.openError(), 0) << "opened; the loss is the line's";
}

TEST(NetworkLine, OpenErrorsSayWhy) {
    Listening first;
    ASSERT_TRUE(first.opened);
    SerialLink second;
    EXPECT_FALSE(second.openSerialPort("tcp-listen:" + std::to_string(first.port)));
    EXPECT_EQ(second.openError(), EADDRINUSE);
    testing::LoopbackServer closed;
    closed.listener.reset();
    EXPECT_FALSE(second.openSerialPort(closed.name()));
    EXPECT_EQ(second.openError(), ECONNREFUSED);
    EXPECT_FALSE(second.openSerialPort("tcp-listen:192.0.2.1:5470"));
    EXPECT_EQ(second.openError(), EADDRNOTAVAIL);
}

// A host name is looked up by a helper while the loop goes on: the open
// returns at once, and what it would have done follows the answer. A name
// that does not resolve, or not in time, fails the open with its reason.
TEST(NetworkLine, AHostNameIsLookedUpOffTheLoop) {
    testing::LoopbackServer server;
    SerialLink line;
    ASSERT_TRUE(line.openSerialPort("tcp:localhost:" + std::to_string(server.port)));
    EXPECT_TRUE(line.network()->lookingUp());
    EXPECT_TRUE(line.network()->connecting());
    ASSERT_TRUE(line.replyDue());
    EXPECT_LE(*line.replyDue(), Clock::now() + NetLine::lookupWait);
    line.writeSerial("7470A\r");
    const Served served = serve(line, [&](const Served&) { return !line.network()->connecting(); });
    EXPECT_FALSE(served.lost);
    const UniqueFd host = server.accept();
    ASSERT_TRUE(host);
    line.sendReplies(Clock::now());
    EXPECT_EQ(receive(host.get(), 6), "7470A\r") << "written while looking up";
    ASSERT_TRUE(sendAll(host.get(), "IN;"));
    EXPECT_EQ(serve(line, [](const Served& s) { return s.bytes.size() >= 3; }).bytes, "IN;");

    SerialLink unknown;
    ASSERT_TRUE(unknown.openSerialPort("tcp:no-such-host.invalid:5470"));
    EXPECT_TRUE(serve(unknown, [](const Served&) { return false; }).lost);
    EXPECT_TRUE(unknown.network()->openFailed());
    EXPECT_TRUE(unknown.closeIfOpenFailed());
    EXPECT_FALSE(unknown.isOpen());
    EXPECT_EQ(openErrorReason(unknown.openError()).rfind("unknown host (", 0), 0u)
        << openErrorReason(unknown.openError());

    BackgroundWork work;
    NetLine late(*parseNetAddress("tcp:localhost:5470"), work);
    const auto now = Clock::now();
    ASSERT_TRUE(late.open(now));
    EXPECT_EQ(late.due(), now + NetLine::lookupWait);
    late.onTime(now + NetLine::lookupWait, false);
    EXPECT_TRUE(late.openFailed());
    EXPECT_FALSE(late.lookingUp());
    EXPECT_EQ(openErrorReason(late.error()), "unknown host (Temporary failure in name resolution)");
    std::array<uint8_t, 16> buffer{};
    bool arrived = false;
    EXPECT_EQ(late.take(buffer, arrived), -1) << "the line is gone";
}

} // namespace
} // namespace plotanix
