#include "serial/net_line.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace plotanix {

namespace {

constexpr std::string_view prefixes[] = {"tcp:", "tcp-listen:", "telnet:", "telnet-listen:"};
// Hosts taken from the listener's queue at one wake-up: a flood of
// connections is worked off in turns with everything else the loop serves.
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

struct AddrInfo {
    addrinfo* list = nullptr;
    ~AddrInfo() {
        if (list != nullptr) freeaddrinfo(list);
    }
};

// A host name or address to its addresses: 0, or the resolver's error as an
// open error.
int resolve(const NetAddress& address, AddrInfo& found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (address.listen ? AI_PASSIVE : AI_ADDRCONFIG);
    const int failed = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found.list);
    if (failed == EAI_SYSTEM) return errno;
    return failed != 0 ? resolveErrorBase + failed : 0;
}

// One connection attempt, cut short by the interrupt descriptor: 0, or why
// it failed.
int connectOnce(int fd, const addrinfo& target, int interruptFd) {
    if (::connect(fd, target.ai_addr, target.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    const auto deadline = Clock::now() + NetLine::connectWait;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {interruptFd, POLLIN, 0}};
    for (int waitMs = msUntil(deadline); waitMs > 0; waitMs = msUntil(deadline)) {
        const int ready = ::poll(fds, 2, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return errno;
        if (fds[1].revents != 0) return EINTR;
        if (fds[0].revents == 0) continue;
        int failure = 0;
        socklen_t length = sizeof failure;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
        return failure;
    }
    return ETIMEDOUT;
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

NetLine::NetLine(NetAddress address, Note note)
    : address_(std::move(address)), note_(std::move(note)) {}

NetLine::~NetLine() = default;

bool NetLine::open(int interruptFd) {
    error_ = 0;
    return address_.listen ? listenOn() : connectTo(interruptFd);
}

void NetLine::say(const std::string& text) const {
    if (note_) note_(text);
}

bool NetLine::connectTo(int interruptFd) {
    AddrInfo found;
    error_ = resolve(address_, found);
    if (error_ != 0) return false;
    error_ = ECONNREFUSED;
    for (const addrinfo* target = found.list; target != nullptr; target = target->ai_next) {
        UniqueFd fd(::socket(target->ai_family, target->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                             target->ai_protocol));
        if (!fd) {
            error_ = errno;
            continue;
        }
        error_ = connectOnce(fd.get(), *target, interruptFd);
        if (error_ != 0) continue;
        startConnection(std::move(fd), address_.host + ":" + address_.port);
        return true;
    }
    return false;
}

// The operator names the address to listen on; without one, only this
// machine can reach the plotter.
bool NetLine::listenOn() {
    AddrInfo found;
    error_ = resolve(address_, found);
    if (error_ != 0) return false;
    for (const addrinfo* here = found.list; here != nullptr; here = here->ai_next) {
        UniqueFd fd(::socket(here->ai_family, here->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                             here->ai_protocol));
        const int on = 1;
        if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd.get(), here->ai_addr, here->ai_addrlen) != 0 || ::listen(fd.get(), 16) != 0) {
            error_ = errno;
            continue;
        }
        events_.reset(epoll_create1(EPOLL_CLOEXEC));
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.fd = fd.get();
        if (!events_ || epoll_ctl(events_.get(), EPOLL_CTL_ADD, fd.get(), &interest) != 0) {
            error_ = errno;
            return false;
        }
        listener_ = std::move(fd);
        error_ = 0;
        return true;
    }
    return false;
}

int NetLine::pollDescriptor() const {
    return address_.listen ? events_.get() : connection_.get();
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
    gone_ = false;
    turnedAway_ = false;
    telnet_ = TelnetFilter();
    if (address_.telnet) sendWire(telnet_.opening(), Clock::now() + std::chrono::seconds(1));
    if (!events_) return;
    epoll_event interest{};
    interest.events = EPOLLIN | EPOLLRDHUP;
    interest.data.fd = connection_.get();
    epoll_ctl(events_.get(), EPOLL_CTL_ADD, connection_.get(), &interest);
    say("A computer connected from " + peer_ + ".");
}

// The first host in is the plotter's; any other is told so and closed at
// once, and the first goes on undisturbed.
void NetLine::admitHosts() {
    for (int turn = 0; turn < admitsPerTurn && listener_; ++turn) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd host(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!host) return; // EAGAIN: none left; anything else: the host gave up
        if (!connection_) {
            startConnection(std::move(host), describePeer(peer));
            continue;
        }
        ::send(host.get(), busyLine.data(), busyLine.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (!std::exchange(turnedAway_, true))
            say("The computer at " + describePeer(peer) + " was turned away: the plotter is busy.");
    }
}

// Takes what the connection has, up to the read-ahead limit; the end of
// the connection is seen here.
void NetLine::readConnection() {
    uint8_t chunk[16384];
    while (connection_ && !gone_ && pending_.size() < maxPending) {
        const size_t room = std::min(sizeof chunk, maxPending - pending_.size());
        const ssize_t got = ::recv(connection_.get(), chunk, room, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got <= 0) return hostGone();
        size_t count = static_cast<size_t>(got);
        if (address_.telnet) {
            count = telnet_.decode(chunk, count);
            const std::string answers = telnet_.takeAnswers();
            if (!answers.empty()) sendWire(answers, Clock::now() + std::chrono::seconds(1));
        }
        pending_.append(reinterpret_cast<const char*>(chunk), count);
    }
}

// Every byte the connection brought has been read; what is still pending is
// handed out before the loss is seen. A connection this end made stays open
// (and readable) until the line is closed, so the loop sees the loss.
void NetLine::hostGone() {
    if (!address_.listen) {
        gone_ = true;
        return;
    }
    epoll_ctl(events_.get(), EPOLL_CTL_DEL, connection_.get(), nullptr);
    connection_.reset();
    say("The computer at " + peer_ + " disconnected; waiting for the next.");
}

void NetLine::service() {
    if (listener_) admitHosts();
    readConnection();
}

int NetLine::take(uint8_t* buffer, int room) {
    if (pending_.empty()) service();
    if (pending_.empty()) return gone_ ? -1 : 0;
    const size_t n = std::min(pending_.size(), static_cast<size_t>(std::max(room, 0)));
    std::copy_n(pending_.data(), n, buffer);
    pending_.erase(0, n);
    return static_cast<int>(n);
}

int NetLine::inputWaiting() {
    service();
    return static_cast<int>(pending_.size());
}

int NetLine::outputWaiting() const {
    int count = 0;
    if (!connection_ || ioctl(connection_.get(), TIOCOUTQ, &count) != 0) return 0;
    return std::max(count, 0);
}

bool NetLine::probe() {
    service();
    return !gone_ || !pending_.empty();
}

void NetLine::discardInput() {
    service();
    pending_.clear();
}

int NetLine::write(std::string_view bytes, Clock::time_point deadline) {
    if (!connection_ || gone_) return static_cast<int>(bytes.size());
    if (!address_.telnet) return static_cast<int>(sendWire(bytes, deadline));
    const std::string wire = telnet_.encode(bytes);
    // The count is of the plotter's bytes, not of the protocol's doubling.
    const size_t sent = sendWire(wire, deadline);
    return sent == wire.size() ? static_cast<int>(bytes.size())
                               : static_cast<int>(std::min(sent, bytes.size()));
}

size_t NetLine::sendWire(std::string_view wire, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < wire.size() && connection_ && !gone_) {
        const ssize_t put = ::send(connection_.get(), wire.data() + sent, wire.size() - sent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put > 0) {
            sent += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break; // the read sees the end
        pollfd out = {connection_.get(), POLLOUT, 0};
        const int waitMs = msUntil(deadline);
        if (waitMs == 0 || (::poll(&out, 1, waitMs) < 0 && errno != EINTR)) break;
        if ((out.revents & (POLLHUP | POLLERR)) != 0) break;
    }
    return sent;
}

} // namespace plotanix
