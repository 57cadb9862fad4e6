// The page menu between plot runs: saving, marking the page to be cleared,
// continuing, and a new run started by the computer alone.

#include "plotter_harness.h"

#include "support/wait_until.h"

#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

// Two runs told apart by their instruction counts: a blue line (3) and a
// red corner (4).
const std::string runA = "SP2;PU100,100;PD300,100;";
const std::string runB = "SP4;PU100,300;PD300,300;PD300,350;";
constexpr int countB = 4;

constexpr uint32_t white = 0xFFFFFF;
constexpr uint32_t blue = 0xFF0000;
constexpr uint32_t red = 0x0000FF;

bool windowShown() {
    return findWindow("HP Plotter").has_value();
}

class PageMenu : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
        ASSERT_TRUE(plotter.sendLine(runA));
        ASSERT_TRUE(plotter.waitPageMenu(3)) << plotter.screen();
    }

    PlotterSession plotter;
};

TEST_F(PageMenu, SavingTwiceWritesTheSamePictureUnderTwoNumbers) {
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 12, "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(plotter.rows()[13], "Command :");

    const auto expected = expectedPage({runA});
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expected), 0);
    EXPECT_EQ(differingPixels(plotter.savedPage(2), *expected), 0);
    EXPECT_EQ(colourAt(plotter.savedPage(2), 280, 440), blue);
    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(), runA + marker("SAVE PAGE #1") + marker("SAVE PAGE #2"));
    EXPECT_FALSE(plotter.hasFile(savedPageName(3)));
}

// "Insert new page" only marks the page: a save right after it still has
// the old picture, and the next run, started by the computer while the
// menu waits, draws on a white page.
TEST_F(PageMenu, NewPageIsClearedWhenTheNextRunStarts) {
    ASSERT_TRUE(plotter.choose("2", 11, "Command : 2  Ok.")) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 12, "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({runA})), 0);

    ASSERT_TRUE(plotter.sendLine(runB));
    ASSERT_TRUE(plotter.waitPageMenu(countB)) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    const DecodedPng second = plotter.savedPage(2);
    EXPECT_EQ(differingPixels(second, *expectedPage({runB})), 0);
    EXPECT_EQ(colourAt(second, 280, 440), white) << "the first run's line is still there";
    EXPECT_EQ(colourAt(second, 280, 240), red);

    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(),
              runA + marker("NEW PAGE") + marker("SAVE PAGE #1") + runB + marker("SAVE PAGE #2"));
}

TEST_F(PageMenu, DataWhileTheMenuWaitsGoesOnOnTheSamePage) {
    ASSERT_TRUE(plotter.sendLine(runB));
    ASSERT_TRUE(plotter.waitPageMenu(countB)) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();

    const DecodedPng page = plotter.savedPage(1);
    EXPECT_EQ(differingPixels(page, *expectedPage({runA, runB})), 0);
    EXPECT_EQ(colourAt(page, 280, 440), blue);
    EXPECT_EQ(colourAt(page, 280, 240), red);
    expectCleanQuit(plotter);
    // The two runs' chunks follow one another directly.
    EXPECT_EQ(plotter.transcript(), runA + runB + marker("SAVE PAGE #1"));
}

TEST_F(PageMenu, ContinueGoesBackToWaitingUntilTheComputerSends) {
    EXPECT_TRUE(waitUntil(windowShown)) << "no plot window";
    ASSERT_TRUE(plotter.choose("3", 2, "Waiting...")) << plotter.screen();
    const auto rows = plotter.rows();
    EXPECT_EQ(rows[0], "Plotter ON LINE");
    for (std::size_t row = 3; row < rows.size(); ++row)
        EXPECT_EQ(rows[row], "") << "row " << row;
    EXPECT_TRUE(waitUntil([] { return !windowShown(); })) << "the plot window stays open";

    ASSERT_TRUE(plotter.sendLine(runB));
    ASSERT_TRUE(plotter.waitPageMenu(countB)) << plotter.screen();
    EXPECT_TRUE(waitUntil(windowShown)) << "no plot window";
    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(), runA + runB);
}

} // namespace
} // namespace plotanix::testing
