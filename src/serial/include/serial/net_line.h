#pragma once
// A line that is a TCP connection rather than a tty: to a serial server, to
// DOSBox's nullmodem port or to an Ethernet GPIB adapter (connecting), or
// from one host at a time (listening). Optionally with the telnet protocol
// taken off the data. It is a Line like a tty, so everything above the
// line is the same.

#include "common/background_work.h"
#include "common/deadline.h"
#include "common/unique_fd.h"
#include "serial/line.h"
#include "serial/telnet.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <utility>
#include <vector>

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

class NetLine : public Line {
  public:
    using Note = std::function<void(const std::string&)>;
    // How long one connection attempt is given before it counts as failed.
    static constexpr std::chrono::milliseconds connectWait{2000};
    // How long the resolver is given for a host name.
    static constexpr std::chrono::milliseconds lookupWait{10000};
    // Bytes read ahead of the plotter at most: beyond it the host waits (TCP's
    // own flow control), as a tty's driver buffer would make it.
    static constexpr size_t maxPending = 64 * 1024;
    // Bytes taken off the socket in one turn: a host sending without end
    // (data or telnet requests) leaves the loop its turn with the rest.
    static constexpr size_t readPerTurn = 64 * 1024;
    // The plotter's bytes held for a host that does not take them: past
    // this the replies wait in the link's queue.
    static constexpr size_t maxUnsent = 16 * 1024;
    // Telnet answers the host leaves unread past the plotter's own bytes:
    // beyond this the host is not listening, and the connection is closed.
    static constexpr size_t maxUnreadAnswers = 16 * 1024;
    // A host that comes while another is connected waits this long in the
    // listen queue for its turn; then it is turned away if the connected
    // host has sent data meanwhile, and otherwise waits on (see giveWayAfter).
    static constexpr std::chrono::milliseconds knockGrace{2000};
    // A connected host that has sent no data for this long while another
    // waits gives way to it (a host that connects and says nothing would
    // otherwise hold the line for ever); one sending data is never cut.
    void giveWayAfter(Clock::duration idle) { giveWay_ = idle; }
    // A host that ended its input gets its replies; if it takes none for
    // this long, the connection is closed without them.
    static constexpr std::chrono::milliseconds replyLinger{10000};
    // What a host that finds the plotter busy is told before it is closed.
    static constexpr std::string_view busyLine =
        "Plotanix: the plotter is busy with another computer; try again later.\r\n";

    // A host name is looked up on work's look-up lane.
    NetLine(NetAddress address, BackgroundWork& work, Note note = {});
    ~NetLine() override;
    NetLine(const NetLine&) = delete;
    NetLine& operator=(const NetLine&) = delete;

    // Starts listening, or starts connecting without waiting (a connection
    // the kernel settles at once, as on loopback, is made or refused here).
    // False: error() says why (an errno value, or a resolver error). A host
    // name is looked up by a helper thread meanwhile, with a deadline; what
    // open would have done then follows when the answer comes, and if that
    // fails, openFailed() says so and the line is gone.
    bool open(Clock::time_point now);
    int error() const { return error_; }
    // The host's name is being looked up.
    bool lookingUp() const { return lookup_ != nullptr; }
    // The open failed after the look-up (error() says why).
    bool openFailed() const { return openFailed_; }
    int lateOpenError() const override { return openFailed_ ? error_ : 0; }
    // A connection is being made (or its address looked up): the loop
    // waits for it (see due()).
    bool connecting() const { return connecting_ || lookingUp(); }

    // Readable when there is data, a host at the door, a connection made or
    // failed, room for held bytes, or the end of a connection.
    int pollDescriptor() const override { return events_.get(); }
    // The connection's own socket, to wait for room on; -1 without one.
    int dataDescriptor() const override { return connection_.get(); }
    // The port listened on (for a listener asked for port 0), or 0.
    int localPort() const;

    // Data bytes (the telnet protocol taken off), up to the buffer's size:
    // > 0 taken, 0 none now, -1 the connection is gone and every byte it
    // brought has been handed out (connecting only: a listener waits for
    // its next host).
    int take(std::span<uint8_t> buffer, bool& arrived) override;
    // Data bytes waiting to be taken, after taking what the socket has.
    int inputWaiting() override;
    // Data already read from the socket: poll() would not show it.
    bool holdsBytes() const override { return !pending_.empty(); }
    // Sent but not yet acknowledged by the other end, or not yet sent.
    int outputWaiting() override;
    // Takes the plotter's bytes whole (sending what the socket has room for
    // now, holding the rest; while connecting, holding them all), or none
    // (0) while maxUnsent are held. With no host connected they go nowhere.
    ssize_t put(std::string_view bytes) override;
    // Paced as the default serial line would be: how long a drain is given
    // before it is looked at again.
    Clock::duration wireTime(int bytes) const override;
    // Bytes held for the host: wait for room on dataDescriptor().
    bool waitsForRoom() const override { return !unsent_.empty(); }
    // What the socket has already taken is left to the kernel.
    size_t dropUnsent() override { return std::exchange(unsent_, {}).size(); }
    // Takes what the sockets have without waiting (hosts at the door,
    // bytes, a hang-up): false once a connection made by this end is gone.
    bool probe() override;
    // What has arrived and was not taken is dropped.
    void discardInput() override;

    // The loop's turn for what is due (a connection attempt's end, a host
    // waiting its grace, a finished connection's close). repliesWaiting:
    // the plotter still owes the host bytes, or has not yet read all it
    // took; a host that ended its input is closed only once it is owed
    // nothing.
    void onTime(Clock::time_point now, bool repliesWaiting) override;
    std::optional<Clock::time_point> due() const override;
    // Bytes hosts turned away had sent (never plotted).
    int64_t refusedBytes() const { return refusedBytes_; }

    // An address of the host (or to listen on).
    struct Place {
        sockaddr_storage address;
        socklen_t length;
    };

  private:
    struct Lookup;
    bool begin(std::vector<Place> places, Clock::time_point now);
    bool startLookup(Clock::time_point now);
    void lookedUp(int error, std::vector<Place> places, Clock::time_point now);
    bool listenOn(const std::vector<Place>& places);
    bool connectNext(Clock::time_point now);
    void connectSettled(int failure, Clock::time_point now);
    void service(Clock::time_point now);
    void admitHosts(Clock::time_point now);
    void turnAway(Clock::time_point now);
    void readConnection(Clock::time_point now);
    void inputEnded(Clock::time_point now);
    void closeConnection(const std::string& why);
    void startConnection(UniqueFd socket, const std::string& peer);
    void say(const std::string& text) const;
    // Sends what the socket takes now of the held bytes.
    void flush();
    void watch(int fd, uint32_t events);
    void updateInterest();
    void signalGone();

    NetAddress address_;
    Note note_;
    int error_ = 0;
    UniqueFd listener_;
    UniqueFd events_; // epoll: the listener, the connection and the wake-up, as one descriptor
    UniqueFd wake_;   // an eventfd: readable once a connection made by this end is gone
    UniqueFd connection_;
    std::string peer_;
    bool connecting_ = false;
    Clock::time_point connectDeadline_{};
    std::vector<Place> targets_; // addresses not yet tried
    BackgroundWork& work_;
    std::shared_ptr<Lookup> lookup_;
    Clock::time_point lookupDeadline_{};
    bool openFailed_ = false;
    bool gone_ = false;                           // the connection made by this end has closed
    bool ended_ = false;                          // the host ended its input (it may still read)
    Clock::time_point lastProgress_{};            // since the input ended: the last byte sent
    bool listenerOn_ = false;                     // the listener is watched
    std::optional<Clock::time_point> knockSince_; // a host waits in the listen queue
    Clock::time_point lastData_{};                // the connected host's last data byte
    Clock::duration giveWay_ = std::chrono::seconds(30);
    Clock::time_point owedUntil_{}; // a silent host still owed replies: looked at again then
    // The waiting host's grace is over: it is turned away, or the connected
    // host gives way to it, or it waits on.
    void settleKnock(Clock::time_point now, bool repliesWaiting);
    int64_t refusedBytes_ = 0;
    TelnetFilter telnet_;
    std::string pending_;
    std::string unsent_; // on the wire's terms: answers and the plotter's bytes
};

} // namespace plotanix
