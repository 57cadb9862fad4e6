#pragma once
// A private X display for tests, and what another client sees on it.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace plotanix::testing {

// ":N" of an Xvfb of 1024 x 768 x 24 started on first use and from then on
// named in DISPLAY; it ends with the test process. Empty if it cannot start.
const std::string& xvfbDisplay();

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0; // the client area on the screen
    unsigned long id = 0;                    // the X window
};

// The viewable window of that title on the display (empty: xvfbDisplay()).
std::optional<WindowGeometry> findWindow(const std::string& title, const std::string& display = "");

// An Xvfb of the test's own, that the test can take away from the program.
class PrivateXvfb {
  public:
    PrivateXvfb();
    ~PrivateXvfb();
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;
    const std::string& name() const { return name_; } // ":N", empty if it did not start
    void stop();

  private:
    pid_t pid_ = -1;
    std::string name_;
};

// Moves and resizes the window, as the operator would with the mouse (Xvfb
// runs no window manager, so the request takes effect as it is).
bool moveResizeWindow(unsigned long id, int x, int y, int width, int height);

// What the screen shows in the rectangle: top row first, bytes R, G, B.
std::vector<uint8_t> screenshot(int x, int y, int width, int height);

} // namespace plotanix::testing
