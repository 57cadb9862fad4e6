// The operator's view, end to end: with --live the window opens as the run
// begins and its ink grows while the computer draws; the operator resizes
// it and the page fills it, its aspect kept; a terminal resized is drawn
// anew at once.

#include "plotter_harness.h"

#include "output/page_scaler.h"
#include "support/wait_until.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <iterator>
#include <thread>

namespace plotanix::testing {
namespace {

// Pixels of the window's client area that are not paper white.
long inkIn(const WindowGeometry& window) {
    const std::vector<uint8_t> shown = screenshot(window.x, window.y, window.width, window.height);
    long ink = 0;
    for (std::size_t i = 0; i + 2 < shown.size(); i += 3)
        ink += shown[i] != 0xFF || shown[i + 1] != 0xFF || shown[i + 2] != 0xFF;
    return ink;
}

// The page as the window shows it at that size: fitted by the program's
// own rule and resampled, surrounded by its dark grey. Top row first, R, G, B.
std::vector<uint8_t> pageAsShown(const PageImage& page, int width, int height) {
    std::vector<uint8_t> expected(static_cast<std::size_t>(width * height) * 3, 0x40);
    const ViewRect view = fitPage(page.width, page.height, width, height);
    PageScaler scaler;
    scaler.scale(page, view.width, view.height, [&](int y, const uint8_t* bgr) {
        uint8_t* row =
            expected.data() + (static_cast<std::size_t>(view.y + y) * width + view.x) * 3;
        for (int x = 0; x < view.width; ++x, bgr += 3, row += 3)
            std::copy(bgr, bgr + 3, std::reverse_iterator<uint8_t*>(row + 3));
    });
    return expected;
}

// A stroke at a time, each one more ink, paced at 480 bytes a second until
// told to stop (at most a minute): the run lasts as long as the test needs
// to see the window open and its ink grow, however loaded the machine.
class SlowComputer {
  public:
    explicit SlowComputer(PlotterSession& plotter)
        : thread_([this, &plotter] {
              std::string stroke = "SP1;";
              for (int i = 0; !stop_ && i < 1200; ++i) {
                  const int y = 20 + 4 * (i % 120), x = 40 + 200 * (i / 120);
                  stroke += "PU" + std::to_string(x) + "," + std::to_string(y) + ";PD" +
                            std::to_string(x + 150) + "," + std::to_string(y) + ";";
                  if (!plotter.sendLine(stroke, 480)) break;
                  sent_ += stroke;
                  stroke.clear();
              }
              done_ = true;
          }) {}
    ~SlowComputer() { stopAndJoin(); }
    bool done() const { return done_; }
    // Ends the drawing; what was sent.
    const std::string& stopAndJoin() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return sent_;
    }

  private:
    std::atomic<bool> stop_ = false, done_ = false;
    std::string sent_;
    std::thread thread_;
};

TEST(LiveWindow, InkGrowsDuringTheRunAndTheResizedWindowFitsThePage) {
    PlotterOptions options;
    options.arguments = {"--port", "@PTY@", "--live"};
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();

    // The terminal narrowed: the start screen is drawn anew, its
    // information line wrapped rather than cut.
    ASSERT_EQ(plotter.tmux().tmux({"resize-window", "-t", "main", "-x", "40", "-y", "25"}).status,
              0);
    const std::string information = "HP 7470A plotter for the HP-86B at 9600 7N1 on serial line ";
    ASSERT_TRUE(plotter.waitRow(9, "7N1 on serial line " + plotter.linePath())) << plotter.screen();
    ASSERT_EQ(plotter.tmux().tmux({"resize-window", "-t", "main", "-x", "80", "-y", "25"}).status,
              0);
    ASSERT_TRUE(plotter.waitRow(8, information + plotter.linePath())) << plotter.screen();

    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    EXPECT_FALSE(findWindow("HP Plotter")) << "open before the run";
    SlowComputer computer(plotter);
    // Looked for afresh each time: its place is whatever it is now.
    std::optional<WindowGeometry> window;
    const auto inkNow = [&] {
        window = findWindow("HP Plotter");
        return window ? inkIn(*window) : -1;
    };
    const bool opened = waitUntil([&] { return inkNow() >= 0; }, 60s);
    long ink = 0;
    int growths = 0;
    while (opened && growths < 3 && waitUntil([&] { return inkNow() > ink; }, 30s, 100ms)) {
        ink = inkNow();
        growths += computer.done() ? 0 : 1;
    }
    const bool stoppedEarly = computer.done();
    const std::string stream = computer.stopAndJoin();
    ASSERT_TRUE(opened) << "no window during the run\n" << plotter.screen();
    EXPECT_EQ(growths, 3) << "the ink did not grow while the computer drew (ink " << ink << ", "
                          << stream.size() << " bytes sent, "
                          << (stoppedEarly ? "the computer stopped" : "still sending") << ")";

    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
    const auto page = expectedPage({stream});
    const WindowGeometry opening = *findWindow("HP Plotter");
    const std::vector<uint8_t> whole = pageAsShown(*page, 800, 600);
    EXPECT_TRUE(waitUntil([&] { return screenshot(opening.x, opening.y, 800, 600) == whole; }))
        << "the window does not show the whole page";

    // Larger with the page's aspect, then wider than it.
    for (const auto& size : {std::pair(1000, 750), std::pair(1000, 600)}) {
        const int width = size.first, height = size.second;
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        ASSERT_TRUE(moveResizeWindow(opening.id, 0, 0, width, height));
        const std::vector<uint8_t> expected = pageAsShown(*page, width, height);
        EXPECT_TRUE(waitUntil([&] { return screenshot(0, 0, width, height) == expected; }))
            << "the page does not fill the window as fitted";
    }
    expectCleanQuit(plotter);
}

} // namespace
} // namespace plotanix::testing
