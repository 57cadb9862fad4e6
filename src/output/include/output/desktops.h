#pragma once
// The displays of the desktop, so that the plot window can be centred.

#include <string>
#include <vector>

namespace plotanix {

struct DisplayInfo {
    int x = 0, y = 0;
    int width = 0, height = 0;
    int depth = 0;
    int refresh = 0;  // Hz; 0 for the hardware default
    std::string name; // up to 32 bytes; empty in the fallback entry
};

class Desktops {
  public:
    // Entry 0 is the primary display. With no display at all (no X or
    // Wayland server) one fallback entry of 800 x 600 is used.
    int examineDesktops();
    int desktopWidth(int i) const;  // 0 when i is not an entry
    int desktopHeight(int i) const; // 0 when i is not an entry
    const std::vector<DisplayInfo>& entries() const { return entries_; }

  private:
    std::vector<DisplayInfo> entries_;
};

} // namespace plotanix
