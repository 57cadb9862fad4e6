// What a bad line can do to the plotter, end to end: hostile streams (memory
// stays bounded, the plotter still answers), a line that goes away and comes
// back under the same device path, and a stream at full pseudo-terminal
// speed (every byte consumed and transcribed).

#include "plotter_harness.h"

#include "in_process_run.h"
#include "support/wait_until.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <limits>
#include <sstream>
#include <thread>
#include <unistd.h>

#ifndef PLOTANIX_RELEASE_BINARY
#define PLOTANIX_RELEASE_BINARY ""
#endif

namespace plotanix::testing {
namespace {

const std::string lostNotice = "The line to the computer is lost; waiting for it to return.";
const std::string backNotice = "The line to the computer is back.";
constexpr int lastRow = 24;

std::string marker(const std::string& text) {
    return "\r\n**** " + text + " ****\r\n\r\n";
}

std::string repeated(std::string_view unit, std::size_t bytes) {
    std::string text;
    text.reserve(bytes + unit.size());
    while (text.size() < bytes)
        text += unit;
    return text;
}

// ---------------------------------------------------------------- the process

// A field of /proc/PID/status in kB ("VmHWM", "VmRSS"), or -1.
long statusKb(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

// The peak resident size starts again from the current one.
bool resetPeak(int pid) {
    std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}

// User and system time the process has used so far, in seconds.
double cpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // Fields 3..13 come before utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i)
        fields >> field;
    fields >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Bytes as fast as the pseudo-terminal carries them; the deadline only
// guards against a plotter that stopped reading.
bool sendFast(PtyPair& line, std::string_view bytes) {
    return line.writeMaster(bytes, std::chrono::minutes(2));
}

// The page menu of a run that ended after the one shown before: row 11 is
// the bare prompt only until the operator presses a menu key.
bool waitFreshPageMenu(PlotterSession& plotter, int instructions,
                       std::chrono::milliseconds timeout = 30s) {
    return plotter.waitRow(11, "Command :", timeout) && plotter.waitPageMenu(instructions, 5s);
}

// ---------------------------------------------------------------- hostile streams

struct HostileStream {
    std::string name;
    std::function<std::string()> make;
    int instructions = -1; // -1: not checked
};

void PrintTo(const HostileStream& stream, std::ostream* out) {
    *out << stream.name;
}

std::string everyByteValue() {
    std::string block;
    for (int value = 0; value < 256; ++value)
        block.push_back(static_cast<char>(value));
    return repeated(block, 1 << 20);
}

// A real stream with a NUL before every byte, then a long run of NULs alone.
std::string nulBytesEverywhere() {
    const std::string plain = "SP1;PA100,100;PD200,200,300,100;LBAB\x03;DI1,1;CP1,1;XX;";
    std::string spread;
    for (char c : plain)
        spread += std::string(1, '\0') + c;
    return repeated(spread, 1 << 20) + std::string(1 << 18, '\0') + ";";
}

std::string extremeValues() {
    return repeated("PA1e39,-1e39;PD1e-50,1e39;PD-1e39,1e-50;PA-1e39,-1e39;SP1e39;SP-1e39;"
                    "SP1e-50;DI1e39,-1e39;DI1e-50,1e-50;DI-1e39,1e39;CP1e39,-1e39;LBX\x03;"
                    "CP-1e39,1e-50;LBY\x03;PU1e38,1e38;PD-1e38,-1e38;DF;",
                    1 << 20);
}

const std::vector<HostileStream> hostileStreams = {
    {"MillionByteLabel",
     [] { return "LB" + repeated("PLOTANIX 7470A ", 1'000'000).substr(0, 1'000'000) + "\x03;"; },
     1},
    {"MillionParameters", [] { return "PD" + repeated("1,", 2'000'000) + ";"; }, 1},
    {"MillionUnknownInstructions", [] { return repeated("ZZ;", 3'000'000); }, 1'000'000},
    // Texts that never end: the plotter keeps no more of them than it can use.
    {"EndlessLabel", [] { return "LB" + std::string(32 << 20, 'L') + "\x03;"; }, 1},
    {"EndlessParameter", [] { return "PA" + std::string(32 << 20, '7') + ",1;"; }, 1},
    {"EveryByteValue", everyByteValue},
    {"NulBytesEverywhere", nulBytesEverywhere},
    {"ExtremeValues", extremeValues},
};

class HostileStreams : public ::testing::TestWithParam<HostileStream> {};

// On the operator's build: the sanitizers would inflate the resident size.
TEST_P(HostileStreams, MemoryStaysBoundedAndThePlotterStillAnswers) {
    const std::string binary = PLOTANIX_RELEASE_BINARY;
    ASSERT_FALSE(binary.empty())
        << "no operator's build to measure: configure the tests with "
           "-DPLOTANIX_RELEASE_DIR=<build dir of plotanix without sanitizers> (make test does)";
    ASSERT_TRUE(std::filesystem::exists(binary))
        << "the operator's build is missing: " << binary << " (build it first, as make test does)";
    PlotterOptions options;
    options.binary = binary;
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();
    const int pid = plotter.pid();
    const long startPeak = statusKb(pid, "VmHWM");
    EXPECT_LT(startPeak, 64 * 1024) << "kB resident at the peak of the start";
    ASSERT_TRUE(resetPeak(pid));

    const HostileStream& hostile = GetParam();
    const std::string stream = hostile.make();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(sendFast(plotter.line(), stream)) << "the plotter stopped reading";
    ASSERT_TRUE(plotter.waitPageMenu(std::nullopt, 60s)) << plotter.screen();
    const auto took = std::chrono::steady_clock::now() - started;
    if (hostile.instructions >= 0) {
        EXPECT_TRUE(plotter.waitPageMenu(hostile.instructions, 1s)) << plotter.screen();
    }
    const long afterStream = statusKb(pid, "VmHWM");

    // The page can be saved, and a new run is answered.
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(11, "Command : 1  Ok.")) << plotter.screen();
    ASSERT_TRUE(plotter.sendLine("OI;"));
    EXPECT_EQ(plotter.readReply(), "7470A\r\n");
    ASSERT_TRUE(waitFreshPageMenu(plotter, 1)) << plotter.screen();
    const long peak = statusKb(pid, "VmHWM");

    std::cout << "[ figures  ] " << hostile.name << ": " << stream.size() << " bytes in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms (with the 2.66 s silence), peak RSS " << startPeak / 1024.0
              << " MB at the start, " << afterStream / 1024.0 << " MB after the stream, "
              << peak / 1024.0 << " MB after save and OI\n";
    RecordProperty("peak_rss_kb", std::to_string(peak));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 64 * 1024) << "kB resident at the peak";

    EXPECT_EQ(plotter.quit(), 0) << plotter.screen();
    EXPECT_TRUE(plotter.hasFile(savedPageName(1)));
}

// The same stream through the reader and interpreter under the sanitizers:
// every byte reaches the transcript, nothing is read out of bounds.
TEST_P(HostileStreams, TheSanitizedCoreTakesItWhole) {
    const HostileStream& hostile = GetParam();
    const std::string stream = hostile.make();
    TempDir directory;
    LogFile log;
    ASSERT_TRUE(log.openLog(directory.file("PLOTTER.TXT")));
    const RunCounts counts = runInProcess(stream, log);
    log.closeLog();
    if (hostile.instructions >= 0) {
        EXPECT_EQ(counts.instructions, hostile.instructions);
    }
    // Records of unrecognised instructions come on top of the bytes received.
    const std::string transcript = readFile(directory.file("PLOTTER.TXT"));
    EXPECT_TRUE((counts.ignored == 0 ? transcript : withoutRecords(transcript)) == stream)
        << "the transcript is not every byte received";
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileStreams, ::testing::ValuesIn(hostileStreams),
                         [](const auto& info) { return info.param.name; });

// Texts that never end are cut, and the stream stays in step after them.
TEST(BoundedTexts, ALabelKeepsItsFirstMegabyteAndTheNextInstructionIsRead) {
    const std::size_t limit = InstructionReader::maxTextBytes;
    FakeLink link;
    feedInChunks(link, std::string(2 * limit, 'L') + "\x03;PA10,20;");
    LogFile log;
    InstructionReader reader(link, log);
    reader.startRun();
    const std::string text = reader.readLabelText();
    EXPECT_EQ(text.size(), limit);
    EXPECT_LE(text.capacity(), 2 * limit);
    reader.skipToTerminator();
    EXPECT_EQ(reader.readByte(), 'P');
    EXPECT_EQ(reader.readByte(), 'A');
    ASSERT_EQ(reader.readParameters(), 2);
    EXPECT_EQ(reader.params[1], 10.0f);
    EXPECT_EQ(reader.params[2], 20.0f);
}

TEST(BoundedTexts, AParameterKeepsItsFirstMegabyteAndTheNextParameterIsRead) {
    const std::size_t limit = InstructionReader::maxTextBytes;
    FakeLink link;
    feedInChunks(link, "1" + std::string(2 * limit, '0') + ",-0.5;SP2;");
    LogFile log;
    InstructionReader reader(link, log);
    reader.startRun();
    ASSERT_EQ(reader.readParameters(), 2);
    EXPECT_EQ(reader.params[1], std::numeric_limits<float>::max());
    EXPECT_EQ(reader.params[2], -0.5f);
    EXPECT_EQ(reader.readByte(), 'S');
}

// ---------------------------------------------------------------- a line that goes away

// A device path that comes and goes, as a USB serial adapter's does: a
// symbolic link (the path PLOTANIX_COM1 names) to the slave of the
// pseudo-terminal of the moment. The pairs do not hold their slave open, so
// the plotter alone has it open and sees the hang-up.
class SwitchableLine {
  public:
    SwitchableLine() : link_(directory_.file("ttyPLOT")) { plugIn(); }

    const std::string& path() const { return link_; }
    PtyPair& pair() { return *pair_; }
    bool ok() const { return pair_ && pair_->ok() && pointed_; }

    // Pulled out: the path leads nowhere and the plotter's open device hangs up.
    void pullOut() {
        pointTo(directory_.file("absent"));
        pair_->closeMaster();
    }
    // Plugged in again: a new device under the same path.
    void plugIn() {
        pair_ = std::make_unique<PtyPair>(false);
        pointed_ = pair_->ok() && pointTo(pair_->slavePath());
    }

  private:
    // Replaced in one step, so the plotter never finds the path half made.
    bool pointTo(const std::string& target) {
        const std::string fresh = link_ + ".new";
        std::error_code error;
        std::filesystem::remove(fresh, error);
        std::filesystem::create_symlink(target, fresh, error);
        return !error && std::rename(fresh.c_str(), link_.c_str()) == 0;
    }

    TempDir directory_;
    std::string link_;
    std::unique_ptr<PtyPair> pair_;
    bool pointed_ = false;
};

class LostLine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok());
        options.portPath = line.path();
        plotter = std::make_unique<PlotterSession>(options);
        ASSERT_TRUE(plotter->start()) << plotter->failure();
        ASSERT_TRUE(plotter->startPlotting()) << plotter->screen();
    }
    // Sends a run that ends with OI; and waits for the answer: the plotter has
    // taken every byte before it.
    void sendAnswered(const std::string& run) {
        ASSERT_TRUE(line.pair().writeMaster(run));
        EXPECT_EQ(line.pair().readMasterUntil("\r\n", 10s), "7470A\r\n");
    }
    // While the line is away the plotter waits without spinning.
    void expectIdle() {
        const int pid = plotter->pid();
        const double before = cpuSeconds(pid);
        const auto start = std::chrono::steady_clock::now();
        // A measurement over an interval, not a wait for a state.
        std::this_thread::sleep_for(3s);
        const double used = cpuSeconds(pid) - before;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cout << "[ figures  ] CPU while the line is away: " << used << " s in " << seconds
                  << " s\n";
        EXPECT_LT(used, 0.1 * seconds) << "the plotter spins while the line is away";
    }
    void plugInAndWaitForIt() {
        line.plugIn();
        ASSERT_TRUE(line.ok());
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(plotter->waitRow(lastRow, backNotice, 5s)) << plotter->screen();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, 2500ms) << "the device path is not looked at about once a second";
    }

    SwitchableLine line;
    PlotterOptions options;
    std::unique_ptr<PlotterSession> plotter;
};

const std::string runA = "SP1;PU100,100;PD300,100;OI;";
const std::string runB = "OI;SP2;PU100,200;PD300,200;";
constexpr int countA = 4;
constexpr int countB = 4;

TEST_F(LostLine, InTheMiddleOfARunTheMenuWorksAndPlottingGoesOnWhenItReturns) {
    ASSERT_NO_FATAL_FAILURE(sendAnswered(runA));
    line.pullOut();
    ASSERT_TRUE(plotter->waitPageMenu(countA)) << plotter->screen();
    ASSERT_TRUE(plotter->waitRow(lastRow, lostNotice)) << plotter->screen();
    expectIdle();

    ASSERT_TRUE(plotter->pressKey("1"));
    ASSERT_TRUE(plotter->waitRow(11, "Command : 1  Ok.")) << plotter->screen();
    ASSERT_TRUE(plotter->pressKey("2"));
    ASSERT_TRUE(plotter->waitRow(12, "Command : 2  Ok.")) << plotter->screen();
    EXPECT_EQ(plotter->rows()[lastRow], lostNotice) << "the menu disturbed the notice";
    EXPECT_EQ(plotter->rows()[13], "Command :") << "the notice disturbed the menu";
    EXPECT_EQ(differingPixels(plotter->savedPage(1), *expectedPage({runA})), 0);

    ASSERT_NO_FATAL_FAILURE(plugInAndWaitForIt());
    ASSERT_NO_FATAL_FAILURE(sendAnswered(runB));
    ASSERT_TRUE(waitFreshPageMenu(*plotter, countB)) << plotter->screen();
    EXPECT_EQ(plotter->rows()[lastRow], "");
    ASSERT_TRUE(plotter->pressKey("1"));
    ASSERT_TRUE(plotter->waitRow(11, "Command : 1  Ok.")) << plotter->screen();
    // "Insert new page" before the line went: the run after it starts white.
    EXPECT_EQ(differingPixels(plotter->savedPage(2), *expectedPage({runB})), 0);

    EXPECT_EQ(plotter->quit(), 0) << plotter->screen() << plotter->sanitizerReport();
    EXPECT_EQ(plotter->transcript(),
              runA + marker("SAVE PAGE #1") + marker("NEW PAGE") + runB + marker("SAVE PAGE #2"));
    EXPECT_EQ(plotter->sanitizerReport(), "");
}

TEST_F(LostLine, WhileWaitingForTheComputer) {
    line.pullOut();
    ASSERT_TRUE(plotter->waitRow(lastRow, lostNotice)) << plotter->screen();
    const auto rows = plotter->rows();
    EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 4),
              (std::vector<std::string>{"Plotter ON LINE", "", "Waiting...", ""}));
    expectIdle();

    ASSERT_NO_FATAL_FAILURE(plugInAndWaitForIt());
    ASSERT_NO_FATAL_FAILURE(sendAnswered(runA));
    ASSERT_TRUE(plotter->waitPageMenu(countA)) << plotter->screen();
    ASSERT_TRUE(plotter->pressKey("1"));
    ASSERT_TRUE(plotter->waitRow(11, "Command : 1  Ok.")) << plotter->screen();
    EXPECT_EQ(differingPixels(plotter->savedPage(1), *expectedPage({runA})), 0);
    EXPECT_EQ(plotter->quit(), 0) << plotter->screen() << plotter->sanitizerReport();
    EXPECT_EQ(plotter->transcript(), runA + marker("SAVE PAGE #1"));
    EXPECT_EQ(plotter->sanitizerReport(), "");
}

// Lost while the page menu waits; "Continue" goes back on line and keeps
// telling the operator, until the line returns and the computer plots again.
TEST_F(LostLine, WhileThePageMenuWaitsAndAfterContinue) {
    ASSERT_NO_FATAL_FAILURE(sendAnswered(runA));
    ASSERT_TRUE(plotter->waitPageMenu(countA)) << plotter->screen();
    EXPECT_EQ(plotter->rows()[lastRow], "");
    line.pullOut();
    ASSERT_TRUE(plotter->waitRow(lastRow, lostNotice)) << plotter->screen();

    ASSERT_TRUE(plotter->pressKey("3"));
    ASSERT_TRUE(plotter->waitRow(2, "Waiting...")) << plotter->screen();
    ASSERT_TRUE(plotter->waitRow(lastRow, lostNotice)) << plotter->screen();
    ASSERT_NO_FATAL_FAILURE(plugInAndWaitForIt());
    EXPECT_EQ(plotter->rows()[2], "Waiting...");

    ASSERT_NO_FATAL_FAILURE(sendAnswered(runB));
    ASSERT_TRUE(plotter->waitPageMenu(countB)) << plotter->screen();
    ASSERT_TRUE(plotter->pressKey("1"));
    ASSERT_TRUE(plotter->waitRow(11, "Command : 1  Ok.")) << plotter->screen();
    EXPECT_EQ(differingPixels(plotter->savedPage(1), *expectedPage({runA, runB})), 0);
    EXPECT_EQ(plotter->quit(), 0) << plotter->screen() << plotter->sanitizerReport();
    EXPECT_EQ(plotter->transcript(), runA + runB + marker("SAVE PAGE #1"));
    EXPECT_EQ(plotter->sanitizerReport(), "");
}

// ---------------------------------------------------------------- full speed

// Several megabytes of instructions the plotter knows, with the instruction
// count they make.
std::pair<std::string, int> recognisedStream(std::size_t bytes) {
    std::string stream;
    stream.reserve(bytes + 64);
    int count = 0;
    for (int i = 0; stream.size() < bytes; ++i) {
        const int x = (i * 37) % 640, y = (i * 53) % 480;
        stream += "SP" + std::to_string(i % 10) + ";PU" + std::to_string(x) + "," +
                  std::to_string(y) + ";PD" + std::to_string((x + 90) % 640) + "," +
                  std::to_string((y + 70) % 480) + "," + std::to_string(x) + ",0;PA" +
                  std::to_string(y) + "," + std::to_string(x % 480) + ";";
        count += 4;
        if (i % 64 == 0) {
            stream += "DI1,1;CP1,-1;LBrun " + std::to_string(i) + "\x03;DI;LT;IW;";
            count += 6;
        }
        if (i % 1024 == 0) {
            stream += "DF;";
            count += 1;
        }
    }
    return {stream, count};
}

TEST(FullSpeed, EveryByteIsConsumedAndTheTranscriptIsWhatWasSent) {
    const auto [stream, count] = recognisedStream(4 << 20);
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();

    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(sendFast(plotter.line(), stream)) << "the plotter stopped reading";
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(plotter.waitPageMenu(count, 60s)) << plotter.screen();
    const double sending = std::chrono::duration<double>(sent - started).count();
    std::cout << "[ figures  ] " << stream.size() << " bytes, " << count
              << " instructions, taken in " << sending << " s (" << stream.size() / sending / 1e6
              << " MB/s)\n";

    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    const std::string transcript = plotter.transcript();
    EXPECT_EQ(transcript.size(), stream.size());
    EXPECT_TRUE(transcript == stream) << "the transcript differs from what was sent";
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

} // namespace
} // namespace plotanix::testing
