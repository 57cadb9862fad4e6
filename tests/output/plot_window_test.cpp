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

// Every window operation in a child process (SDL starts afresh there) with
// DISPLAY set to display. It must print nothing (the terminal belongs to
// the menus), report its state truly, and leave Ctrl+C and SIGTERM to the
// program rather than turn them into window events nobody reads. The exit
// status: 10 when the window opened, 11 when it did not, 1 when it failed.
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
            for (int signal : {SIGINT, SIGTERM}) {
                struct sigaction action {};
                ok = ok && ::sigaction(signal, nullptr, &action) == 0 &&
                     action.sa_handler == SIG_DFL;
            }
            window.closePlotWindow();
            window.openPlotWindow(0, 0, 800, 600, "HP Plotter"); // destroyed while open
            return ok ? (opened ? 10 : 11) : 1;
        }());
    }
    int status = 0;
    std::string printed(4096, '\0');
    ::waitpid(child, &status, 0);
    std::rewind(output);
    printed.resize(std::fread(printed.data(), 1, printed.size(), output));
    std::fclose(output);
    EXPECT_EQ(printed, "") << display;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PlotWindowTest, QuietWithOrWithoutADisplay) {
    ASSERT_FALSE(xvfbDisplay().empty());
    for (const auto& [display, status] : {std::pair(xvfbDisplay(), 10), {"", 11}, {":4999", 11}})
        EXPECT_EQ(windowInChild(display), status) << "DISPLAY=" << display; // :4999 has no server
}

// A black window over the rectangle.
::Window cover(Display* display, int x, int y, int width, int height) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    const ::Window covering = XCreateWindow(
        display, DefaultRootWindow(display), x, y, unsigned(width), unsigned(height), 0,
        CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
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
    ASSERT_EQ(std::tuple(desktops.desktopWidth(0), desktops.desktopHeight(0)),
              std::tuple(1024, 768));
    PlotWindow window;
    ASSERT_TRUE(window.openPlotWindow(112, 84, 800, 600, "HP Plotter"));
    const auto found = findWindow("HP Plotter");
    ASSERT_TRUE(found);
    EXPECT_EQ(std::tuple(found->x, found->y, found->width, found->height),
              std::tuple(112, 84, 800, 600));
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_NE(XGetWMNormalHints(display, found->id, &hints, &supplied), 0);
    EXPECT_EQ(std::tuple(hints.min_width, hints.max_width, hints.min_height, hints.max_height),
              std::tuple(800, 800, 600, 600));

    const PageImage page = makePage(true);
    const ::Window everything = cover(display, 0, 0, 1024, 768);
    window.setTopmost(true);
    window.showImage(page);
    window.setTopmost(false);
    EXPECT_TRUE(screenshot(112, 84, 800, 600) == rgbBytes(page))
        << "hidden, or not pixel for pixel";
    XDestroyWindow(display, everything);
    XUnmapWindow(display, cover(display, 112, 84, 800, 600));
    XSync(display, False);
    EXPECT_FALSE(screenshot(112, 84, 800, 600) == rgbBytes(page)) << "restored without the program";
    ASSERT_TRUE(readableWithin(window.eventDescriptor(), 5000)) << "no event for the expose";
    window.serviceEvents();
    EXPECT_TRUE(screenshot(112, 84, 800, 600) == rgbBytes(page));

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
    EXPECT_TRUE(window.isOpen() && findWindow("HP Plotter"));
    window.closePlotWindow();
    EXPECT_FALSE(window.isOpen() || findWindow("HP Plotter"));
    EXPECT_EQ(window.eventDescriptor(), -1);
    XCloseDisplay(display);
}

} // namespace
} // namespace plotanix
