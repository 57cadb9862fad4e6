// The plot window and the desktop list against a real X server (Xvfb,
// 1024 x 768), inspected from the test's own X connection.

#include "capture_output.h"
#include "output/desktops.h"
#include "output/plot_window.h"
#include "support/wait_until.h"
#include "support/xvfb.h"
#include "test_page.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace plotanix {
namespace {

testing::XvfbServer xvfb;

class XvfbEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ::unsetenv("WAYLAND_DISPLAY");
        ASSERT_TRUE(xvfb.start(1024, 768, 24)) << xvfb.error();
    }
    void TearDown() override { xvfb.stop(); }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool viewable = false;
};

// The test's own view of the server, as another client would see it.
class XView {
  public:
    XView() : display_(XOpenDisplay(nullptr)) {}
    ~XView() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    XView(const XView&) = delete;
    XView& operator=(const XView&) = delete;

    Display* display() const { return display_; }
    ::Window root() const { return DefaultRootWindow(display_); }

    ::Window findByName(const std::string& name) { return search(root(), name); }

    Geometry geometry(::Window window) {
        Geometry g;
        XWindowAttributes attributes;
        ::Window child;
        if (XGetWindowAttributes(display_, window, &attributes) == 0) return g;
        XTranslateCoordinates(display_, window, root(), 0, 0, &g.x, &g.y, &child);
        g.width = attributes.width;
        g.height = attributes.height;
        g.viewable = attributes.map_state == IsViewable;
        return g;
    }

    // What the screen shows in the rectangle, as 0xRRGGBB values.
    std::vector<uint32_t> screenshot(int x, int y, int width, int height) {
        XSync(display_, False);
        XImage* image = XGetImage(display_, root(), x, y, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        std::vector<uint32_t> pixels;
        if (image == nullptr) return pixels;
        for (int row = 0; row < height; ++row) {
            for (int column = 0; column < width; ++column) {
                const unsigned long p = XGetPixel(image, column, row);
                pixels.push_back(channel(p, image->red_mask) << 16 |
                                 channel(p, image->green_mask) << 8 | channel(p, image->blue_mask));
            }
        }
        XDestroyImage(image);
        return pixels;
    }

    // A plain black window over the rectangle, mapped, or 0.
    ::Window cover(int x, int y, int width, int height) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
        const ::Window window =
            XCreateWindow(display_, root(), x, y, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                          CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(display_, window);
        XSync(display_, False);
        return window;
    }

    std::vector<unsigned long> cardinals(::Window window, const char* property) {
        Atom type;
        int format;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        const Atom atom = XInternAtom(display_, property, False);
        if (XGetWindowProperty(display_, window, atom, 0, 1 << 20, False, AnyPropertyType, &type,
                               &format, &count, &after, &data) == Success &&
            format == 32) {
            const auto* longs = reinterpret_cast<const unsigned long*>(data);
            values.assign(longs, longs + count);
        }
        if (data != nullptr) XFree(data);
        return values;
    }

  private:
    static uint32_t channel(unsigned long pixel, unsigned long mask) {
        if (mask == 0) return 0;
        while ((mask & 1) == 0) {
            mask >>= 1;
            pixel >>= 1;
        }
        return static_cast<uint32_t>(pixel & mask);
    }

    ::Window search(::Window parent, const std::string& name) {
        ::Window rootReturn, parentReturn, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display_, parent, &rootReturn, &parentReturn, &children, &count) == 0) {
            return 0;
        }
        ::Window found = 0;
        for (unsigned i = 0; i < count && found == 0; ++i) {
            XTextProperty title{};
            if (XGetWMName(display_, children[i], &title) != 0 && title.value != nullptr) {
                const std::string text(reinterpret_cast<const char*>(title.value), title.nitems);
                if (text == name) found = children[i];
                XFree(title.value);
            }
            if (found == 0) found = search(children[i], name);
        }
        if (children != nullptr) XFree(children);
        return found;
    }

    Display* display_;
};

std::vector<uint32_t> pagePixels(const PageImage& page) {
    std::vector<uint32_t> pixels;
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x)
            pixels.push_back(testing::getPixel(page, x, y));
    }
    return pixels;
}

bool readableWithin(int fd, int milliseconds) {
    pollfd pfd{fd, POLLIN, 0};
    return fd >= 0 && ::poll(&pfd, 1, milliseconds) == 1;
}

// Opens the window as the page menu does: centred on the primary display.
class PlotWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(view.display(), nullptr);
        ASSERT_EQ(desktops.examineDesktops(), 1);
        const int x = (desktops.desktopWidth(0) - 800) / 2;
        const int y = (desktops.desktopHeight(0) - 600) / 2;
        ASSERT_TRUE(window.openPlotWindow(x, y, 800, 600, "HP Plotter"));
        handle = view.findByName("HP Plotter");
        ASSERT_NE(handle, 0u);
    }

    std::vector<uint32_t> shownPixels() { return view.screenshot(112, 84, 800, 600); }

    XView view;
    Desktops desktops;
    PlotWindow window;
    ::Window handle = 0;
    PageImage page = testing::makePatternPage();
};

// SDL would otherwise turn Ctrl+C and SIGTERM into a window event that the
// program never reads. (Meaningful when this test starts the video first,
// as it does under ctest, one test per process.)
TEST(VideoTest, LeavesTheProgramsSignalsAlone) {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    ASSERT_TRUE(startVideo());
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction action {};
        ASSERT_EQ(::sigaction(signal, nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << "signal " << signal << " taken over";
    }
}

TEST(DesktopsTest, PrimaryDisplayIsTheXvfbScreen) {
    Desktops desktops;
    ASSERT_EQ(desktops.examineDesktops(), 1);
    const DisplayInfo& primary = desktops.entries().at(0);
    EXPECT_EQ(primary.x, 0);
    EXPECT_EQ(primary.y, 0);
    EXPECT_EQ(primary.width, 1024);
    EXPECT_EQ(primary.height, 768);
    EXPECT_EQ(primary.depth, 24);
    EXPECT_LE(primary.name.size(), 32u);
    EXPECT_EQ(desktops.desktopWidth(0), 1024);
    EXPECT_EQ(desktops.desktopHeight(0), 768);
    EXPECT_EQ(desktops.desktopWidth(1), 0);
    EXPECT_EQ(desktops.desktopHeight(5), 0);
    EXPECT_EQ(desktops.desktopWidth(-1), 0);
}

TEST_F(PlotWindowTest, OpensAFixedSizeWindowWithTheClientAreaAtTheCentredCorner) {
    EXPECT_TRUE(window.isOpen());
    const Geometry g = view.geometry(handle);
    EXPECT_TRUE(g.viewable);
    EXPECT_EQ(g.x, 112);
    EXPECT_EQ(g.y, 84);
    EXPECT_EQ(g.width, 800);
    EXPECT_EQ(g.height, 600);
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_NE(XGetWMNormalHints(view.display(), handle, &hints, &supplied), 0);
    EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize)) << "resizable";
    EXPECT_EQ(hints.min_width, 800);
    EXPECT_EQ(hints.max_width, 800);
    EXPECT_EQ(hints.min_height, 600);
    EXPECT_EQ(hints.max_height, 600);
    const std::vector<unsigned long> motif = view.cardinals(handle, "_MOTIF_WM_HINTS");
    ASSERT_GE(motif.size(), 3u);
    EXPECT_EQ(motif[1] & (1 | 2 | 16), 0u) << "offers resizing or maximising";
    EXPECT_EQ(motif[2] & (1 | 4 | 64), 0u) << "has a sizing border or a maximise box";
}

TEST_F(PlotWindowTest, CarriesTheIconInBothSizes) {
    const std::vector<unsigned long> icon = view.cardinals(handle, "_NET_WM_ICON");
    ASSERT_EQ(icon.size(), 2u + 16 * 16 + 2u + 32 * 32);
    EXPECT_EQ(icon[0], 16u);
    EXPECT_EQ(icon[1], 16u);
    EXPECT_EQ(icon[2 + 256], 32u);
    EXPECT_EQ(icon[3 + 256], 32u);
    int opaque = 0;
    for (unsigned long pixel : icon)
        opaque += (pixel >> 24 & 0xFF) == 0xFF;
    EXPECT_GT(opaque, 200) << "the icon is empty";
}

TEST_F(PlotWindowTest, ShowsThePagePixelForPixelAndRepaintsWhenUncovered) {
    window.setTopmost(true);
    window.showImage(page);
    window.setTopmost(false);
    const std::vector<uint32_t> expected = pagePixels(page);
    ASSERT_EQ(shownPixels(), expected) << "not painted at once, or not one pixel per pixel";

    const ::Window cover = view.cover(112, 84, 800, 600);
    ASSERT_NE(shownPixels(), expected) << "the cover does not hide the window";
    XUnmapWindow(view.display(), cover);
    XSync(view.display(), False);
    ASSERT_NE(shownPixels(), expected) << "uncovered part restored without the program";

    ASSERT_TRUE(readableWithin(window.eventDescriptor(), 5000)) << "no event for the expose";
    window.serviceEvents();
    EXPECT_EQ(shownPixels(), expected);
    XDestroyWindow(view.display(), cover);
}

TEST_F(PlotWindowTest, TopmostBringsTheWindowInFrontWithoutMovingIt) {
    window.showImage(page);
    const ::Window cover = view.cover(0, 0, 1024, 768);
    ASSERT_NE(shownPixels(), pagePixels(page));

    window.setTopmost(true);
    EXPECT_EQ(shownPixels(), pagePixels(page));
    window.setTopmost(false);
    const Geometry g = view.geometry(handle);
    EXPECT_EQ(g.x, 112);
    EXPECT_EQ(g.y, 84);
    EXPECT_EQ(g.width, 800);
    EXPECT_EQ(g.height, 600);
    XDestroyWindow(view.display(), cover);
}

TEST_F(PlotWindowTest, CloseBoxDoesNotCloseItClosePlotWindowDoes) {
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = handle;
    close.xclient.message_type = XInternAtom(view.display(), "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] =
        static_cast<long>(XInternAtom(view.display(), "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(view.display(), handle, False, NoEventMask, &close);
    XSync(view.display(), False);
    ASSERT_TRUE(readableWithin(window.eventDescriptor(), 5000));
    window.serviceEvents();
    EXPECT_TRUE(window.isOpen());
    EXPECT_TRUE(view.geometry(handle).viewable);

    window.closePlotWindow();
    XSync(view.display(), False);
    EXPECT_FALSE(window.isOpen());
    EXPECT_EQ(window.eventDescriptor(), -1);
    EXPECT_EQ(view.findByName("HP Plotter"), 0u);
    window.closePlotWindow(); // a second close is harmless
    window.serviceEvents();   // and so is servicing a closed window
}

TEST(PlotWindowQuietTest, NothingReachesTheTerminal) {
    testing::OutputCapture capture;
    {
        Desktops desktops;
        desktops.examineDesktops();
        PlotWindow window;
        const PageImage page = testing::makeTypicalPage();
        window.openPlotWindow(112, 84, 800, 600, "HP Plotter");
        window.setTopmost(true);
        window.showImage(page);
        window.setTopmost(false);
        window.serviceEvents();
        window.closePlotWindow();
        window.openPlotWindow(0, 0, 800, 600, "HP Plotter"); // a fresh one, for the next run
        window.showImage(page);
    } // destroyed while open
    EXPECT_EQ(capture.finish(), "");
}

} // namespace
} // namespace plotanix
