#pragma once
// The pages in a browser: a small read-only HTTP server inside the
// program's one wait. It serves the plotter's state, the page as it is
// drawn, the saved pages and the transcript, and tells browsers through a
// live channel (Server-Sent Events) when the page changed and when one was
// saved. Its turns come between the model's: the page is read only then,
// when a request needs it, and copied as a snapshot that stays whatever
// becomes of the page drawn on. Nothing a request does writes a file or
// sends a byte to the line.
//
// Who may ask: the address it listens on (loopback unless named), a Host
// header naming that address, localhost or this machine (against DNS
// rebinding), and, when a token is set, the token (given once as
// ?token=..., then kept as a cookie named for the port).
//
// Places: at most 16 connections, at most 12 from one address. A request's
// header must be whole within 5 s of its first byte (or of the connection's
// opening), and one silent for 30 s is closed. When a newcomer finds no
// place, the connection that has kept its place longest without a request
// under way (a header trickling in, a browser's idle connection) gives it
// up; when every place is answering, the newcomer is closed. Live channels
// are held to fewer places than that (see live_channel.h), so that page
// requests always find one.

#include "common/poll_source.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plotanix {

class BackgroundWork;
struct PageImage;

namespace web {

// What the front page says of the plotter.
struct WebStatus {
    std::string activity = "Waiting for the computer"; // what it does now, as a sentence
    int32_t instructions = -1;                         // the run's counts; -1: none shown
    int32_t ignored = -1;
    std::string line;                 // the line and its settings
    bool lineLost = false;            // the line is gone and looked for
    std::vector<std::string> adapter; // what the USB-GPIB adapter said, if one is used
    bool operator==(const WebStatus&) const = default;
};

class WebServer : public PollSource {
  public:
    static constexpr unsigned maxConnections = 16;
    static constexpr unsigned maxPerAddress = 12;
    static constexpr auto headerDeadline = std::chrono::seconds(5);
    static constexpr unsigned idleSeconds = 30;
    static constexpr auto livePace = std::chrono::milliseconds(250); // 4 messages a second
    static constexpr auto keepAlive = std::chrono::seconds(25);      // finds watchers that are gone

    struct Options {
        std::string host = "127.0.0.1"; // a numeric address
        uint16_t port = 0;              // 0: any free one
        std::string token;              // empty: none asked for
        std::string folder;             // where the pages and the transcript are
        // Where overlays are drawn, off the loop (it must outlive the
        // server); nullptr: on the loop.
        BackgroundWork* work = nullptr;
    };
    // The page drawn on now, asked for when a request needs it; nullptr: none.
    using PageProvider = std::function<const PageImage*()>;

    // Listening, or nullptr with why in one line.
    static std::unique_ptr<WebServer> start(const Options& options, std::string& why);
    ~WebServer() override;
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // A new token (32 hex digits from the system's random source).
    static std::string newToken();
    // The token in the file's first line; empty, with why, when it cannot
    // be read or is not 16 to 128 letters, digits, '-', '_' or '.'.
    static std::string tokenFromFile(const std::string& path, std::string& why);

    uint16_t port() const;
    // Where a browser finds it: http://127.0.0.1:8470/, with ?token=... when asked for.
    std::string url() const;
    // Where browsers find it, without the token: the address it listens on,
    // or for every network (0.0.0.0, ::) each of the machine's own.
    std::vector<std::string> addresses() const;
    // The token, with the addresses that carry it, in a new file only its
    // owner may read (replacing any there); false with why in one line.
    static bool writeTokenFile(const std::string& path, const std::string& token,
                               const std::vector<std::string>& addresses, std::string& why);
    // Connections open now.
    unsigned connections() const;

    int descriptor() const override;
    std::optional<Clock::time_point> due() const override;
    void service(Clock::time_point now) override;

    // The page to show as it is drawn (empty: none): asked for when a
    // request needs it, so it may come and go as it likes.
    void showPage(PageProvider page);
    // The page shown has changed: browsers are told at the next pace.
    void pageChanged();
    // A page was saved under this name: browsers are told at once.
    void pageSaved(const std::string& name);
    void setStatus(WebStatus status);

  private:
    struct Impl;
    explicit WebServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace web
} // namespace plotanix
