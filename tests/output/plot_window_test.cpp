// The plot window and the desktop list against a real X server (Xvfb,
// 1024 x 768), inspected from the test's own X connection; and, in child
// processes, without any display.

#include "output/desktops.h"
#include "output/plot_window.h"
#include "support/xvfb.h"
#include "test_page.h"
#include "x_view.h"

#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace plotanix {
namespace {

using testing::WindowGeometry;

testing::XvfbServer xvfb;

class XvfbEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ::unsetenv("WAYLAND_DISPLAY");
        ASSERT_TRUE(xvfb.start(1024, 768)) << xvfb.error();
    }
    void TearDown() override { xvfb.stop(); }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

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

// Runs body in a child process (SDL starts afresh there) and expects it to
// end normally, printing nothing and finding nothing wrong (body's result,
// written after what it printed).
void expectQuietInChild(const std::function<std::string()>& body) {
    std::FILE* output = std::tmpfile();
    ASSERT_NE(output, nullptr);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(::fileno(output), STDOUT_FILENO);
        ::dup2(::fileno(output), STDERR_FILENO);
        const std::string failures = body();
        std::fputs(failures.c_str(), stdout);
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    EXPECT_TRUE(child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0)
        << "the child crashed or failed";
    std::string printed;
    std::rewind(output);
    for (int c; (c = std::fgetc(output)) != EOF;)
        printed += static_cast<char>(c);
    std::fclose(output);
    EXPECT_EQ(printed, "");
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

    testing::XView view;
    Desktops desktops;
    PlotWindow window;
    ::Window handle = 0;
    PageImage page = testing::makePatternPage();
};

TEST(PlotWindowQuietTest, NothingReachesTheTerminal) {
    expectQuietInChild([] {
        Desktops desktops;
        desktops.examineDesktops();
        PlotWindow window;
        const PageImage page = testing::makePage(128);
        window.openPlotWindow(112, 84, 800, 600, "HP Plotter");
        window.setTopmost(true);
        window.showImage(page);
        window.serviceEvents();
        window.closePlotWindow();
        window.openPlotWindow(0, 0, 800, 600, "HP Plotter"); // a fresh one, for the next run
        window.showImage(page);
        return std::string(); // destroyed while open
    });
}

// Without a display, or with one named where no server listens: one
// fallback desktop of 800 x 600, every window operation quietly does nothing.
// (First in the file: the tests after it start SDL in this process.)
TEST(HeadlessTest, EveryOperationQuietlyDoesNothing) {
    int number = 4000;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)))
        ++number;
    for (const std::string& display : {std::string(), ":" + std::to_string(number)}) {
        SCOPED_TRACE("DISPLAY=" + display);
        expectQuietInChild([&] {
            if (display.empty())
                ::unsetenv("DISPLAY");
            else
                ::setenv("DISPLAY", display.c_str(), 1);
            std::string failures;
            auto check = [&](bool ok, const char* what) {
                if (!ok) failures += std::string(what) + "\n";
            };
            Desktops desktops;
            check(desktops.examineDesktops() == 1, "not exactly one entry");
            const DisplayInfo& entry = desktops.entries().at(0);
            check(entry.x == 0 && entry.y == 0 && entry.width == 800 && entry.height == 600 &&
                      entry.depth == 24 && entry.refresh == 0 && entry.name.empty(),
                  "fallback entry");
            check(desktops.desktopWidth(0) == 800 && desktops.desktopHeight(0) == 600, "size");
            check(!startVideo(), "video started");
            PlotWindow window;
            check(!window.openPlotWindow(0, 0, 800, 600, "HP Plotter"), "window opened");
            window.setTopmost(true);
            window.showImage(testing::makePage(128));
            window.serviceEvents();
            check(!window.isOpen() && window.eventDescriptor() == -1, "window reported open");
            window.closePlotWindow();
            return failures;
        });
    }
}

// The X server goes away under the window: the window layer goes quiet
// (nothing printed, nothing left to wait on), tells of the loss once, and
// the next open reaches the display once it is back.
TEST(LostDisplayTest, GoesQuietAndOpensAgainWhenTheDisplayIsBack) {
    expectQuietInChild([] {
        std::string failures;
        auto check = [&](bool ok, const char* what) {
            if (!ok) failures += std::string(what) + "\n";
        };
        testing::XvfbServer own;
        check(own.start(), "no Xvfb");
        PlotWindow window;
        check(window.openPlotWindow(0, 0, 800, 600, "HP Plotter"), "not opened");
        const int fd = window.eventDescriptor();
        own.stop();
        while (window.isOpen() && readableWithin(fd, 5000))
            window.serviceEvents();
        check(!window.isOpen() && window.eventDescriptor() == -1, "still open");
        check(PlotWindow::takeDisplayLoss() && !PlotWindow::takeDisplayLoss(), "not told once");
        window.showImage(testing::makePage(128));
        window.closePlotWindow();
        check(own.start() && window.openPlotWindow(0, 0, 800, 600, "HP Plotter"), "not again");
        return failures;
    });
}

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

TEST_F(PlotWindowTest, OpensAFixedSizeWindowWithTheClientAreaAtTheCentredCorner) {
    const DisplayInfo& primary = desktops.entries().at(0); // the Xvfb screen
    EXPECT_EQ(std::tuple(primary.x, primary.y, primary.depth), std::tuple(0, 0, 24));
    EXPECT_EQ(desktops.desktopWidth(1), 0);
    EXPECT_EQ(desktops.desktopHeight(-1), 0);
    const WindowGeometry g = view.geometry(handle);
    EXPECT_TRUE(g.viewable);
    EXPECT_EQ(std::tuple(g.x, g.y, g.width, g.height), std::tuple(112, 84, 800, 600));
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_NE(XGetWMNormalHints(view.display(), handle, &hints, &supplied), 0);
    EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize)) << "resizable";
    EXPECT_EQ(std::tuple(hints.min_width, hints.max_width, hints.min_height, hints.max_height),
              std::tuple(800, 800, 600, 600));
    const std::vector<unsigned long> icon = view.cardinals(handle, "_NET_WM_ICON");
    ASSERT_EQ(icon.size(), 2u + 16 * 16 + 2u + 32 * 32) << "icons of 16 and 32 pixels";
}

TEST_F(PlotWindowTest, ComesToTheFrontShowsThePageAndRepaintsWhenUncovered) {
    const ::Window everything = view.cover(0, 0, 1024, 768);
    window.setTopmost(true);
    window.showImage(page);
    window.setTopmost(false);
    const std::vector<uint32_t> expected = pagePixels(page);
    ASSERT_EQ(shownPixels(), expected)
        << "not in front, not painted at once, or not one pixel per pixel";
    XDestroyWindow(view.display(), everything);

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

TEST_F(PlotWindowTest, CloseBoxDoesNotCloseItClosePlotWindowDoes) {
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = handle;
    close.xclient.message_type = XInternAtom(view.display(), "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] =
        static_cast<long>(XInternAtom(view.display(), "WM_DELETE_WINDOW", False));
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
}

} // namespace
} // namespace plotanix
