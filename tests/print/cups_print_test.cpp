// Jobs sent to a real scheduler of the test's own, and their outcomes as
// the operator reads them.

#include "print/cups_print.h"
#include "support/private_cups.h"

#include <gtest/gtest.h>

namespace plotanix {
namespace {

using testing::PrivateCups;

// The document names the sheet it was made for, so that the job shows it;
// the job is followed for bound.
PrintOutcome printSheetName(const std::string& queue,
                            std::chrono::milliseconds bound = followingBound) {
    PrintOutcome outcome = printDocument(queue, "PLOTTER_00001.PNG",
                                         [](PrintSheet sheet, std::string& pdf, std::string&) {
                                             pdf = sheet.a4 ? "%PDF-1.4 a4" : "%PDF-1.4 letter";
                                             return true;
                                         });
    followJob(outcome, bound);
    return outcome;
}

class PrintTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        cups = new PrivateCups;
        ASSERT_EQ(cups->error(), "");
        ASSERT_TRUE(cups->addQueue("plotter-a4", true)) << cups->error();
        ASSERT_TRUE(cups->addQueue("plotter-letter", false)) << cups->error();
        ASSERT_TRUE(cups->setDefault("plotter-letter")) << cups->error();
    }
    static void TearDownTestSuite() { delete cups; }
    void SetUp() override { ASSERT_EQ(cups->error(), ""); }
    static PrivateCups* cups;
};
PrivateCups* PrintTest::cups = nullptr;

TEST_F(PrintTest, AJobReachesTheQueueOnItsPaper) {
    struct Case {
        std::string queue, expectedQueue, document;
    };
    for (const Case& c : {Case{"plotter-a4", "plotter-a4", "%PDF-1.4 a4"},
                          Case{"plotter-letter", "plotter-letter", "%PDF-1.4 letter"},
                          Case{"", "plotter-letter", "%PDF-1.4 letter"}}) {
        SCOPED_TRACE("queue '" + c.queue + "'");
        const PrintOutcome outcome = printSheetName(c.queue);
        ASSERT_TRUE(outcome.printed) << outcome.said;
        EXPECT_FALSE(outcome.failed());
        EXPECT_EQ(outcome.queue, c.expectedQueue);
        EXPECT_EQ(outcome.said,
                  "printed on " + c.expectedQueue + " (job " + std::to_string(outcome.job) + ")");
        EXPECT_EQ(cups->waitForJob(outcome.job), c.document);
    }
}

// The document that cannot be made is the line's reason (the queue and the
// scheduler's failures: the whole-program tests).
TEST_F(PrintTest, ADocumentNotMadeIsSaid) {
    const PrintOutcome refused =
        printDocument("plotter-a4", "t", [](PrintSheet, std::string&, std::string& why) {
            why = "not enough memory for the copy";
            return false;
        });
    EXPECT_FALSE(refused.sent);
    EXPECT_EQ(refused.said, "not printed on plotter-a4: not enough memory for the copy");
}

// A job not printed is said with the scheduler's own reason; one held or
// slower than the bound may yet print, and is no failure.
TEST_F(PrintTest, AJobNotPrintedSaysWhy) {
    ASSERT_TRUE(cups->addQueue("plotter-stopped", true)) << cups->error();
    ASSERT_TRUE(cups->stopQueue("plotter-stopped")) << cups->error();
    ASSERT_TRUE(cups->addQueue("plotter-failing", true, PrivateCups::Printer::failing))
        << cups->error();
    ASSERT_TRUE(cups->addQueue("plotter-slow", true, PrivateCups::Printer::slow)) << cups->error();
    struct Case {
        std::string queue, start, reason;
        bool failed;
    };
    for (const Case& c :
         {Case{"plotter-stopped", "held on plotter-stopped (job ", "the printer is stopped", false},
          Case{"plotter-failing", "not printed on plotter-failing (job ",
               "The test printer is out of paper", true},
          Case{"plotter-slow", "sent to plotter-slow (job ", "), not yet printed after 1 second",
               false}}) {
        SCOPED_TRACE(c.queue);
        const PrintOutcome outcome = printSheetName(c.queue, std::chrono::seconds(1));
        EXPECT_TRUE(outcome.sent);
        EXPECT_FALSE(outcome.printed);
        EXPECT_EQ(outcome.failed(), c.failed);
        EXPECT_EQ(outcome.said.rfind(c.start, 0), 0u) << outcome.said;
        EXPECT_NE(outcome.said.find(c.reason), std::string::npos) << outcome.said;
        EXPECT_EQ(outcome.said.find('\n'), std::string::npos) << outcome.said;
    }
}

// The plotting area keeps its size and is centred on the queue's paper; a
// larger page of its own is shrunk to fit; the HP-86B's picture fills the
// sheet within its margins.
TEST(PrintPlacement, TrueSizeCentredOnTheQueuesPaper) {
    struct Case {
        const char* what;
        PageExtent area;
        bool a4;
        double shrink;
    };
    for (const Case& c : {Case{"7470A letter on letter", {10300, 7650}, false, 1},
                          Case{"7470A letter on A4", {10300, 7650}, true, 1},
                          Case{"7470A A4 on letter", {10900, 7650}, false, 1},
                          Case{"HP-GL/2 A2", {23760, 16800, true}, true, 210.0 / 420}}) {
        SCOPED_TRACE(c.what);
        const PrintSheet sheet{c.a4};
        const PaperPlacement placed = placeOnSheet(c.area, sheet);
        EXPECT_EQ(placed.widthMm, sheet.widthMm());
        EXPECT_EQ(placed.heightMm, sheet.heightMm());
        // The area's corners, through the picture's pixel centres.
        const double k = std::min(800 / c.area.width, 600 / c.area.height);
        const double left = placed.leftMm + 0.5 * placed.pixelMm;
        const double bottom = placed.topMm + (600 - 0.5) * placed.pixelMm;
        const double right = left + c.area.width * k * placed.pixelMm;
        const double top = bottom - c.area.height * k * placed.pixelMm;
        EXPECT_NEAR(right - left, c.area.width * 0.025 * c.shrink, 1e-6);
        EXPECT_NEAR(bottom - top, c.area.height * 0.025 * c.shrink, 1e-6);
        EXPECT_NEAR(left, sheet.widthMm() - right, 1e-6);
        EXPECT_NEAR(top, sheet.heightMm() - bottom, 1e-6);
    }
    const PaperPlacement picture = placeOnSheet(std::nullopt, {false});
    EXPECT_NEAR(picture.leftMm, 10, 1e-9);
    EXPECT_NEAR(picture.topMm * 2 + 600 * picture.pixelMm, 215.9, 1e-9);
}

} // namespace
} // namespace plotanix
