// What a bad line can do to the plotter, end to end: hostile streams, a line
// that goes away and comes back, a lost display and a stream at full speed.

#include "plotter_harness.h"

#include "support/process.h"
#include "support/switchable_line.h"
#include "support/wait_until.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <numeric>
#include <thread>

#ifndef PLOTANIX_RELEASE_BINARY
#define PLOTANIX_RELEASE_BINARY ""
#endif

namespace plotanix::testing {
namespace {

const std::string lostNotice = "The line to the computer is lost; waiting for it to return.";
constexpr int lastRow = 24;

// The peak resident size in kB (VmHWM), or -1.
long peakKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
    return -1;
}

// The page menu of a later run: its prompt is bare only until a menu key is pressed.
bool waitFreshPageMenu(PlotterSession& plotter, int instructions) {
    return plotter.waitBarePrompt(30s) && plotter.waitPageMenu(instructions, 5s);
}

struct HostileStream {
    std::string name;
    std::function<std::string()> make;
    int instructions = -1; // -1: not checked
};

// A real stream with a NUL before every byte, then a long run of NULs alone.
std::string nulBytesEverywhere() {
    std::string spread;
    for (char c : std::string("SP1;PA100,100;PD200,200,300,100;LBAB\x03;DI1,1;CP1,1;XX;"))
        spread += std::string(1, '\0') + c;
    return repeated(spread, 10000) + std::string(1 << 18, '\0') + ";";
}

const std::vector<HostileStream> hostileStreams = {
    {"MillionByteLabel", [] { return "LB" + repeated("PLOTANIX 7470A ", 66'667) + "\x03;"; }, 1},
    // A million pairs, some 12 MB: those inside the text cap are drawn.
    {"MillionPairs", [] { return "PD" + repeated("1234.5,-678.25,", 1'000'000) + ";"; }, 1},
    {"MillionUnknownInstructions", [] { return repeated("ZZ;", 1'000'000); }, 1'000'000},
    // Texts that never end: the plotter keeps no more of them than it can use.
    {"EndlessLabel", [] { return "LB" + std::string(32 << 20, 'L') + "\x03;"; }, 1},
    {"EndlessParameter", [] { return "PA" + std::string(32 << 20, '7') + ",1;"; }, 1},
    {"EveryByteValue",
     [] {
         std::string block(256, '\0');
         std::iota(block.begin(), block.end(), '\0');
         // The plotter reads on across runs: the ';' ends the instruction
         // the last block left it in, so the next run's OI is its own.
         return repeated(block, 4096) + ";";
     }},
    {"NulBytesEverywhere", nulBytesEverywhere},
    {"ExtremeValues",
     [] {
         return repeated("PA1e39,-1e39;PD1e-50,1e39;PD-1e39,1e-50;PA-1e39,-1e39;SP1e39;SP-1e39;"
                         "SP1e-50;DI1e39,-1e39;DI1e-50,1e-50;DI-1e39,1e39;CP1e39,-1e39;LBX\x03;"
                         "CP-1e39,1e-50;LBY\x03;PU1e38,1e38;PD-1e38,-1e38;DF;",
                         6200);
     }},
};

// On the operator's build: the sanitizers would inflate the resident size.
// (The fuzzer takes streams like these through the sanitized core.) One
// program takes them all, one after another, each on a page of its own: the
// peak resident size is reset before each, and after each the page can be
// saved and a new run is answered.
TEST(HostileStreams, MemoryStaysBoundedAndThePlotterStillAnswers) {
    const std::string binary = PLOTANIX_RELEASE_BINARY;
    ASSERT_FALSE(binary.empty()) << "no build without sanitizers: set -DPLOTANIX_RELEASE_DIR";
    ASSERT_TRUE(std::filesystem::exists(binary)) << binary;
    PlotterSession plotter({.binary = binary});
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    const int pid = plotter.pid();
    const long startPeak = peakKb(pid);
    EXPECT_LT(startPeak, 64 * 1024) << "kB resident at the peak of the start";

    int page = 0;
    for (const HostileStream& hostile : hostileStreams) {
        SCOPED_TRACE(hostile.name);
        ASSERT_TRUE(
            std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs").write("5", 1).flush());
        const std::string stream = hostile.make();
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(plotter.sendLine(stream)) << "the plotter stopped reading";
        ASSERT_TRUE(plotter.waitBarePrompt(60s)) << plotter.screen();
        const auto took = std::chrono::steady_clock::now() - started;
        if (hostile.instructions >= 0) {
            EXPECT_TRUE(plotter.waitPageMenu(hostile.instructions, 5s)) << plotter.screen();
        }
        const long afterStream = peakKb(pid);
        // The page can be saved, and a new run is answered; then a new page.
        ASSERT_TRUE(plotter.choose("1", plotter.commandRow(), "Command : 1  Ok."))
            << plotter.screen();
        ++page;
        ASSERT_TRUE(plotter.sendLine("OI;"));
        EXPECT_EQ(plotter.readReply(), "7470A\r\n");
        ASSERT_TRUE(waitFreshPageMenu(plotter, 1)) << plotter.screen();
        ASSERT_TRUE(plotter.choose("2", plotter.commandRow(), "Command : 2  Ok."))
            << plotter.screen();
        const long peak = peakKb(pid);
        std::cout << "[ figures  ] " << hostile.name << ": " << stream.size() << " bytes in "
                  << (took / 1ms) << " ms (with the 2.66 s silence), peak RSS MB "
                  << afterStream / 1024.0 << " after the stream, " << peak / 1024.0
                  << " after save and OI\n";
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, 64 * 1024) << "kB resident at the peak";
    }
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen();
    for (int number = 1; number <= page; ++number)
        EXPECT_TRUE(plotter.hasFile(savedPageName(number))) << number;
}

const std::string runA = "SP1;PU100,100;PD300,100;OI;";
const std::string runB = "OI;SP2;PU100,200;PD300,200;";
constexpr int runCount = 4; // instructions in either run

TEST(LostLine, InTheMiddleOfARunTheMenuWorksAndPlottingGoesOnWhenItReturns) {
    SwitchableLine line;
    ASSERT_TRUE(line.ok());
    PlotterSession plotter({.portPath = line.path()});
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    // The run's OI answered: the plotter took every byte before it.
    const auto sendAnswered = [&](const std::string& run) {
        ASSERT_TRUE(line.pair().writeMaster(run));
        EXPECT_EQ(line.pair().readMasterUntil("\r\n", 10s), "7470A\r\n");
    };
    ASSERT_NO_FATAL_FAILURE(sendAnswered(runA));
    line.pullOut();
    ASSERT_TRUE(plotter.waitRow(lastRow, lostNotice)) << plotter.screen();
    ASSERT_TRUE(plotter.waitPageMenu(runCount)) << plotter.screen();
    const double before = cpuSeconds(plotter.pid());
    std::this_thread::sleep_for(3s);
    const double used = cpuSeconds(plotter.pid()) - before;
    std::cout << "[ figures  ] CPU while the line is away: " << used << " s in 3 s\n";
    EXPECT_LT(used, 0.3) << "the plotter spins while the line is away";

    ASSERT_TRUE(plotter.choose("1", plotter.commandRow(), "Command : 1  Ok.")) << plotter.screen();
    ASSERT_TRUE(plotter.choose("2", 13, "Command : 2  Ok.")) << plotter.screen();
    EXPECT_EQ(plotter.rows()[lastRow], lostNotice) << "the menu disturbed the notice";
    EXPECT_EQ(plotter.rows()[14], "Command :") << "the notice disturbed the menu";
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({runA})), 0);

    // The device path is looked at about once a second: back well within 5 s.
    ASSERT_TRUE(line.plugIn());
    ASSERT_TRUE(plotter.waitRow(lastRow, "The line to the computer is back.", 5s))
        << plotter.screen();
    ASSERT_NO_FATAL_FAILURE(sendAnswered(runB));
    ASSERT_TRUE(waitFreshPageMenu(plotter, runCount)) << plotter.screen();
    EXPECT_EQ(plotter.rows()[lastRow], "");
    ASSERT_TRUE(plotter.choose("1", plotter.commandRow(), "Command : 1  Ok.")) << plotter.screen();
    // "Insert new page" before the line went: the run after it starts white.
    EXPECT_EQ(differingPixels(plotter.savedPage(2), *expectedPage({runB})), 0);
    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(),
              runA + marker("SAVE PAGE #1") + marker("NEW PAGE") + runB + marker("SAVE PAGE #2"));
}

// Without a display, the line pulled out in the middle of a plot: the
// window's notice and the line's each keep their row, and the page drawn
// so far is saved.
TEST(LostLine, WithoutADisplayTheLostLineIsSaidBesideTheMissingWindow) {
    SwitchableLine line;
    ASSERT_TRUE(line.ok());
    PlotterSession plotter({.withDisplay = false, .portPath = line.path()});
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    const std::string cut = "SP1;PU100,100;PD300,100,300,";
    ASSERT_TRUE(line.pair().writeMaster(cut));
    ASSERT_TRUE(plotter.waitScreen("Instructions")) << plotter.screen();
    line.pullOut();
    ASSERT_TRUE(plotter.waitPageMenu(3)) << plotter.screen();
    const std::string windowOff = "The page window is off: no display (DISPLAY is not set).";
    ASSERT_TRUE(plotter.waitRow(lastRow - 1, windowOff)) << plotter.screen();
    EXPECT_EQ(plotter.rows()[lastRow], lostNotice) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", plotter.commandRow(), "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({cut})), 0);
    expectCleanQuit(plotter);
}

// The X server goes away while the page menu shows the page: the program
// goes on without a window, says so once, and the page can still be saved.
TEST(LostDisplay, ThePageMenuGoesOnAndThePageIsSaved) {
    PrivateXvfb xvfb;
    ASSERT_FALSE(xvfb.name().empty()) << "no Xvfb";
    PlotterSession plotter({.display = xvfb.name()});
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    ASSERT_TRUE(plotter.sendLine(runA));
    ASSERT_TRUE(plotter.waitPageMenu(runCount)) << plotter.screen();
    ASSERT_TRUE(waitUntil([&] { return findWindow("HP Plotter", xvfb.name()).has_value(); }))
        << "no plot window";

    xvfb.stop();
    ASSERT_TRUE(plotter.waitRow(lastRow, "The display is lost; the page stays in memory."))
        << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", plotter.commandRow(), "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({runA})), 0);
    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(), runA + marker("SAVE PAGE #1"));
}

TEST(FullSpeed, EveryByteIsConsumedAndTheTranscriptIsWhatWasSent) {
    // Several megabytes of instructions the plotter knows, 207 to a unit.
    const std::string unit =
        repeated("SP3;PU10,20;PD300,400,20,10;PA5,5;", 50) + "DI1,1;CP1,-1;LBrun\x03;DI;LT;IW;DF;";
    const int units = (4 << 20) / static_cast<int>(unit.size());
    const std::string stream = repeated(unit, units);
    const int count = 207 * units;
    PlotterSession plotter;
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();

    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(plotter.sendLine(stream)) << "the plotter stopped reading";
    const double sending =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(plotter.waitPageMenu(count, 60s)) << plotter.screen();
    std::cout << "[ figures  ] " << stream.size() << " bytes, " << count
              << " instructions, taken in " << sending << " s (" << stream.size() / sending / 1e6
              << " MB/s)\n";

    expectCleanQuit(plotter);
    EXPECT_TRUE(plotter.transcript() == stream) << "the transcript differs from what was sent";
}

} // namespace
} // namespace plotanix::testing
