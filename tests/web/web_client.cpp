#include "web_client.h"

#include "common/deadline.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace plotanix::testing {

namespace {
PollSource* also = nullptr;
} // namespace

AlsoServed::AlsoServed(PollSource& source) {
    also = &source;
}

AlsoServed::~AlsoServed() {
    also = nullptr;
}

UniqueFd connectTo(uint16_t port, const char* from) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    if (from != nullptr) {
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &address.sin_addr);
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

bool pump(web::WebServer& server, int client, std::string& got,
          const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done(got)) {
        const auto now = Clock::now();
        if (now >= deadline) return false;
        pollfd fds[3] = {{server.descriptor(), POLLIN, 0},
                         {also != nullptr ? also->descriptor() : -1, POLLIN, 0},
                         {client, POLLIN, 0}};
        const auto due = server.due();
        ::poll(fds, client >= 0 ? 3 : 2, pollTimeout(earlier(due, deadline), now));
        const auto after = Clock::now();
        if (fds[1].revents != 0) also->service(after);
        if (fds[0].revents != 0 || fds[1].revents != 0 || (due && after >= *due))
            server.service(after);
        if (client >= 0 && fds[2].revents != 0) {
            char buffer[65536];
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN)) return done(got);
        }
    }
    return true;
}

UniqueFd sentFrom(uint16_t port, const std::string& bytes, const char* from) {
    UniqueFd client = connectTo(port, from);
    pollfd out{client.get(), POLLOUT, 0};
    ::poll(&out, 1, 1000);
    ::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return client;
}

std::string drained(web::WebServer& server, int client, std::chrono::milliseconds timeout) {
    std::string got;
    pump(
        server, client, got, [](const std::string&) { return false; }, timeout);
    return got;
}

bool closedUnanswered(web::WebServer& server, int client) {
    const bool silent = drained(server, client, std::chrono::seconds(2)).empty();
    char byte = 0;
    return silent && ::recv(client, &byte, 1, MSG_DONTWAIT) <= 0 && errno != EAGAIN;
}

bool pumpUntilConnections(web::WebServer& server, unsigned count) {
    std::string none;
    return pump(server, -1, none,
                [&](const std::string&) { return server.connections() == count; });
}

Answer parseAnswer(const std::string& bytes) {
    Answer answer;
    const size_t end = bytes.find("\r\n\r\n");
    if (bytes.size() < 12 || end == std::string::npos) return answer;
    answer.status = std::stoi(bytes.substr(9, 3));
    size_t at = bytes.find("\r\n") + 2;
    while (at < end) {
        const size_t lineEnd = bytes.find("\r\n", at);
        const std::string line = bytes.substr(at, lineEnd - at);
        const size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t value = line.find_first_not_of(' ', colon + 1);
        answer.headers[name] = value == std::string::npos ? "" : line.substr(value);
        at = lineEnd + 2;
    }
    answer.body = bytes.substr(end + 4);
    // Chunked bodies (the live channel) are left as they came.
    return answer;
}

std::string unchunked(const std::string& body) {
    std::string whole;
    size_t at = 0;
    while (at < body.size()) {
        const size_t line = body.find("\r\n", at);
        if (line == std::string::npos) break;
        const size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
        if (size == 0) break;
        whole += body.substr(line + 2, size);
        at = line + 2 + size + 2;
    }
    return whole;
}

Answer exchangeRaw(web::WebServer& server, const std::string& request) {
    UniqueFd client = connectTo(server.port());
    std::string got;
    // The request goes whole once the connection is up.
    pollfd out{client.get(), POLLOUT, 0};
    ::poll(&out, 1, 1000);
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n =
            ::send(client.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN) break;
        // Full: let the server take some.
        pump(
            server, -1, got, [](const std::string&) { return false; },
            std::chrono::milliseconds(5));
    }
    pump(server, client.get(), got, [](const std::string&) { return false; });
    return parseAnswer(got);
}

Answer request(web::WebServer& server, const std::string& target, const std::string& extraHeaders,
               const std::string& method) {
    return exchangeRaw(server, method + " " + target +
                                   " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                                   "\r\n" + extraHeaders + "Connection: close\r\n\r\n");
}

} // namespace plotanix::testing
