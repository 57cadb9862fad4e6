// Real HP-GL files written by other programs, sent to the plotter one after
// the other as the computer would send them: each becomes a run that ends,
// a page that can be saved and is the page the plotter's own interpreter
// draws, and a transcript that holds every byte.

#include "plotter_harness.h"

#include "in_process_run.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

std::vector<std::filesystem::path> corpusFiles() {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(PLOTANIX_CORPUS_DIR, error)) {
        const auto extension = entry.path().extension();
        if (entry.is_regular_file() && extension != ".md" && extension != ".tsv")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string marker(const std::string& text) {
    return "\r\n**** " + text + " ****\r\n\r\n";
}

TEST(RealFiles, EachFileIsARunThatEndsAndIsSaved) {
    const auto files = corpusFiles();
    ASSERT_GE(files.size(), 13u) << PLOTANIX_CORPUS_DIR;
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();

    std::string sent;
    int page = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        const std::string stream = readFile(path.string());
        // The small files at the computer's 9600 baud, the large ones as fast
        // as the line carries them (at 9600 baud they would take minutes).
        if (stream.size() <= 1024) {
            ASSERT_TRUE(plotter.sendLine(stream, at9600Baud));
        } else {
            ASSERT_TRUE(plotter.line().writeMaster(stream, 60s));
        }
        // A new menu: row 11 is the bare prompt until a key is pressed.
        ASSERT_TRUE(plotter.waitRow(11, "Command :", 60s)) << plotter.screen();
        EXPECT_TRUE(plotter.waitPageMenu(runInProcess(stream).instructions, 1s))
            << plotter.screen();
        // Whatever the file asked of the plotter, the computer reads.
        plotter.line().readMaster(std::size_t(plotter.line().masterInputWaiting()), 1s);

        ASSERT_TRUE(plotter.pressKey("1"));
        ASSERT_TRUE(plotter.waitRow(11, "Command : 1  Ok.")) << plotter.screen();
        ++page;
        EXPECT_EQ(differingPixels(plotter.savedPage(page), *expectedPage({stream})), 0);
        // Each file on a page of its own.
        ASSERT_TRUE(plotter.pressKey("2"));
        ASSERT_TRUE(plotter.waitRow(12, "Command : 2  Ok.")) << plotter.screen();
        sent += stream + marker("SAVE PAGE #" + std::to_string(page)) + marker("NEW PAGE");
    }

    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_TRUE(withoutRecords(plotter.transcript()) == sent)
        << "the transcript is not every byte of the files";
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

} // namespace
} // namespace plotanix::testing
