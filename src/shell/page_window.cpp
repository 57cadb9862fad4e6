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
    }
    window_.setTopmost(true);
    window_.showImage(page);
    window_.setTopmost(false);
}

void PageWindow::redraw() {
    if (page_ != nullptr && window_.isOpen()) window_.showImage(*page_);
}

void PageWindow::service() {
    window_.serviceEvents();
    // The window is only a view: everything goes on without it.
    if (PlotWindow::takeDisplayLoss() && displayLost_) displayLost_();
}

} // namespace plotanix
