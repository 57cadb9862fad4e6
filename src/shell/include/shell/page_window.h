#pragma once
// The page in its window, as both modes show it: "HP Plotter", centred on
// the primary display when it opens, raised when a page is shown, and
// serviced by the loop while it is open (repainted when uncovered or
// resized). Live, it follows the drawing: a page that changes is painted
// again at most 25 times a second, and not at all while nothing changes. A
// display that goes away is reported once; the window comes back at the
// next show if the display can be reached again.

#include "common/deadline.h"
#include "common/poll_source.h"
#include "output/desktops.h"
#include "output/plot_window.h"

#include <functional>
#include <optional>

namespace plotanix {

struct PageImage;

// When to paint a picture that keeps changing: at once after a quiet spell,
// then at most once a frame, and never while nothing has changed.
class FramePacer {
  public:
    static constexpr std::chrono::milliseconds frame{40}; // 25 a second

    void changed() { changed_ = true; }
    // When the next frame is due; none while nothing has changed.
    std::optional<Clock::time_point> due() const {
        if (!changed_) return std::nullopt;
        return painted_ + frame;
    }
    void painted(Clock::time_point now) {
        changed_ = false;
        painted_ = now;
    }

  private:
    bool changed_ = false;
    Clock::time_point painted_{};
};

// A source of the loop (watch it) while the program has a window.
class PageWindow : public PollSource {
  public:
    // displayLost, when given, is told once each time the display goes away;
    // displayBack once a window opens on it again.
    explicit PageWindow(std::function<void()> displayLost = {},
                        std::function<void()> displayBack = {})
        : displayLost_(std::move(displayLost)), displayBack_(std::move(displayBack)) {}

    // Opens the window if it is not open, and shows the page on top.
    void show(const PageImage& page);
    // Paints the page shown again, as it stands now.
    void redraw();
    // The page shown has changed (a run drew on it): painted at the next frame.
    void pageChanged() { pacer_.changed(); }
    // A run begins live: the window opens with the page, or, open with it
    // already (on a page the run may have cleared), paints it at the next frame.
    void follow(const PageImage& page);
    void close() { window_.closePlotWindow(); }
    bool isOpen() const { return window_.isOpen(); }

    // The display connection to wait on, or -1.
    int descriptor() const override { return window_.eventDescriptor(); }
    // Handles the window's waiting events.
    void service();
    // When the next frame of a changing page is due, if one is.
    std::optional<Clock::time_point> frameDue() const;
    // Paints that frame once it is due.
    void frameIfDue(Clock::time_point now);

    // The loop's turns: the connection's events, and the frame once due.
    std::optional<Clock::time_point> due() const override { return frameDue(); }
    void service(Clock::time_point now) override;
    // The events already read from the connection: poll() would not show them.
    void beforeWait(Clock::time_point) override { service(); }

  private:
    std::function<void()> displayLost_;
    std::function<void()> displayBack_;
    bool lost_ = false; // the display went away, and no window has opened since
    Desktops desktops_;
    PlotWindow window_;
    const PageImage* page_ = nullptr;
    FramePacer pacer_;
};

} // namespace plotanix
