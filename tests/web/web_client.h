#pragma once
// A browser's side of the web view in the test's own thread: loopback
// sockets driven in one poll() with the server's turns, so that no thread
// races the server and every wait has a deadline.

#include "common/unique_fd.h"
#include "web/web_server.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace plotanix::testing {

struct Answer {
    int status = 0;                             // 0: closed without an answer
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found != headers.end() ? found->second : std::string();
    }
};

// Another source served with the server in every wait while this object
// lives (the background work the server hands overlays to).
class AlsoServed {
  public:
    explicit AlsoServed(PollSource& source);
    ~AlsoServed();
    AlsoServed(const AlsoServed&) = delete;
    AlsoServed& operator=(const AlsoServed&) = delete;
};

// From 127.0.0.1, or from another loopback address when named.
UniqueFd connectTo(uint16_t port, const char* from = nullptr);

// A connection that has sent these (small) bytes.
UniqueFd sentFrom(uint16_t port, const std::string& bytes, const char* from = nullptr);

// Serves and reads until done(bytes read) holds, the client's end is closed,
// or the time is up; false only then.
bool pump(web::WebServer& server, int client, std::string& got,
          const std::function<bool(const std::string&)>& done,
          std::chrono::milliseconds timeout = std::chrono::seconds(5));

// What the server sends on the connection until it closes it or the time is up.
std::string drained(web::WebServer& server, int client,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));
// The server closed the connection without a word.
bool closedUnanswered(web::WebServer& server, int client);

// Serves until the server has this many connections open.
bool pumpUntilConnections(web::WebServer& server, unsigned count);

// The request as written (with its own Host header), then the answer
// read to the connection's end.
Answer exchangeRaw(web::WebServer& server, const std::string& request);
// GET (or another method) of the target with Host 127.0.0.1:port and
// any extra header lines ("Cookie: ...\r\n").
Answer request(web::WebServer& server, const std::string& target,
               const std::string& extraHeaders = "", const std::string& method = "GET");

Answer parseAnswer(const std::string& bytes);
// A chunked body as sent.
std::string unchunked(const std::string& body);

} // namespace plotanix::testing
