#pragma once
// The web view as both modes of the program keep it: the server the
// settings ask for, told what the plotter does, which page it draws on and
// which pages it saved. A program without --web has none, and every call
// here is then nothing.

#include "settings/settings.h"
#include "web/web_server.h"

#include <memory>
#include <string>
#include <vector>

namespace plotanix {

class BackgroundWork;

// The file in the page folder a new token is kept in.
inline constexpr const char* webTokenName = "web-token";

// The token for the address: from the file when one is named; otherwise a
// new one for an address other than loopback, none for loopback. Empty
// with why when the file cannot give one.
std::string webTokenFor(const Settings& settings, std::string& why);

class WebView {
  public:
    // Starts (or starts again, when the address or the token file changed)
    // the server the settings ask for, stops it when they ask for none; a
    // new token is kept in the page folder's web-token file, readable by
    // its owner alone. Overlays are drawn on the background work when one
    // is given. False with why in one line when it cannot listen.
    bool follow(const Settings& settings, std::string& why, BackgroundWork* work = nullptr);
    bool running() const { return server_ != nullptr; }
    // What to give the operator ("web view: ..."): the addresses (each of
    // the machine's own for every network) and, when a token is asked
    // for, the file it is in, never the token itself.
    std::string url() const;
    // For the event loop; nullptr without a server.
    PollSource* source() { return server_.get(); }

    // The page drawn on, asked for when a browser needs it (empty: none).
    void showPage(web::WebServer::PageProvider page);
    void pageChanged(int32_t instructions, int32_t ignored);
    void pageSaved(const std::string& name);
    // What the plotter does, as a sentence; the run's counts are dropped.
    void activity(std::string text);
    void line(std::string description);
    void lineLost(bool lost);
    void adapter(std::vector<std::string> said);

  private:
    void tell();

    std::unique_ptr<web::WebServer> server_;
    std::optional<WebAddress> address_;
    std::string tokenFile_;
    std::string tokenKept_; // where the token is, when one is asked for
    web::WebStatus status_;
};

} // namespace plotanix
