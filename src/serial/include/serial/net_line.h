#pragma once
// A line that is a TCP connection rather than a tty: to a serial server, to
// DOSBox's nullmodem port or to an Ethernet GPIB adapter (connecting), or
// from one host at a time (listening). Optionally with the telnet protocol
// taken off the data. The serial link keeps it behind its own face, so
// everything above the line is the same as on a tty.

#include "common/deadline.h"
#include "common/unique_fd.h"
#include "serial/telnet.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace plotanix {

struct NetAddress {
    bool listen = false; // listening for a host, or connecting to one
    bool telnet = false;
    std::string host; // listening: the address to listen on
    std::string port;
};

// True for a name that means a network line ("tcp:", "tcp-listen:",
// "telnet:", "telnet-listen:"), well formed or not.
bool isNetworkName(std::string_view name);
// "tcp:HOST:PORT", "tcp-listen:[ADDRESS:]PORT" (on 127.0.0.1 unless an
// address is named) and their telnet forms; an IPv6 address in brackets.
// None when the name is not a well-formed network line.
std::optional<NetAddress> parseNetAddress(std::string_view name);
inline constexpr const char* netNameForms =
    "tcp:HOST:PORT, tcp-listen:[ADDRESS:]PORT, telnet:HOST:PORT or telnet-listen:[ADDRESS:]PORT";

// A host name that could not be resolved, as an open error: the resolver's
// code, kept apart from errno values (see openErrorReason).
inline constexpr int resolveErrorBase = -1000;
bool isResolveError(int error);

class NetLine {
  public:
    using Note = std::function<void(const std::string&)>;
    // How long a connection is waited for before the attempt counts as failed.
    static constexpr std::chrono::milliseconds connectWait{2000};
    // Bytes read ahead of the plotter at most: beyond it the host waits (TCP's
    // own flow control), as a tty's driver buffer would make it.
    static constexpr size_t maxPending = 64 * 1024;
    // What a host that finds the plotter busy is told before it is closed.
    static constexpr std::string_view busyLine =
        "Plotanix: the plotter is busy with another computer; try again later.\r\n";

    explicit NetLine(NetAddress address, Note note = {});
    ~NetLine();
    NetLine(const NetLine&) = delete;
    NetLine& operator=(const NetLine&) = delete;

    // Connects (waiting at most connectWait, cut short by the interrupt
    // descriptor) or starts listening. False: error() says why (an errno
    // value, or a resolver error).
    bool open(int interruptFd);
    int error() const { return error_; }

    // Readable when there is data, a host at the door or a hang-up.
    int pollDescriptor() const;
    // The connection's own socket; -1 while no host is connected.
    int dataDescriptor() const { return connection_.get(); }
    bool hostConnected() const { return connection_.valid(); }
    // The port listened on (for a listener asked for port 0), or 0.
    int localPort() const;

    // Data bytes (the telnet protocol taken off), up to room: > 0 taken, 0
    // none now, -1 the connection is gone and every byte it brought has been
    // handed out (connecting only: a listener waits for its next host).
    int take(uint8_t* buffer, int room);
    // Data bytes waiting to be taken, after taking what the socket has.
    int inputWaiting();
    // Data already read from the socket: poll() would not show it.
    bool holdsBytes() const { return !pending_.empty(); }
    // Sent but not yet acknowledged by the other end.
    int outputWaiting() const;
    // Sends the plotter's bytes, waiting at most until the deadline for room;
    // the count of its bytes sent. With no host connected they go nowhere.
    int write(std::string_view bytes, Clock::time_point deadline);
    // Takes what the sockets have without waiting (hosts at the door,
    // bytes, a hang-up): false once a connection made by this end is gone.
    bool probe();
    // What has arrived and was not taken is dropped.
    void discardInput();

  private:
    bool connectTo(int interruptFd);
    bool listenOn();
    void service();
    void admitHosts();
    void readConnection();
    void hostGone();
    void startConnection(UniqueFd socket, const std::string& peer);
    void say(const std::string& text) const;
    // Bytes as they go on the wire (the protocol's own, or data encoded).
    size_t sendWire(std::string_view wire, Clock::time_point deadline);

    NetAddress address_;
    Note note_;
    int error_ = 0;
    UniqueFd listener_;
    UniqueFd events_; // epoll: the listener and the connection, as one descriptor
    UniqueFd connection_;
    std::string peer_;
    bool gone_ = false;       // the connection made by this end has closed
    bool turnedAway_ = false; // said once while a host is connected
    TelnetFilter telnet_;
    std::string pending_;
};

} // namespace plotanix
