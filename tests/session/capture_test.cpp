// The unattended capture cycle in process: a fake line, a clock the test moves.

#include "session/capture.h"

#include "common/deadline.h"
#include "logfile/transcript_format.h"
#include "page/drawing.h"
#include "session/page_store.h"
#include "support/in_process_plot.h"
#include "support/temp_dir.h"
#include "support/without_root_override.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using transcript::newPageMarker, transcript::savePageMarker;

const std::string plotA = "SP1;PA100,100;PD300,300;";
const std::string plotB = "SP2;PA100,500;PD500,100;PU;";

struct Rig : CaptureEvents {
    explicit Rig(std::chrono::milliseconds gap = 10s)
        : capture(plot.session, store, *this, gap, [this] { return now; }) {
        plot.keepTranscript();
    }
    void runBegan(bool continuing) override { lines.push_back(continuing ? "run on" : "run"); }
    void pageSaved(const PageStore::Saved& saved, RunResult totals) override {
        lines.push_back(saved.name + " " + std::to_string(totals.instructions));
    }
    void nothingDrawn(RunResult totals, const std::string&) override {
        lines.push_back("nothing drawn " + std::to_string(totals.instructions));
    }
    void saveFailed(const PageStore::Saved& saved,
                    std::optional<std::chrono::milliseconds> retryIn) override {
        lines.push_back("failed " + saved.name + ": " + saved.error +
                        (retryIn ? ", again in " + std::to_string(retryIn->count()) + " ms" : ""));
    }
    // After the line has been silent that long, a plot if any.
    void after(Capture::Clock::duration pause, const std::string& stream = "") {
        now += pause;
        capture.timePassed();
        if (stream.empty()) return;
        capture.runBegins();
        capture.runEnded(plot.run(stream).result);
    }

    testing::TempDir dir;
    testing::InProcessPlot plot;
    Lines lines;
    int failures = 0; // saves still to fail
    int failure = ENOSPC;
    int attempts = 0;
    Capture::Clock::time_point now{};
    PageStore store{dir.path().string(), plot.log,
                    [this](const PageImage& page, const std::string& path) {
                        ++attempts;
                        if (failures > 0 && failures--) {
                            errno = failure;
                            return false;
                        }
                        testing::writeFile(path, std::to_string(testing::inkedPixels(page)));
                        return true;
                    }};
    Capture capture;
};

// Milliseconds until the page is saved, as the loop waits for it; -1 when
// no page waits.
int msUntilSave(const Rig& rig) {
    const auto at = rig.capture.savePoint();
    return at ? msUntil(*at, rig.now) : -1;
}

// A pause shorter than the gap continues the page; numbers skip files there.
TEST(Capture, SavesAfterTheGapNumbersAroundExistingFilesAndMarksEachSave) {
    Rig rig;
    std::filesystem::create_symlink("elsewhere", rig.dir.file("PLOTTER_00001.PNG"));
    testing::writeFile(rig.dir.file("PLOTTER_00003.PNG"), "old");
    EXPECT_EQ(msUntilSave(rig), -1);
    rig.after(0s, plotA);
    EXPECT_EQ(msUntilSave(rig), 10000);
    rig.after(9999ms, plotB);
    rig.after(10s, plotA);
    rig.after(10s);
    EXPECT_EQ(msUntilSave(rig), -1);
    EXPECT_EQ(rig.lines,
              (Lines{"run", "run on", "PLOTTER_00002.PNG 7", "run", "PLOTTER_00004.PNG 3"}));
    EXPECT_EQ(testing::readFile(rig.dir.file("PLOTTER_00003.PNG")), "old");
    EXPECT_EQ(rig.plot.transcript(), plotA + plotB + savePageMarker(2) + newPageMarker() + plotA +
                                         savePageMarker(4) + newPageMarker());
    testing::InProcessPlot both, alone; // one plot across the pause; the next page alone
    EXPECT_EQ(testing::readFile(rig.dir.file("PLOTTER_00002.PNG")),
              std::to_string(testing::inkedPixels(both.run(plotA + plotB).page())));
    EXPECT_EQ(testing::readFile(rig.dir.file("PLOTTER_00004.PNG")),
              std::to_string(testing::inkedPixels(alone.run(plotA).page())));
}

// The gap is the host's silence: it counts from the last byte, and the
// silence that ended the run is part of it (a gap shorter than that silence
// saves as the run ends).
TEST(Capture, TheGapCountsFromTheLastByte) {
    const struct {
        std::chrono::milliseconds gap, lastByteBeforeEnd;
        int64_t msUntilSave;
    } cases[] = {{10s, 2660ms, 7340}, {10s, 0ms, 10000}, {1s, 2660ms, 0}, {0s, 100ms, 0}};
    for (const auto& [gap, silence, until] : cases) {
        SCOPED_TRACE(std::to_string(gap.count()) + " ms gap");
        Rig rig(gap);
        rig.capture.runBegins();
        const RunResult result = rig.plot.run(plotA).result;
        rig.now += 5s;
        rig.capture.runEnded(result, rig.now - silence);
        EXPECT_EQ(msUntilSave(rig), until);
        rig.after(std::chrono::milliseconds(until));
        EXPECT_EQ(rig.lines, (Lines{"run", "PLOTTER_00001.PNG 3"}));
    }
}

// A host that only asks (or only moves the pen) leaves a blank page: no
// file and no marker, and the next plot's page is saved as the first.
TEST(Capture, APageWithNothingDrawnIsNotSaved) {
    Rig rig;
    rig.after(0s, "OI;OP;PU100,100;");
    rig.after(10s, "OI;");
    rig.after(10s);
    EXPECT_EQ(msUntilSave(rig), -1);
    rig.after(0s, plotA);
    EXPECT_TRUE(rig.capture.endRequested());
    rig.after(0s, "OP;");
    EXPECT_TRUE(rig.capture.endRequested()) << "a blank page is no lost page";
    EXPECT_EQ(rig.lines, (Lines{"run", "nothing drawn 3", "run", "nothing drawn 1", "run",
                                "PLOTTER_00001.PNG 3", "run", "nothing drawn 1"}));
    EXPECT_EQ(rig.attempts, 1);
    EXPECT_EQ(rig.plot.transcript(),
              "OI;OP;PU100,100;OI;" + plotA + savePageMarker(1) + newPageMarker() + "OP;");
}

TEST(Capture, AFailedSaveKeepsThePageForTheNextSavePoint) {
    Rig rig;
    rig.failures = 2;
    rig.after(0s, plotA);
    rig.after(10s); // fails, and says so once
    EXPECT_EQ(msUntilSave(rig), 10000);
    rig.after(10s); // fails again
    rig.after(1s, plotB);
    EXPECT_TRUE(rig.capture.endRequested());
    rig.failures = 1;
    rig.after(0s, plotA);
    EXPECT_FALSE(rig.capture.endRequested());
    EXPECT_EQ(rig.lines,
              (Lines{"run", "failed PLOTTER_00001.PNG: No space left on device, again in 10000 ms",
                     "run on", "PLOTTER_00001.PNG 7", "run",
                     "failed PLOTTER_00002.PNG: No space left on device"}));
    EXPECT_EQ(rig.plot.transcript(), plotA + plotB + savePageMarker(1) + newPageMarker() + plotA);
}

// Written apart (by another thread): while the page is being written there
// is no save point and the end waits; a failed write is tried again at the
// next save point, and the page is marked once its file is whole.
TEST(Capture, APageWrittenApartIsMarkedOnceItsFileIsWhole) {
    Rig rig;
    std::shared_ptr<const PageImage> handed;
    std::string path;
    rig.capture.writeApart([&](std::shared_ptr<const PageImage> page, const std::string& to) {
        handed = std::move(page);
        path = to;
    });
    rig.after(0s, plotA);
    for (const bool written : {false, true}) {
        rig.after(10s);
        ASSERT_TRUE(rig.capture.saving());
        EXPECT_EQ(rig.capture.savePoint(), std::nullopt);
        EXPECT_FALSE(rig.capture.endRequested());
        EXPECT_EQ(rig.plot.transcript(), plotA);
        EXPECT_EQ(rig.attempts, 0) << "the caller writes it";
        EXPECT_EQ(path, rig.dir.file("PLOTTER_00001.PNG"));
        if (written) testing::writeFile(path, std::to_string(testing::inkedPixels(*handed)));
        rig.capture.saveWritten(written, written ? 0 : ENOSPC);
    }
    EXPECT_FALSE(rig.capture.saving());
    EXPECT_TRUE(rig.capture.endRequested());
    EXPECT_EQ(rig.lines,
              (Lines{"run", "failed PLOTTER_00001.PNG: No space left on device, again in 10000 ms",
                     "PLOTTER_00001.PNG 3"}));
    EXPECT_EQ(rig.plot.transcript(), plotA + savePageMarker(1) + newPageMarker());
}

// With no gap at all, a save that keeps failing is tried after a second,
// then twice as long each time up to a minute; each new reason is told once.
TEST(Capture, AFailingSaveIsRetriedAtMostOnceASecondBackingOffToAMinute) {
    Rig rig(0s);
    rig.failures = 100;
    rig.after(0s, plotA);
    rig.after(0s);
    const int64_t delays[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (const int64_t delay : delays) {
        SCOPED_TRACE(delay);
        EXPECT_EQ(msUntilSave(rig), delay);
        const int attempts = rig.attempts;
        rig.after(std::chrono::milliseconds(delay - 1));
        EXPECT_EQ(rig.attempts, attempts) << "tried before its time";
        rig.failure = delay < 60000 ? ENOSPC : EACCES;
        rig.after(1ms);
        EXPECT_EQ(rig.attempts, attempts + 1);
    }
    EXPECT_EQ(rig.lines,
              (Lines{"run", "failed PLOTTER_00001.PNG: No space left on device, again in 1000 ms",
                     "failed PLOTTER_00001.PNG: Permission denied, again in 60000 ms"}));
    // Plots arriving meanwhile do not bring the next attempt forward.
    rig.after(1s, plotB);
    EXPECT_EQ(msUntilSave(rig), 59000);
}

// A folder whose entries cannot be looked at fails at the first attempt
// with the system's reason, not as a search through every page name.
// Only the rows drawn on are read, so a dot anywhere must still count.
TEST(PageStore, NothingDrawnSeesADotOnAnyRow) {
    const struct {
        int depth;
        Colour paper;
        int dotRow; // -1: none
        bool nothing;
    } cases[] = {
        {24, penColours[0], -1, true},   {24, penColours[0], 0, false},
        {24, penColours[0], 599, false}, {24, 0x123456, -1, false}, // another paper
        {4, 0xFFFFFF, -1, true},         {4, 0xFFFFFF, 0, false},
        {1, 0xFFFFFF, 599, false},
    };
    for (const auto& c : cases) {
        const std::unique_ptr<PageImage> page = createPageImage(800, 600, c.depth, c.paper);
        ASSERT_TRUE(page);
        if (c.dotRow >= 0) page->row(c.dotRow)[c.depth == 24 ? 3 * 799 : 0] ^= 0x80;
        EXPECT_EQ(nothingDrawn(*page), c.nothing)
            << "depth " << c.depth << ", dot on row " << c.dotRow;
    }
    // Drawn on, then blanked in the paper again: nothing.
    const std::unique_ptr<PageImage> page = createPageImage(800, 600, 24, penColours[0]);
    Drawing drawing;
    drawing.beginDrawing(*page);
    drawing.fillBox(10, 300, 5, 5, 0);
    EXPECT_FALSE(nothingDrawn(*page));
    drawing.fillBox(10, 300, 5, 5, penColours[0]);
    EXPECT_TRUE(nothingDrawn(*page));
}

TEST(PageStore, AFolderThatCannotBeSearchedIsReportedWithItsError) {
    Rig rig;
    std::filesystem::permissions(rig.dir.path(), std::filesystem::perms(0600));
    PageStore::Saved saved;
    {
        testing::WithoutRootOverride asAnOrdinaryUser;
        saved = rig.store.savePage(rig.plot.run(plotA).page());
    }
    std::filesystem::permissions(rig.dir.path(), std::filesystem::perms(0700));
    EXPECT_FALSE(saved.ok);
    EXPECT_EQ(saved.error, "Permission denied");
    EXPECT_EQ(rig.attempts, 0);
}

// The copy goes beside the page under its number (its name counts as
// taken); a failed copy keeps the page and its marker and says why.
TEST(PageStore, WritesTheCopyBesideThePageAndKeepsThePageWhenItFails) {
    for (const std::string reason : {"", "disk full"}) {
        Rig rig;
        testing::writeFile(rig.dir.file("PLOTTER_00001.SVG"), "old");
        rig.store.writeCopies(".SVG", [&](const std::string& path, std::string& why) {
            if (reason.empty()) testing::writeFile(path, "copy");
            return (why = reason).empty();
        });
        const PageStore::Saved saved = rig.store.savePage(rig.plot.run(plotA).page());
        EXPECT_TRUE(saved.ok);
        EXPECT_EQ(saved.name, "PLOTTER_00002.PNG");
        EXPECT_EQ(saved.copyName, "PLOTTER_00002.SVG");
        EXPECT_EQ(saved.copyError, reason);
        EXPECT_TRUE(std::filesystem::exists(rig.dir.file("PLOTTER_00002.PNG")));
        EXPECT_EQ(testing::readFile(rig.dir.file("PLOTTER_00002.SVG")),
                  reason.empty() ? "copy" : "");
        EXPECT_EQ(rig.plot.transcript(), plotA + savePageMarker(2));
    }
}

} // namespace
} // namespace plotanix
