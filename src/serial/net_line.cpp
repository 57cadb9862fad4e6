#include "serial/net_line.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>

namespace plotanix {

namespace {

constexpr std::string_view prefixes[] = {"tcp:", "tcp-listen:", "telnet:", "telnet-listen:"};
// Hosts turned away at one time: a flood of connections is worked off in
// turns with everything else the loop serves.
constexpr int admitsPerTurn = 64;

bool validPort(std::string_view text, bool listen) {
    int value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty() &&
           value >= (listen ? 0 : 1) && value <= 65535;
}

// "HOST:PORT", "[V6]:PORT", and for a listener "PORT" alone.
bool splitHostPort(std::string_view rest, NetAddress& address) {
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) {
        if (!address.listen) return false;
        address.host = "127.0.0.1";
        address.port = rest;
        return validPort(rest, true);
    }
    std::string_view host = rest.substr(0, colon);
    address.port = rest.substr(colon + 1);
    if (host.starts_with('[')) {
        if (!host.ends_with(']') || host.size() < 3) return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return false; // an IPv6 address must be in brackets
    }
    if (host.empty()) return false;
    address.host = host;
    return validPort(address.port, address.listen);
}

std::string describePeer(const sockaddr_storage& peer) {
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, host, sizeof host, port,
                sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    const bool v6 = peer.ss_family == AF_INET6;
    return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + port;
}

// Replies are a few bytes the host is waiting for: sent at once. A host
// that vanishes without a word is found out in the end.
void tuneConnection(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

} // namespace

// A host's addresses, asked of the resolver on a helper thread: shared with
// the thread, which may outlive the line (a resolver cannot be called off).
struct NetLine::Lookup {
    UniqueFd done{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)}; // readable once the answer is in
    std::atomic<bool> finished = false;
    int error = 0;
    std::vector<Place> places;
};

namespace {

// A host name or address to its addresses: 0, or the resolver's error as an
// open error. numericOnly: a name is not looked up (EAI_NONAME).
int lookUp(const NetAddress& address, bool numericOnly, std::vector<NetLine::Place>& places) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (address.listen ? AI_PASSIVE : AI_ADDRCONFIG) |
                     (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const int failed = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list);
    if (failed == EAI_SYSTEM) return errno;
    if (failed != 0) return resolveErrorBase + failed;
    for (const addrinfo* found = list; found != nullptr; found = found->ai_next) {
        NetLine::Place place{};
        place.length = std::min<socklen_t>(found->ai_addrlen, sizeof place.address);
        std::memcpy(&place.address, found->ai_addr, place.length);
        places.push_back(place);
    }
    freeaddrinfo(list);
    return 0;
}

} // namespace

bool isNetworkName(std::string_view name) {
    return std::any_of(std::begin(prefixes), std::end(prefixes),
                       [name](std::string_view prefix) { return name.starts_with(prefix); });
}

std::optional<NetAddress> parseNetAddress(std::string_view name) {
    for (const std::string_view prefix : prefixes) {
        if (!name.starts_with(prefix)) continue;
        NetAddress address;
        address.listen = prefix.find("-listen") != std::string_view::npos;
        address.telnet = prefix.starts_with("telnet");
        if (name.find('\0') != std::string_view::npos) return std::nullopt;
        if (!splitHostPort(name.substr(prefix.size()), address)) return std::nullopt;
        return address;
    }
    return std::nullopt;
}

bool isResolveError(int error) {
    return error <= resolveErrorBase - 1 && error > resolveErrorBase - 1000;
}

NetLine::NetLine(NetAddress address, BackgroundWork& work, Note note)
    : address_(std::move(address)), note_(std::move(note)), work_(work) {}

NetLine::~NetLine() = default;

void NetLine::say(const std::string& text) const {
    if (note_) note_(text);
}

bool NetLine::open(Clock::time_point now) {
    error_ = 0;
    openFailed_ = false;
    events_.reset(epoll_create1(EPOLL_CLOEXEC));
    wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!events_ || !wake_) {
        error_ = errno;
        return false;
    }
    watch(wake_.get(), EPOLLIN);
    std::vector<Place> places;
    error_ = lookUp(address_, true, places);
    if (error_ == resolveErrorBase + EAI_NONAME) return startLookup(now);
    return error_ == 0 && begin(std::move(places), now);
}

// A name is looked up off the loop, on the background work's look-up lane:
// the worker wakes the line through an eventfd in its epoll, and the loop
// keeps the deadline (see onTime). A resolver cannot be called off: the
// look-up's state is shared with the work, which may outlive the line.
bool NetLine::startLookup(Clock::time_point now) {
    auto lookup = std::make_shared<Lookup>();
    if (!lookup->done) {
        error_ = errno;
        return false;
    }
    work_.submit(BackgroundWork::Lane::lookups, [lookup, address = address_] {
        lookup->error = lookUp(address, false, lookup->places);
        lookup->finished.store(true, std::memory_order_release);
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(lookup->done.get(), &one, sizeof one);
        return BackgroundWork::Done();
    });
    error_ = 0;
    lookup_ = std::move(lookup);
    lookupDeadline_ = now + lookupWait;
    watch(lookup_->done.get(), EPOLLIN);
    return true;
}

// What open does with the addresses: listens on one, or connects to the
// first that takes the connection.
bool NetLine::begin(std::vector<Place> places, Clock::time_point now) {
    if (address_.listen) return listenOn(places);
    targets_ = std::move(places);
    error_ = ECONNREFUSED;
    return connectNext(now);
}

// The look-up's end (its answer, or its deadline): a failure from here on is
// the open's, and the line is gone.
void NetLine::lookedUp(int error, std::vector<Place> places, Clock::time_point now) {
    epoll_ctl(events_.get(), EPOLL_CTL_DEL, lookup_->done.get(), nullptr);
    lookup_.reset();
    error_ = error;
    if (error_ == 0 && begin(std::move(places), now)) return;
    openFailed_ = true;
    signalGone();
}

// The next address, without waiting: a connection the kernel settles at once
// (loopback) is made or refused here; any other is waited for by the loop.
bool NetLine::connectNext(Clock::time_point now) {
    while (!targets_.empty()) {
        const sockaddr_storage target = targets_.front().address;
        const socklen_t length = targets_.front().length;
        targets_.erase(targets_.begin());
        UniqueFd fd(::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const auto* place = reinterpret_cast<const sockaddr*>(&target);
        if (!fd || (::connect(fd.get(), place, length) != 0 && errno != EINPROGRESS)) {
            error_ = errno;
            continue;
        }
        int failure = 0;
        socklen_t size = sizeof failure;
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &failure, &size);
        if (failure != 0) {
            error_ = failure;
            continue;
        }
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        const bool made =
            getpeername(fd.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
        if (made) {
            startConnection(std::move(fd), address_.host + ":" + address_.port);
            return true;
        }
        connection_ = std::move(fd);
        connecting_ = true;
        connectDeadline_ = now + connectWait;
        updateInterest();
        return true;
    }
    return false;
}

// A connection attempt has ended: the line is made, or the next address is
// tried, or the connection made by this end is gone (the loop sees it).
void NetLine::connectSettled(int failure, Clock::time_point now) {
    connecting_ = false;
    if (failure == 0) {
        UniqueFd socket = std::move(connection_);
        startConnection(std::move(socket), address_.host + ":" + address_.port);
        say("Connected to " + peer_ + ".");
        return;
    }
    epoll_ctl(events_.get(), EPOLL_CTL_DEL, connection_.get(), nullptr);
    connection_.reset();
    error_ = failure;
    if (connectNext(now)) return;
    signalGone();
}

// The operator names the address to listen on; without one, only this
// machine can reach the plotter.
bool NetLine::listenOn(const std::vector<Place>& places) {
    for (const Place& here : places) {
        UniqueFd fd(
            ::socket(here.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const int on = 1;
        const auto* place = reinterpret_cast<const sockaddr*>(&here.address);
        if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd.get(), place, here.length) != 0 || ::listen(fd.get(), 16) != 0) {
            error_ = errno;
            continue;
        }
        listener_ = std::move(fd);
        updateInterest();
        error_ = 0;
        return true;
    }
    return false;
}

// Level-triggered interest, changed as the line's state changes: the loop
// is woken only by what someone will act on.
void NetLine::watch(int fd, uint32_t events) {
    epoll_event interest{};
    interest.events = events;
    interest.data.fd = fd;
    if (epoll_ctl(events_.get(), EPOLL_CTL_MOD, fd, &interest) != 0 && errno == ENOENT)
        epoll_ctl(events_.get(), EPOLL_CTL_ADD, fd, &interest);
}

// The listener is not watched while a host waits its grace (it stays in
// the queue); the connection is watched for its bytes until its input
// ends, and while connecting for the connection's outcome.
void NetLine::updateInterest() {
    if (listener_) watch(listener_.get(), knockSince_ ? 0U : uint32_t{EPOLLIN});
    if (!connection_) return;
    if (connecting_) return watch(connection_.get(), EPOLLOUT);
    watch(connection_.get(), ended_ ? 0 : EPOLLIN | EPOLLRDHUP);
}

void NetLine::signalGone() {
    gone_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(wake_.get(), &one, sizeof one);
}

int NetLine::localPort() const {
    sockaddr_storage here{};
    socklen_t length = sizeof here;
    const int fd = listener_ ? listener_.get() : connection_.get();
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&here), &length) != 0) return 0;
    if (here.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&here)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&here)->sin_port);
}

void NetLine::startConnection(UniqueFd socket, const std::string& peer) {
    tuneConnection(socket.get());
    connection_ = std::move(socket);
    peer_ = peer;
    gone_ = ended_ = connecting_ = false;
    telnet_ = TelnetFilter();
    // What was written while connecting goes after the protocol's opening.
    if (address_.telnet) unsent_.insert(0, telnet_.opening());
    updateInterest();
    flush();
    if (listener_) say("A computer connected from " + peer_ + ".");
}

// The first host in is the plotter's. Another that comes meanwhile waits in
// the listen queue: the connected host may be about to leave (a host
// sending one file after another). Past its grace it is told the plotter is
// busy and closed, and the first goes on undisturbed.
void NetLine::admitHosts(Clock::time_point now) {
    if (!listener_) return;
    if (connection_) {
        if (knockSince_) return;
        epoll_event ready[4];
        const int count = epoll_wait(events_.get(), ready, 4, 0);
        for (int i = 0; i < count; ++i)
            if (ready[i].data.fd == listener_.get()) knockSince_ = now;
        if (knockSince_) updateInterest();
        return;
    }
    const bool waited = knockSince_.has_value();
    knockSince_.reset();
    if (waited) updateInterest();
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    UniqueFd host(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                            SOCK_NONBLOCK | SOCK_CLOEXEC));
    // EAGAIN: none waiting; anything else: the host gave up
    if (host) startConnection(std::move(host), describePeer(peer));
}

// The hosts in the listen queue are told, their bytes counted as refused
// (they were never the plot's), and closed.
void NetLine::turnAway(Clock::time_point now) {
    knockSince_.reset();
    int hosts = 0;
    int64_t bytes = 0;
    std::string first;
    for (; hosts < admitsPerTurn; ++hosts) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd host(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!host) break;
        if (first.empty()) first = describePeer(peer);
        ::send(host.get(), busyLine.data(), busyLine.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        char chunk[4096];
        for (ssize_t got = 0; (got = ::recv(host.get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
            bytes += got;
    }
    refusedBytes_ += bytes;
    updateInterest();
    if (hosts == 0) return;
    const std::string who =
        hosts == 1 ? "The computer at " + first + " was"
                   : std::to_string(hosts) + " computers (the first at " + first + ") were";
    say(who + " turned away: the plotter is busy (" + std::to_string(bytes) +
        " bytes refused, not plotted).");
    (void)now;
}

// Takes what the connection has, up to the read-ahead limit and a turn's
// share; the end of the connection's input is seen here. Telnet answers go
// out with the plotter's own bytes, never waited for here.
void NetLine::readConnection(Clock::time_point now) {
    uint8_t chunk[16384];
    size_t taken = 0;
    while (connection_ && !connecting_ && !ended_ && pending_.size() < maxPending &&
           taken < readPerTurn) {
        const size_t room = std::min(sizeof chunk, maxPending - pending_.size());
        const ssize_t got = ::recv(connection_.get(), chunk, room, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got < 0) return closeConnection(""); // reset: nothing can reach the host
        if (got == 0) return inputEnded(now);
        taken += static_cast<size_t>(got);
        size_t count = static_cast<size_t>(got);
        if (address_.telnet) {
            count = telnet_.decode(chunk, count);
            unsent_ += telnet_.takeAnswers();
        }
        // The data first: whatever happens to the connection next, its bytes
        // are the line's.
        pending_.append(reinterpret_cast<const char*>(chunk), count);
        flush();
        if (unsent_.size() > maxUnsent + maxUnreadAnswers)
            return closeConnection("it sent telnet requests without reading the answers");
    }
}

// End of file from the host ends its input, not its output: what the
// plotter owes it is still sent (see onTime).
void NetLine::inputEnded(Clock::time_point now) {
    ended_ = true;
    lastProgress_ = now;
    updateInterest();
}

// Every byte the connection brought has been read; what is still pending is
// handed out before the loss is seen. A listener waits for its next host.
void NetLine::closeConnection(const std::string& why) {
    unsent_.clear();
    ended_ = false;
    if (connection_) epoll_ctl(events_.get(), EPOLL_CTL_DEL, connection_.get(), nullptr);
    connection_.reset();
    const std::string reason = why.empty() ? "" : ": " + why;
    if (!listener_) {
        if (!why.empty()) say("The connection to " + peer_ + " was closed" + reason + ".");
        return signalGone();
    }
    if (why.empty()) {
        say("The computer at " + peer_ + " disconnected; waiting for the next.");
    } else {
        say("The computer at " + peer_ + " was disconnected" + reason + "; waiting for the next.");
    }
}

void NetLine::service(Clock::time_point now) {
    if (lookup_ && lookup_->finished.load(std::memory_order_acquire))
        lookedUp(lookup_->error, std::move(lookup_->places), now);
    if (connecting_) {
        int failure = 0;
        socklen_t size = sizeof failure;
        getsockopt(connection_.get(), SOL_SOCKET, SO_ERROR, &failure, &size);
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (failure != 0 ||
            getpeername(connection_.get(), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            connectSettled(failure, now);
        if (connecting_) return;
    }
    flush();
    readConnection(now);
    if (ended_ && connection_) { // a host that reset the connection reads nothing more
        int failure = 0;
        socklen_t size = sizeof failure;
        getsockopt(connection_.get(), SOL_SOCKET, SO_ERROR, &failure, &size);
        if (failure != 0) closeConnection("");
    }
    admitHosts(now);
}

void NetLine::onTime(Clock::time_point now, bool repliesWaiting) {
    if (lookup_ && now >= lookupDeadline_) lookedUp(resolveErrorBase + EAI_AGAIN, {}, now);
    if (connecting_ && now >= connectDeadline_) connectSettled(ETIMEDOUT, now);
    if (knockSince_ && now >= *knockSince_ + knockGrace) {
        if (connection_) {
            turnAway(now);
        } else {
            admitHosts(now);
        }
    }
    flush();
    if (!ended_ || !connection_) return;
    // The host is owed nothing once every byte it sent was read and
    // answered: then the connection is closed, and a listener takes the
    // next host at once.
    if (!repliesWaiting && unsent_.empty() && pending_.empty()) {
        closeConnection("");
    } else if (now >= lastProgress_ + replyLinger) {
        closeConnection("it took none of its replies for " +
                        std::to_string(replyLinger.count() / 1000) + " s");
    } else {
        return;
    }
    admitHosts(now);
}

std::optional<Clock::time_point> NetLine::due() const {
    std::optional<Clock::time_point> at;
    if (lookup_) at = lookupDeadline_;
    if (connecting_) at = connectDeadline_;
    if (knockSince_) at = earlier(at, *knockSince_ + knockGrace);
    if (ended_ && connection_) at = earlier(at, lastProgress_ + replyLinger);
    return at;
}

int NetLine::take(std::span<uint8_t> buffer, bool& arrived) {
    if (pending_.empty()) service(Clock::now());
    arrived = !pending_.empty();
    if (pending_.empty()) return gone_ ? -1 : 0;
    const size_t n = std::min(pending_.size(), buffer.size());
    std::copy_n(pending_.data(), n, buffer.data());
    pending_.erase(0, n);
    return static_cast<int>(n);
}

int NetLine::inputWaiting() {
    service(Clock::now());
    return static_cast<int>(pending_.size());
}

int NetLine::outputWaiting() {
    int count = 0;
    if (!connection_ || connecting_ || ioctl(connection_.get(), TIOCOUTQ, &count) != 0) count = 0;
    return static_cast<int>(std::max(count, 0) + unsent_.size());
}

bool NetLine::probe() {
    service(Clock::now());
    return !gone_ || !pending_.empty();
}

void NetLine::discardInput() {
    service(Clock::now());
    pending_.clear();
}

ssize_t NetLine::put(std::string_view bytes) {
    // Bytes for a connection being made (an adapter's set-up) wait for it.
    if ((!connection_ && !lookingUp()) || gone_) return static_cast<ssize_t>(bytes.size());
    if (unsent_.size() >= maxUnsent) return 0;
    unsent_ += address_.telnet ? telnet_.encode(bytes) : std::string(bytes);
    flush();
    return static_cast<ssize_t>(bytes.size());
}

Clock::duration NetLine::wireTime(int bytes) const {
    return std::chrono::milliseconds(int64_t{bytes} * 9 * 1000 / 9600 + 1);
}

void NetLine::flush() {
    while (!unsent_.empty() && connection_ && !connecting_) {
        const ssize_t put =
            ::send(connection_.get(), unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put > 0) {
            unsent_.erase(0, static_cast<size_t>(put));
            lastProgress_ = Clock::now();
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // The host is gone: the read sees the end, or has seen it.
        unsent_.clear();
        if (ended_) closeConnection("");
        return;
    }
}

} // namespace plotanix
