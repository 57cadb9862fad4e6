#pragma once
// The page in its window, as both modes show it: "HP Plotter", centred on
// the primary display when it opens, raised when a page is shown, and
// serviced by the loop while it is open (repainted when uncovered). A
// display that goes away is reported once; the window comes back at the
// next show if the display can be reached again.

#include "output/desktops.h"
#include "output/plot_window.h"

#include <functional>

namespace plotanix {

struct PageImage;

class PageWindow {
  public:
    // displayLost, when given, is told once each time the display goes away.
    explicit PageWindow(std::function<void()> displayLost = {})
        : displayLost_(std::move(displayLost)) {}

    // Opens the window if it is not open, and shows the page on top.
    void show(const PageImage& page);
    // Paints the page shown again, as it stands now.
    void redraw();
    void close() { window_.closePlotWindow(); }
    bool isOpen() const { return window_.isOpen(); }

    // The display connection to wait on, or -1.
    int descriptor() const { return window_.eventDescriptor(); }
    // Handles the window's waiting events.
    void service();

  private:
    std::function<void()> displayLost_;
    Desktops desktops_;
    PlotWindow window_;
    const PageImage* page_ = nullptr;
};

} // namespace plotanix
