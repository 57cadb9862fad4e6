#pragma once
// A test's own client of an X server, as another program would see the
// plot window: found by its title, its place and what it shows.

#include <cstdint>
#include <string>
#include <vector>

// Xlib's names for a connection and a window, without the rest of its
// header (and its macros) in every file that includes this one.
typedef struct _XDisplay Display;
typedef unsigned long XID;
typedef XID Window;

namespace plotanix::testing {

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool viewable = false;
};

class XView {
  public:
    explicit XView(const char* display = nullptr);
    ~XView();
    XView(const XView&) = delete;
    XView& operator=(const XView&) = delete;

    Display* display() const { return display_; }
    ::Window root() const;
    // The window titled name, or 0.
    ::Window findByName(const std::string& name) { return search(root(), name); }
    // Where the window's client area is on the screen.
    WindowGeometry geometry(::Window window);
    // What the screen shows in the rectangle, as 0xRRGGBB values.
    std::vector<uint32_t> screenshot(int x, int y, int width, int height);
    // A plain black window over the rectangle, mapped.
    ::Window cover(int x, int y, int width, int height);
    // A property of 32-bit values.
    std::vector<unsigned long> cardinals(::Window window, const char* property);

  private:
    ::Window search(::Window parent, const std::string& name);

    Display* display_;
};

} // namespace plotanix::testing
