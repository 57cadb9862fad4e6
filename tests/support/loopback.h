#pragma once
// The far end of a network line in tests: plain blocking sockets on
// loopback, with every wait bounded.

#include "common/unique_fd.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace plotanix::testing {

inline sockaddr_in loopbackAt(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A host connecting to the plotter; invalid when nobody listens.
inline UniqueFd connectTo(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = loopbackAt(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

// A server the plotter connects to, on a free port of the loopback.
struct LoopbackServer {
    LoopbackServer() {
        sockaddr_in address = loopbackAt(0);
        const int on = 1;
        setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener.get(), 4);
        socklen_t length = sizeof address;
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    // The next connection, waiting at most timeout.
    UniqueFd accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        pollfd in{listener.get(), POLLIN, 0};
        if (::poll(&in, 1, static_cast<int>(timeout.count())) <= 0) return {};
        return UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    std::string name(std::string_view scheme = "tcp") const {
        return std::string(scheme) + ":127.0.0.1:" + std::to_string(port);
    }

    UniqueFd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int port = 0;
};

inline bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// What the other end sends until it closes, or until it has sent atLeast
// bytes, or nothing has come for quiet.
inline std::string receive(int fd, size_t atLeast = SIZE_MAX,
                           std::chrono::milliseconds quiet = std::chrono::seconds(5)) {
    std::string got;
    char chunk[4096];
    while (got.size() < atLeast) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, static_cast<int>(quiet.count())) <= 0) break;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// Whether the other end has closed: a read sees the end (or a reset)
// within the wait.
inline bool closedByPeer(int fd, std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    pollfd in{fd, POLLIN, 0};
    if (::poll(&in, 1, static_cast<int>(wait.count())) <= 0) return false;
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

} // namespace plotanix::testing
