#pragma once
// A private Xvfb server for tests that need a real X display: started on a
// display number nobody uses, ready for clients when start() returns, and
// named in DISPLAY from then on. stop() (also run by the destructor) ends it.

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
    bool start(int width = 1024, int height = 768);
    void stop();

    const std::string& displayName() const { return displayName_; } // ":N"
    const std::string& error() const { return error_; }

  private:
    pid_t pid_ = -1;
    std::string displayName_;
    std::string error_;
};

} // namespace plotanix::testing
