#pragma once
// The plot window: "HP Plotter", opened with the client area asked for (the
// page's 800 x 600, showing it one pixel per pixel). The operator may resize
// or maximise it: the page is then fitted to it, its aspect kept
// (page_scaler.h). Without a display every operation quietly does nothing.
// While it exists the program services its events (repaint when uncovered
// or resized); its close box does not close it. A display that goes away
// (the X server ends, an ssh -X connection drops) never ends the program:
// from then on the window is as if there were no display, and the next
// openPlotWindow tries the display afresh.

#include <memory>
#include <string>

namespace plotanix {

struct PageImage;

class PlotWindow {
  public:
    // The smallest client area the operator can make it.
    static constexpr int minimumWidth = 200;
    static constexpr int minimumHeight = 150;

    PlotWindow();
    ~PlotWindow();
    PlotWindow(const PlotWindow&) = delete;
    PlotWindow& operator=(const PlotWindow&) = delete;

    // (x, y) is the outer top-left corner; width x height the client area.
    bool openPlotWindow(int x, int y, int width, int height, const std::string& title);
    void setTopmost(bool on);
    // Attaches the page (referenced, not copied) and paints it at once.
    void showImage(const PageImage& image);
    void closePlotWindow();
    bool isOpen() const;
    // True once after the display has been lost, so it is reported once.
    static bool takeDisplayLoss();

    // A descriptor that becomes readable when window events are waiting
    // (the display connection), or -1. The wait adds it to its poll.
    int eventDescriptor() const;
    // Handles waiting window events: repaints on expose and resize, ignores
    // close.
    void serviceEvents();

    struct Impl;

  private:
    bool showNewWindow(int x, int y, int width, int height, const std::string& title);

    std::unique_ptr<Impl> impl_;
};

// Shared with Desktops: SDL's video subsystem, started once (and again after
// a lost display), with SDL kept away from the program's signals and from
// the terminal. False without a display.
bool startVideo();
// Why no window opens, for the operator: "no display (DISPLAY is not set)",
// or the display named (as the environment gives it: escape it to show it)
// and not reached.
std::string displayUnavailable();

} // namespace plotanix
