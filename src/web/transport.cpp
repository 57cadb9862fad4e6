#include "transport.h"

#include "web/web_rules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plotanix::web {

namespace {

constexpr size_t requestMemory = 32 * 1024; // headers and URL: more is refused
// Newcomers are taken in beyond the places, so that one waiting for a place
// may be chosen to leave (at once) rather than the newcomer.
constexpr unsigned acceptedAtMost = 2 * WebServer::maxConnections;

std::string numericAddress(const sockaddr_storage& address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    const void* raw =
        address.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(address).sin_addr);
    return ::inet_ntop(address.ss_family, raw, text.data(), text.size()) != nullptr ? text.data()
                                                                                    : "";
}

// The listening socket at the numeric address, or an invalid one with why.
UniqueFd listenAt(const WebServer::Options& options, uint16_t& port, std::string& why) {
    const bool six = options.host.find(':') != std::string::npos;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (six) {
        auto& a = reinterpret_cast<sockaddr_in6&>(address);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(options.port);
        if (::inet_pton(AF_INET6, options.host.c_str(), &a.sin6_addr) == 1) length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(address);
        a.sin_family = AF_INET;
        a.sin_port = htons(options.port);
        if (::inet_pton(AF_INET, options.host.c_str(), &a.sin_addr) == 1) length = sizeof a;
    }
    if (length == 0) {
        why = "the web view's address " + options.host + " is not a numeric address";
        return {};
    }
    const std::string where =
        (six ? "[" + options.host + "]" : options.host) + ":" + std::to_string(options.port);
    UniqueFd listener(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!listener || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener.get(), 64) != 0) {
        why = "cannot listen at " + where + ": " + std::strerror(errno);
        return {};
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength);
    port = ntohs(six ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                     : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    return listener;
}

} // namespace

void secure(MHD_Response* response, const char* type) {
    MHD_add_response_header(response, "Content-Type", type);
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

MHD_Result send(MHD_Connection* connection, unsigned status, MHD_Response* response) {
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result sendText(MHD_Connection* connection, unsigned status, const std::string& text) {
    MHD_Response* response = MHD_create_response_from_buffer(
        text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    secure(response, "text/plain; charset=utf-8");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, status, response);
}

MHD_Result sendLater(MHD_Connection* connection, const std::string& text) {
    MHD_Response* response = MHD_create_response_from_buffer(
        text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    secure(response, "text/plain; charset=utf-8");
    MHD_add_response_header(response, "Retry-After", "1");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, MHD_HTTP_SERVICE_UNAVAILABLE, response);
}

std::unique_ptr<Transport> Transport::start(const WebServer::Options& options, Answer answer,
                                            Gone gone, std::string& why) {
    std::unique_ptr<Transport> t(new Transport);
    t->options_ = options;
    t->answer_ = std::move(answer);
    t->gone_ = std::move(gone);
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) == 0) t->machineName_ = name.data();
    UniqueFd listener = listenAt(options, t->port_, why);
    if (!listener) return nullptr;
    t->poller_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!t->poller_) {
        why = std::string("cannot start the web view: ") + std::strerror(errno);
        return nullptr;
    }
    const bool six = options.host.find(':') != std::string::npos;
    const unsigned flags = MHD_ALLOW_SUSPEND_RESUME | (six ? MHD_USE_IPv6 : 0);
    Transport* raw = t.get();
    t->daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &onRequest, raw, MHD_OPTION_LISTEN_SOCKET, listener.get(),
        MHD_OPTION_CONNECTION_LIMIT, acceptedAtMost, MHD_OPTION_CONNECTION_TIMEOUT,
        WebServer::idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, requestMemory,
        MHD_OPTION_NOTIFY_CONNECTION, &onConnection, raw, MHD_OPTION_NOTIFY_COMPLETED, &onCompleted,
        raw, MHD_OPTION_END);
    if (t->daemon_ == nullptr) {
        why = "cannot start the web view at " + options.host + ":" + std::to_string(options.port);
        return nullptr;
    }
    (void)listener.release(); // the library closes it
    t->cookie_ = cookieName(t->port_);
    t->watchSockets();
    return t;
}

Transport::~Transport() {
    closing_ = true;
    for (MHD_Connection* connection : std::set(suspended_))
        resume(connection);
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

void Transport::watchAlso(int fd) {
    if (fd < 0) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(poller_.get(), EPOLL_CTL_ADD, fd, &event) == 0) others_.insert(fd);
}

std::optional<Clock::time_point> Transport::due() const {
    if (runAgain_) return Clock::time_point{}; // at once
    std::optional<Clock::time_point> when = nextLate();
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(daemon_, &ms) == MHD_YES)
        when = earlier(when, turn_ + std::chrono::milliseconds(ms)); // as of the last turn
    return when;
}

void Transport::service(Clock::time_point now) {
    turn_ = now;
    runAgain_ = false;
    run();
    closeLate();
}

const std::string& Transport::addressOf(MHD_Connection* connection) const {
    static const std::string unknown;
    const auto held = places_.find(connection);
    return held != places_.end() ? held->second.address : unknown;
}

void Transport::suspend(MHD_Connection* connection) {
    if (!suspended_.insert(connection).second) return;
    MHD_suspend_connection(connection);
}

void Transport::resume(MHD_Connection* connection) {
    if (suspended_.erase(connection) == 0) return;
    runAgain_ = true;
    MHD_resume_connection(connection);
}

// The server's sockets, level-triggered, in a poller of our own whose one
// descriptor joins the loop's poll. (libmicrohttpd's own epoll mode is
// edge-triggered and misses a client that sends part of a request and
// closes at once until its idle deadline.)
void Transport::watchSockets() {
    fd_set reads, writes, errors;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&errors);
    MHD_socket most = -1;
    if (MHD_get_fdset2(daemon_, &reads, &writes, &errors, &most, FD_SETSIZE) != MHD_YES) most = -1;
    std::map<int, uint32_t> wanted;
    for (int fd = 0; fd <= most; ++fd) {
        const uint32_t events = (FD_ISSET(fd, &reads) ? uint32_t{EPOLLIN} : 0) |
                                (FD_ISSET(fd, &writes) ? uint32_t{EPOLLOUT} : 0);
        if (events != 0) wanted[fd] = events;
    }
    // A suspended connection is not the library's to watch: its browser
    // leaving is watched here.
    for (MHD_Connection* connection : suspended_) {
        const auto held = places_.find(connection);
        if (held != places_.end()) wanted[held->second.fd] = EPOLLRDHUP;
    }
    for (const auto& [fd, events] : watched_) {
        if (!wanted.contains(fd)) ::epoll_ctl(poller_.get(), EPOLL_CTL_DEL, fd, nullptr);
    }
    for (const auto& [fd, events] : wanted) {
        const auto was = watched_.find(fd);
        if (was != watched_.end() && was->second == events) continue;
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        // A descriptor closed and opened again under the same number has
        // left the poller on its own.
        if (was == watched_.end() || ::epoll_ctl(poller_.get(), EPOLL_CTL_MOD, fd, &event) != 0)
            ::epoll_ctl(poller_.get(), EPOLL_CTL_ADD, fd, &event);
    }
    watched_ = std::move(wanted);
}

// The library's turn on what the poller found ready.
void Transport::run() {
    std::array<epoll_event, 64> ready{};
    const int n = ::epoll_wait(poller_.get(), ready.data(), static_cast<int>(ready.size()), 0);
    fd_set reads, writes, errors;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&errors);
    for (int i = 0; i < n; ++i) {
        const int fd = ready[static_cast<size_t>(i)].data.fd;
        const uint32_t events = ready[static_cast<size_t>(i)].events;
        if (fd < 0 || fd >= FD_SETSIZE || others_.contains(fd)) continue;
        const auto held = placeOf_.find(fd);
        if (held != placeOf_.end() && suspended_.contains(held->second)) {
            resume(held->second);
            FD_SET(fd, &errors); // gone: the library closes it
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            FD_SET(fd, &reads);
            // The first bytes of a request start its header's deadline.
            if (held != placeOf_.end()) {
                Place& place = places_.at(held->second);
                if (!place.answering && !place.begun) place.begun = turn_;
            }
        }
        if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) FD_SET(fd, &writes);
    }
    MHD_run_from_select(daemon_, &reads, &writes, &errors);
    watchSockets();
}

// Tells the connection to go: its end is read at the library's next run.
void Transport::leave(Place& place) {
    place.leaving = true;
    ::shutdown(place.fd, SHUT_RDWR);
    runAgain_ = true;
}

// Places beyond the limits are given up by the connections that kept them
// longest without a request under way; a newcomer is last of those.
void Transport::admit(const std::string& address) {
    const auto heldBy = [&](const std::string* from) {
        return std::count_if(places_.begin(), places_.end(), [&](const auto& held) {
            return !held.second.leaving && (from == nullptr || held.second.address == *from);
        });
    };
    const auto giveUp = [&](const std::string* from) {
        Place* longest = nullptr;
        for (auto& [connection, place] : places_) {
            if (place.leaving || place.answering || (from && place.address != *from)) continue;
            const Clock::time_point kept = place.begun.value_or(place.since);
            if (longest == nullptr || kept < longest->begun.value_or(longest->since))
                longest = &place;
        }
        if (longest == nullptr) return false;
        leave(*longest);
        return true;
    };
    while (heldBy(&address) > static_cast<long>(WebServer::maxPerAddress) && giveUp(&address)) {
    }
    while (heldBy(nullptr) > static_cast<long>(WebServer::maxConnections) && giveUp(nullptr)) {
    }
}

// Headers that have not come whole in time.
void Transport::closeLate() {
    for (auto& [connection, place] : places_) {
        if (!place.leaving && !place.answering && place.begun &&
            turn_ - *place.begun >= WebServer::headerDeadline)
            leave(place);
    }
}

std::optional<Clock::time_point> Transport::nextLate() const {
    std::optional<Clock::time_point> when;
    for (const auto& [connection, place] : places_) {
        if (!place.leaving && !place.answering && place.begun)
            when = earlier(when, *place.begun + WebServer::headerDeadline);
    }
    return when;
}

bool Transport::hostPasses(MHD_Connection* connection) const {
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if (host == nullptr) return false;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (info == nullptr ||
        ::getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return false;
    return hostAllowed(host, numericAddress(local), port_, machineName_);
}

// The token given in the address is swapped for a cookie, and the browser
// sent on to the front page without it.
std::optional<MHD_Result> Transport::tokenRefused(MHD_Connection* connection) const {
    const std::string& token = options_.token;
    if (token.empty()) return std::nullopt;
    const char* given = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
    if (given != nullptr) {
        if (!sameToken(given, token))
            return sendText(connection, MHD_HTTP_FORBIDDEN, "The token is wrong.\n");
        MHD_Response* response =
            MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        if (response == nullptr) return MHD_NO;
        secure(response, "text/plain; charset=utf-8");
        MHD_add_response_header(response, "Location", "/");
        MHD_add_response_header(response, "Cache-Control", "no-store");
        const std::string set = cookie_ + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
        MHD_add_response_header(response, "Set-Cookie", set.c_str());
        return send(connection, MHD_HTTP_SEE_OTHER, response);
    }
    const char* kept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Cookie");
    if (kept != nullptr && sameToken(tokenInCookie(kept, cookie_), token)) return std::nullopt;
    return sendText(connection, MHD_HTTP_FORBIDDEN,
                    "A token is needed: open the address the plotter gave, with ?token=...\n");
}

MHD_Result Transport::admitted(MHD_Connection* connection, const char* url, const char* method,
                               size_t uploadSize, void** state) {
    // A GET is answered once the library knows it has no body: an answer
    // queued earlier closes the connection instead of keeping it for the
    // next request. Anything else is refused at once, its body unread.
    static char seen;
    const auto held = places_.find(connection);
    if (held != places_.end()) {
        held->second.answering = true;
        held->second.begun.reset();
    }
    const std::string_view asked(method);
    const bool get = asked == "GET" || asked == "HEAD";
    if (*state == nullptr && get) {
        *state = &seen;
        return MHD_YES;
    }
    if (uploadSize != 0)
        return sendText(connection, MHD_HTTP_BAD_REQUEST, "A request here has no body.\n");
    if (!get) {
        MHD_Response* response =
            MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        if (response == nullptr) return MHD_NO;
        secure(response, "text/plain; charset=utf-8");
        MHD_add_response_header(response, "Allow", "GET, HEAD");
        return send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response);
    }
    if (closing_) return MHD_NO;
    if (!hostPasses(connection))
        return sendText(connection, MHD_HTTP_MISDIRECTED_REQUEST, "Unknown host.\n");
    if (const std::optional<MHD_Result> refused = tokenRefused(connection)) return *refused;
    return answer_(connection, url);
}

MHD_Result Transport::onRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char*, size_t* uploadSize,
                                void** state) {
    return static_cast<Transport*>(cls)->admitted(connection, url, method, *uploadSize, state);
}

void Transport::onConnection(void* cls, MHD_Connection* connection, void**,
                             MHD_ConnectionNotificationCode code) {
    Transport& t = *static_cast<Transport*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* from =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        Place place;
        place.fd = fd != nullptr ? fd->connect_fd : -1;
        if (from != nullptr && from->client_addr != nullptr) {
            sockaddr_storage address{};
            std::memcpy(&address, from->client_addr,
                        from->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                                 : sizeof(sockaddr_in));
            place.address = numericAddress(address);
        }
        place.begun = place.since = t.turn_;
        t.placeOf_[place.fd] = connection;
        t.places_[connection] = place;
        t.admit(place.address);
    }
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        t.suspended_.erase(connection);
        if (t.gone_) t.gone_(connection);
        const auto held = t.places_.find(connection);
        if (held == t.places_.end()) return;
        t.placeOf_.erase(held->second.fd);
        t.places_.erase(held);
        // Past its own limit the library takes no one: a place is free again.
        if (t.places_.size() + 1 == acceptedAtMost) t.runAgain_ = true;
    }
}

// An answer has ended: the connection waits for its next request.
void Transport::onCompleted(void* cls, MHD_Connection* connection, void**,
                            MHD_RequestTerminationCode) {
    Transport& t = *static_cast<Transport*>(cls);
    const auto held = t.places_.find(connection);
    if (held == t.places_.end()) return;
    held->second.answering = false;
    held->second.since = t.turn_;
}

} // namespace plotanix::web
