// The unattended capture cycle in process: a fake line, a clock the test
// moves, page files in a private folder.

#include "session/capture.h"

#include "logfile/transcript_format.h"
#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using transcript::newPageMarker, transcript::savePageMarker;

const std::string plotA = "SP1;PA100,100;PD300,300;";
const std::string plotB = "SP2;PA100,500;PD500,100;PU;";

struct Rig : CaptureEvents {
    void runBegan(bool continuing) override { lines.push_back(continuing ? "run on" : "run"); }
    void pageSaved(const PageStore::Saved& saved, RunResult totals) override {
        lines.push_back(saved.name + " " + std::to_string(totals.instructions));
    }
    void saveFailed(const PageStore::Saved& saved, bool retrying) override {
        lines.push_back("failed " + saved.name + (retrying ? " retrying" : ""));
    }
    // Plots after the line has been silent that long since the last run.
    void plotAfter(Capture::Clock::duration pause, const std::string& stream) {
        pass(pause);
        plot.feed(stream);
        capture.dataWaiting();
    }
    void pass(Capture::Clock::duration time) {
        now += time;
        capture.timePassed();
    }

    testing::TempDir dir;
    testing::InProcessPlot plot;
    Lines lines;
    std::vector<int> inks; // of each page written
    int failures = 0;      // saves still to fail
    Capture::Clock::time_point now{};
    PageStore store{dir.path().string(), plot.log,
                    [this](const PageImage& page, const std::string& path) {
                        if (failures > 0 && failures--) return false;
                        inks.push_back(testing::inkedPixels(page));
                        testing::writeFile(path, "page");
                        return true;
                    }};
    Capture capture{plot.session, store, *this, 10s, [this] { return now; }};
};

TEST(Capture, APauseShorterThanTheGapContinuesThePage) {
    const std::pair<Capture::Clock::duration, Lines> cases[] = {
        {9999ms, {"run", "run on", "PLOTTER_00001.PNG 7"}},
        {10s, {"run", "PLOTTER_00001.PNG 3", "run", "PLOTTER_00002.PNG 4"}},
    };
    for (const auto& [pause, expected] : cases) {
        Rig rig;
        EXPECT_EQ(rig.capture.msUntilSave(), -1);
        rig.plotAfter(0s, plotA);
        EXPECT_EQ(rig.capture.msUntilSave(), 10000);
        rig.plotAfter(pause, plotB);
        rig.pass(10s);
        EXPECT_EQ(rig.lines, expected);
        EXPECT_EQ(rig.capture.msUntilSave(), -1);
    }
}

TEST(Capture, NumbersAroundExistingFilesAndMarksEachSave) {
    Rig rig;
    rig.plot.keepTranscript();
    for (const char* taken : {"PLOTTER_00001.PNG", "PLOTTER_00003.PNG"})
        testing::writeFile(rig.dir.file(taken), "old");
    rig.plotAfter(0s, plotA);
    rig.plotAfter(10s, plotB);
    rig.pass(10s);
    EXPECT_EQ(rig.lines, (Lines{"run", "PLOTTER_00002.PNG 3", "run", "PLOTTER_00004.PNG 4"}));
    EXPECT_EQ(testing::readFile(rig.dir.file("PLOTTER_00003.PNG")), "old");
    EXPECT_EQ(rig.plot.transcript(), plotA + savePageMarker(2) + newPageMarker() + plotB +
                                         savePageMarker(4) + newPageMarker());
    // The second page holds the second plot alone.
    testing::InProcessPlot alone;
    EXPECT_EQ(rig.inks.at(1), testing::inkedPixels(alone.run(plotB).page()));
}

TEST(Capture, AFailedSaveKeepsThePageForTheNextSavePoint) {
    Rig rig;
    rig.plot.keepTranscript();
    rig.failures = 2;
    rig.plotAfter(0s, plotA);
    rig.pass(10s); // fails, and says so once
    EXPECT_EQ(rig.capture.msUntilSave(), 10000);
    rig.pass(10s); // fails again
    rig.plotAfter(1s, plotB);
    EXPECT_TRUE(rig.capture.endRequested());
    rig.failures = 1;
    rig.plotAfter(0s, plotA);
    EXPECT_FALSE(rig.capture.endRequested());
    EXPECT_EQ(rig.lines, (Lines{"run", "failed PLOTTER_00001.PNG retrying", "run on",
                                "PLOTTER_00001.PNG 7", "run", "failed PLOTTER_00002.PNG"}));
    EXPECT_EQ(rig.plot.transcript(), plotA + plotB + savePageMarker(1) + newPageMarker() + plotA);
}

// The copy goes beside the page under its number (its name counts as
// taken); a failed copy keeps the page and its marker and says why.
TEST(PageStore, WritesTheCopyBesideThePageAndKeepsThePageWhenItFails) {
    for (const bool copyFails : {false, true}) {
        Rig rig;
        rig.plot.keepTranscript();
        testing::writeFile(rig.dir.file("PLOTTER_00001.SVG"), "old");
        rig.store.writeCopies(".SVG", [&](const std::string& path, std::string& reason) {
            if (copyFails)
                reason = "disk full";
            else
                testing::writeFile(path, "copy");
            return !copyFails;
        });
        const PageStore::Saved saved = rig.store.savePage(rig.plot.run(plotA).page());
        EXPECT_TRUE(saved.ok && saved.name == "PLOTTER_00002.PNG");
        EXPECT_EQ(saved.copyName, "PLOTTER_00002.SVG");
        EXPECT_EQ(saved.copyError, copyFails ? "disk full" : "");
        EXPECT_EQ(testing::readFile(rig.dir.file("PLOTTER_00002.PNG")), "page");
        EXPECT_EQ(testing::readFile(rig.dir.file("PLOTTER_00002.SVG")), copyFails ? "" : "copy");
        EXPECT_EQ(rig.plot.transcript(), plotA + savePageMarker(2));
    }
}

} // namespace
} // namespace plotanix
