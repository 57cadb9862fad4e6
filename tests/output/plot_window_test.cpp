// The plot window on a private Xvfb of 1024 x 768, seen from the test's own
// X connection; and, in child processes, with and without a usable display.

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

// Every window operation in a child (SDL starts afresh there): it prints nothing (the
// terminal is the menus'), reports its state truly and leaves Ctrl+C and SIGTERM to the
// program. Exit status 10: the window opened, 11: it did not, 1: a fault.
int windowInChild(const std::string& display) {
    std::FILE* output = std::tmpfile();
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(::fileno(output), STDOUT_FILENO);
        ::dup2(::fileno(output), STDERR_FILENO);
        ::setenv("DISPLAY", display.c_str(), 1);
        ::_exit([] {
            Desktops desktops;
            bool ok = desktops.examineDesktops() >= 1 && desktops.desktopWidth(0) > 0;
            PlotWindow window;
            const bool opened = window.openPlotWindow(0, 0, 800, 600, "HP Plotter");
            window.setTopmost(true);
            window.showImage(makePage());
            window.serviceEvents();
            ok = ok && window.isOpen() == opened && (window.eventDescriptor() >= 0) == opened;
            struct sigaction interrupt {
            }, terminate{};
            ::sigaction(SIGINT, nullptr, &interrupt);
            ::sigaction(SIGTERM, nullptr, &terminate);
            ok = ok && interrupt.sa_handler == SIG_DFL && terminate.sa_handler == SIG_DFL;
            window.closePlotWindow();
            window.openPlotWindow(0, 0, 800, 600, "HP Plotter"); // destroyed while open
            return ok ? (opened ? 10 : 11) : 1;
        }());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::fseek(output, 0, SEEK_END); // the child's output, shared through the descriptor
    EXPECT_EQ(std::ftell(output), 0) << "printed with DISPLAY=" << display;
    std::fclose(output);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PlotWindowTest, QuietWithOrWithoutADisplay) {
    ASSERT_FALSE(xvfbDisplay().empty());
    for (const auto& [display, status] : {std::pair(xvfbDisplay(), 10), {"", 11}, {":4999", 11}})
        EXPECT_EQ(windowInChild(display), status) << "DISPLAY=" << display; // :4999 has no server
}

// A black window over the rectangle (Xvfb runs no window manager to move it).
::Window cover(Display* display, int x, int y, unsigned width, unsigned height) {
    const ::Window covering =
        XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, width, height, 0, 0, 0);
    XMapRaised(display, covering);
    XSync(display, False);
    return covering;
}

// Opened as the page menu opens it: centred on the primary display.
TEST(PlotWindowTest, FixedSizeCentredInFrontShowsThePageAndOnlyClosePlotWindowClosesIt) {
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
    EXPECT_EQ(std::tuple(found->x, found->y, found->width, found->height, hints.min_width,
                         hints.max_width, hints.min_height, hints.max_height),
              std::tuple(112, 84, 800, 600, 800, 800, 600, 600)); // fixed size

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

    XEvent close{.xclient = {.type = ClientMessage, // the close box
                             .window = found->id,
                             .message_type = XInternAtom(display, "WM_PROTOCOLS", False),
                             .format = 32}};
    close.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, found->id, False, NoEventMask, &close);
    XSync(display, False);
    ASSERT_TRUE(readableWithin(window.eventDescriptor(), 5000));
    window.serviceEvents();
    EXPECT_TRUE(window.isOpen() && findWindow("HP Plotter"));
    window.closePlotWindow();
    EXPECT_FALSE(window.isOpen() || findWindow("HP Plotter"));
    EXPECT_EQ(window.eventDescriptor(), -1);
    XCloseDisplay(display);
}

} // namespace
} // namespace plotanix
