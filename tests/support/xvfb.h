#pragma once
// A private Xvfb server for tests that need a real X display: started on a
// display number nobody uses, ready to accept clients when start() returns,
// and named in DISPLAY until stop() (also run by the destructor) ends it.

#include <string>
#include <sys/types.h>

namespace plotanix::testing {

class XvfbServer {
  public:
    XvfbServer() = default;
    ~XvfbServer() { stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // False, with the reason in error(), when the server did not come up.
    bool start(int width = 1024, int height = 768, int depth = 24);
    void stop();

    bool running() const { return pid_ > 0; }
    const std::string& displayName() const { return displayName_; } // ":N"
    const std::string& error() const { return error_; }

  private:
    bool launch(const std::string& screen, int readyFd);
    bool awaitReady(int readyFd);

    pid_t pid_ = -1;
    std::string displayName_;
    std::string error_;
    std::string savedDisplay_;
    bool hadDisplay_ = false;
};

} // namespace plotanix::testing
