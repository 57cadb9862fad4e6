#pragma once
// The web view's admission and transport: the listening socket and
// libmicrohttpd driven from the program's one wait through a poller of our
// own, the places connections hold (how many, from where, for how long)
// and who may ask (the Host header and the token). A request that passes
// is handed to the routes; anything else is answered here.

#include "common/poll_source.h"
#include "common/unique_fd.h"
#include "web/web_server.h"

#include <microhttpd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace plotanix::web {

// Every answer says what it is and that nothing else may be loaded into it.
void secure(MHD_Response* response, const char* type);
// Queues the answer and lets it go (the connection keeps it).
MHD_Result send(MHD_Connection* connection, unsigned status, MHD_Response* response);
// A short answer in plain text, never cached.
MHD_Result sendText(MHD_Connection* connection, unsigned status, const std::string& text);
// "Ask again in a moment": 503, with a second's Retry-After.
MHD_Result sendLater(MHD_Connection* connection, const std::string& text);

class Transport {
  public:
    // The answer to a GET or HEAD that passed admission. Called again for a
    // connection resumed before it was answered.
    using Answer = std::function<MHD_Result(MHD_Connection* connection, const std::string& url)>;
    // A connection has gone: what was kept for it goes too.
    using Gone = std::function<void(MHD_Connection* connection)>;

    // Listening, or nullptr with why in one line.
    static std::unique_ptr<Transport> start(const WebServer::Options& options, Answer answer,
                                            Gone gone, std::string& why);
    // Connections suspended are let go first: the library refuses to stop
    // with any.
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    uint16_t port() const { return port_; }
    unsigned connections() const { return static_cast<unsigned>(places_.size()); }
    int descriptor() const { return poller_.get(); }
    // Another descriptor the poller watches for its owner (the folder's
    // changes): a turn comes when it is ready, and it is not ours to read.
    void watchAlso(int fd);
    std::optional<Clock::time_point> due() const;
    // The library's turn on what is ready, and headers past their deadline.
    void service(Clock::time_point now);
    // What the poller watches again, after the turn's changes.
    void settle() { watchSockets(); }
    Clock::time_point turn() const { return turn_; }
    bool closing() const { return closing_; }

    // The numeric address a connection came from.
    const std::string& addressOf(MHD_Connection* connection) const;
    // Off the library's books until resumed; its browser leaving (a closed
    // tab) resumes it, so that its place is freed at once.
    void suspend(MHD_Connection* connection);
    void resume(MHD_Connection* connection);
    bool suspended(MHD_Connection* connection) const { return suspended_.contains(connection); }

  private:
    // A connection's place: who holds it and how it uses it.
    struct Place {
        int fd = -1;
        std::string address;
        bool answering = false; // a request's header is whole; until its answer ends
        bool leaving = false;   // told to go
        std::optional<Clock::time_point> begun; // a header is coming (or the connection opened)
        Clock::time_point since{};              // opened, or its last answer ended
    };

    Transport() = default;
    void watchSockets();
    void run();
    void leave(Place& place);
    void admit(const std::string& address);
    void closeLate();
    std::optional<Clock::time_point> nextLate() const;
    bool hostPasses(MHD_Connection* connection) const;
    std::optional<MHD_Result> tokenRefused(MHD_Connection* connection) const;
    MHD_Result admitted(MHD_Connection* connection, const char* url, const char* method,
                        size_t uploadSize, void** state);

    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char*, size_t* uploadSize,
                                void** state);
    static void onConnection(void* cls, MHD_Connection* connection, void**,
                             MHD_ConnectionNotificationCode code);
    static void onCompleted(void* cls, MHD_Connection* connection, void**,
                            MHD_RequestTerminationCode);

    WebServer::Options options_;
    Answer answer_;
    Gone gone_;
    MHD_Daemon* daemon_ = nullptr;
    UniqueFd poller_;                 // level-triggered, over the server's sockets
    std::map<int, uint32_t> watched_; // what the poller watches for on each
    std::set<int> others_;            // watched for the owner
    uint16_t port_ = 0;
    std::string machineName_;
    std::string cookie_; // the token's cookie's name
    std::map<MHD_Connection*, Place> places_;
    std::map<int, MHD_Connection*> placeOf_; // by descriptor
    std::set<MHD_Connection*> suspended_;
    Clock::time_point turn_{}; // the time of the turn under way
    bool closing_ = false;
    // Work the library has to do at its next run (connections resumed, a
    // place freed for one waiting to be taken), which no descriptor shows.
    bool runAgain_ = false;
};

} // namespace plotanix::web
