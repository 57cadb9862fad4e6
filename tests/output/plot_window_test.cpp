// The plot window on a private Xvfb of 1024 x 768, seen from the test's own
// X connection. (Without a display the whole program is tested end to end.)

#include "output/desktops.h"
#include "output/plot_window.h"
#include "support/x_display.h"
#include "test_page.h"

#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace plotanix {
namespace {

using namespace testing;

bool readableWithin(int fd, int milliseconds) {
    pollfd pfd{fd, POLLIN, 0};
    return fd >= 0 && ::poll(&pfd, 1, milliseconds) == 1;
}

// A black window over the rectangle (Xvfb runs no window manager to move it).
::Window cover(Display* display, int x, int y, unsigned width, unsigned height) {
    const ::Window covering =
        XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, width, height, 0, 0, 0);
    XMapRaised(display, covering);
    XSync(display, False);
    return covering;
}

// Opened as the page menu opens it: centred on the primary display, at the
// page's size; the operator may resize it down to a minimum, without limit
// upwards.
TEST(PlotWindowTest, CentredInFrontShowsThePageResizableAndOnlyClosePlotWindowClosesIt) {
    ::unsetenv("WAYLAND_DISPLAY");
    ASSERT_FALSE(xvfbDisplay().empty());
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    Desktops desktops;
    ASSERT_EQ(desktops.examineDesktops(), 1);
    ASSERT_EQ(std::pair(desktops.desktopWidth(0), desktops.desktopHeight(0)), std::pair(1024, 768));
    PlotWindow window;
    ASSERT_TRUE(window.openPlotWindow(112, 84, 800, 600, "HP Plotter"));
    const auto found = findWindow("HP Plotter");
    ASSERT_TRUE(found);
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_NE(XGetWMNormalHints(display, found->id, &hints, &supplied), 0);
    EXPECT_EQ(std::tuple(found->x, found->y, found->width, found->height),
              std::tuple(112, 84, 800, 600));
    EXPECT_EQ(std::pair(hints.min_width, hints.min_height),
              std::pair(PlotWindow::minimumWidth, PlotWindow::minimumHeight));
    EXPECT_EQ(supplied & hints.flags & PMaxSize, 0) << "a largest size";

    const PageImage page = makePage(true);
    const auto shown = [&] { return screenshot(112, 84, 800, 600) == rgbBytes(page); };
    const ::Window everything = cover(display, 0, 0, 1024, 768);
    window.setTopmost(true);
    window.showImage(page);
    window.setTopmost(false);
    EXPECT_TRUE(shown()) << "hidden, or not pixel for pixel";
    XDestroyWindow(display, everything);
    XUnmapWindow(display, cover(display, 112, 84, 800, 600));
    XSync(display, False);
    EXPECT_FALSE(shown()) << "restored without the program";
    ASSERT_TRUE(readableWithin(window.eventDescriptor(), 5000)) << "no event for the expose";
    window.serviceEvents();
    EXPECT_TRUE(shown());

    XEvent close{}; // the close box
    close.xclient.type = ClientMessage;
    close.xclient.window = found->id;
    close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, found->id, False, NoEventMask, &close);
    XSync(display, False);
    ASSERT_TRUE(readableWithin(window.eventDescriptor(), 5000));
    window.serviceEvents();
    EXPECT_TRUE(window.isOpen());
    EXPECT_TRUE(findWindow("HP Plotter"));
    window.closePlotWindow();
    EXPECT_FALSE(window.isOpen());
    EXPECT_FALSE(findWindow("HP Plotter"));
    EXPECT_EQ(window.eventDescriptor(), -1);
    XCloseDisplay(display);
}

} // namespace
} // namespace plotanix
