#include "shell/page_window.h"

#include "session/plot_session.h"

namespace plotanix {

void PageWindow::show(const PageImage& page) {
    page_ = &page;
    if (!window_.isOpen()) {
        // Looked at anew: the display may have changed since the last page.
        desktops_.examineDesktops();
        constexpr int width = PlotSession::pageWidth, height = PlotSession::pageHeight;
        window_.openPlotWindow((desktops_.desktopWidth(0) - width) / 2,
                               (desktops_.desktopHeight(0) - height) / 2, width, height,
                               "HP Plotter");
        if (lost_ && window_.isOpen()) {
            lost_ = false;
            if (displayBack_) displayBack_();
        }
    }
    window_.setTopmost(true);
    window_.showImage(page);
    window_.setTopmost(false);
    pacer_.painted(Clock::now());
}

void PageWindow::follow(const PageImage& page) {
    if (window_.isOpen() && page_ == &page) return pageChanged();
    show(page);
}

void PageWindow::redraw() {
    if (page_ != nullptr && window_.isOpen()) window_.showImage(*page_);
    pacer_.painted(Clock::now());
}

void PageWindow::service() {
    window_.serviceEvents();
    // The window is only a view: everything goes on without it.
    if (!PlotWindow::takeDisplayLoss()) return;
    lost_ = true;
    if (displayLost_) displayLost_();
}

void PageWindow::service(Clock::time_point now) {
    service();
    frameIfDue(now);
}

std::optional<Clock::time_point> PageWindow::frameDue() const {
    if (page_ == nullptr || !window_.isOpen()) return std::nullopt;
    return pacer_.due();
}

void PageWindow::frameIfDue(Clock::time_point now) {
    const std::optional<Clock::time_point> due = frameDue();
    if (!due || now < *due) return;
    if (page_ != nullptr && window_.isOpen()) window_.showImage(*page_);
    pacer_.painted(now);
}

} // namespace plotanix
