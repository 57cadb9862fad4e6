// The transcript of a session, byte for byte: chunks as the computer's
// pauses cut them, the record of an unknown instruction behind the chunk
// that held it, the operator's page markers, the OI reply kept out.

#include "plotter_harness.h"

#include <gtest/gtest.h>
#include <thread>

namespace plotanix::testing {
namespace {

TEST(WorkedExample, APauseSplitsTheStreamIntoTwoChunks) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();

    ASSERT_TRUE(plotter.sendLine("IN;SP1;PA10,10;"));
    std::this_thread::sleep_for(
        200ms); // the computer's own pause, longer than the line's 100 ms gap
    ASSERT_TRUE(plotter.sendLine("PD20,20;OI;"));
    EXPECT_EQ(plotter.readReply("\r\n"), "7470A\r\n");
    ASSERT_TRUE(plotter.waitPageMenu(5)) << plotter.screen();
    EXPECT_EQ(plotter.rows()[2], "Instructions : 5  Ignored : 1");

    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(11, "Command : 1  Ok.")) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("2"));
    ASSERT_TRUE(plotter.waitRow(12, "Command : 2  Ok.")) << plotter.screen();
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();

    const std::string expected = std::string("IN;SP1;PA10,10;") + "****IN***" + "PD20,20;OI;" +
                                 "\r\n**** SAVE PAGE #1 ****\r\n\r\n" +
                                 "\r\n**** NEW PAGE ****\r\n\r\n";
    ASSERT_EQ(expected.size(), 87u);
    EXPECT_EQ(plotter.transcript(), expected);
    EXPECT_TRUE(plotter.hasFile(savedPageName(1)));
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

TEST(WorkedExample, WithoutThePauseTheRecordFollowsTheOneChunk) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();

    ASSERT_TRUE(plotter.sendLine("IN;SP1;PA10,10;PD20,20;OI;"));
    EXPECT_EQ(plotter.readReply("\r\n"), "7470A\r\n");
    ASSERT_TRUE(plotter.waitPageMenu(5)) << plotter.screen();
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();

    EXPECT_EQ(plotter.transcript(), "IN;SP1;PA10,10;PD20,20;OI;****IN***");
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

// All three queries answered in order, each as soon as it is read, while
// the replies themselves stay out of the transcript.
TEST(WorkedExample, QueriesAreAnsweredOnTheLine) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();

    ASSERT_TRUE(plotter.sendLine("OI;"));
    EXPECT_EQ(plotter.readReply("\r\n"), "7470A\r\n");
    ASSERT_TRUE(plotter.sendLine("OP;OE;"));
    const std::string replies = "0,0,640,480\r\n0\r\n";
    EXPECT_EQ(plotter.line().readMaster(replies.size(), 5s), replies);
    ASSERT_TRUE(plotter.waitPageMenu(3)) << plotter.screen();
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_EQ(plotter.transcript(), "OI;OP;OE;");
}

} // namespace
} // namespace plotanix::testing
