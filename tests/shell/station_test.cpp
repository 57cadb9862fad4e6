// The station every front runs on, in process: a saved page reaches every
// output, and the one ending keeps every byte, finishes a page being
// written and gives up on a print server that does not answer.

#include "shell/station.h"
#include "support/loopback.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using testing::PtyPair;
using testing::TempDir;

struct Heard : StationEvents {
    void lineLost() override {}
    void lineBack() override {}
    void printed(const std::string& said, bool failed) override {
        prints.push_back((failed ? "failed: " : "") + said);
    }
    std::vector<std::string> prints;
};

// The loop's turns until want() holds, ten seconds at most (looked at
// again every 20 ms: the test's own threads change what it waits for).
struct Until : Activity {
    explicit Until(std::function<bool()> want) : want_(std::move(want)) {}
    bool done() const override { return want_() || Clock::now() >= giveUp_; }
    std::optional<Clock::time_point> deadline() const override { return Clock::now() + 20ms; }

  private:
    std::function<bool()> want_;
    Clock::time_point giveUp_ = Clock::now() + 10s;
};

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct StationTest : ::testing::Test {
    StationTest() {
        // No scheduler answers here: a print's outcome comes back at once.
        ::setenv("CUPS_SERVER", (pages.path() / "no-cupsd.sock").c_str(), 1);
        settings.dir = pages.path().string();
        settings.model = PlotterModel::hp7470a;
    }
    ~StationTest() override { ::unsetenv("CUPS_SERVER"); }
    void plot(const std::string& bytes) {
        station.session().feed(
            std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
    void run(std::function<bool()> want) {
        Until until(std::move(want));
        station.loop.run(until);
    }
    std::string transcript() { return fileText(pages.file(LogFile::defaultName)); }

    TempDir pages;
    Settings settings;
    Heard heard;
    Station station{heard};
};

TEST_F(StationTest, ASavedPageReachesEveryOutput) {
    settings.vector = VectorCopy::svg;
    settings.print = "plotanix-queue";
    settings.web = WebAddress{"127.0.0.1", 0};
    std::string why;
    ASSERT_TRUE(station.followWeb(settings, why)) << why;
    ASSERT_TRUE(station.assemble(settings, station.line.link()));
    plot("IN;SP1;PA100,100;PD5000,4000;");
    ASSERT_TRUE(station.store().savePage(station.session().page()).ok);

    EXPECT_TRUE(std::filesystem::exists(pages.file("PLOTTER_00001.PNG")));
    EXPECT_TRUE(std::filesystem::exists(pages.file("PLOTTER_00001.SVG")));
    run([&] { return !heard.prints.empty(); });
    ASSERT_EQ(heard.prints.size(), 1u) << "the printer was not given the page";
    EXPECT_TRUE(heard.prints[0].starts_with("failed: not printed on plotanix-queue"))
        << heard.prints[0];

    // The web view names it as the page saved last.
    const std::string url = station.web.url();
    const int port = std::stoi(url.substr(url.rfind(':') + 1));
    std::atomic<bool> answered = false;
    std::string page;
    std::thread browser([&] {
        const UniqueFd socket = testing::connectTo(port);
        testing::sendAll(socket.get(),
                         "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        page = testing::receive(socket.get());
        answered = true;
    });
    run([&] { return answered.load(); });
    browser.join();
    EXPECT_NE(page.find("Last saved"), std::string::npos) << page;
    EXPECT_NE(page.find("PLOTTER_00001.PNG"), std::string::npos) << page;
}

// Whatever the front: the interactive and unattended ones end with the
// computer's line open, the acquiring one with its own port.
struct EndingRow {
    const char* front;
    bool keepLine;
};

class StationEnding : public StationTest, public ::testing::WithParamInterface<EndingRow> {};

TEST_P(StationEnding, KeepsEveryByte) {
    PtyPair computer;
    ASSERT_TRUE(computer.ok()) << computer.error();
    ASSERT_TRUE(station.assemble(settings, station.line.link()));
    ASSERT_TRUE(station.log.openLog(pages.file(LogFile::defaultName)));
    station.log.flushLog();
    const std::string header = transcript(); // the model's line
    ASSERT_TRUE(station.line.open(computer.slavePath(), {}));
    // Taken by the front (a run, or the instrument's exchange), not yet written.
    const std::string taken = "IN;SP1;PA100,100;";
    station.log.writeLogBytes(reinterpret_cast<const uint8_t*>(taken.data()), taken.size());
    // Still in the line's queue when the signal comes.
    std::string queued;
    for (int i = 0; i < 400; ++i)
        queued += "PD" + std::to_string(i) + "," + std::to_string(i) + ";";
    if (GetParam().keepLine) {
        ASSERT_TRUE(computer.writeMaster(queued));
    }

    station.ending.begin(Clock::now(), Station::endingBudget, GetParam().keepLine);
    station.loop.run(station.ending, true);
    EXPECT_FALSE(station.closeTranscript().has_value());
    const std::string expected = header + taken + (GetParam().keepLine ? queued : "");
    EXPECT_EQ(transcript().size(), expected.size());
    EXPECT_TRUE(transcript() == expected) << "bytes out of order or changed";
}

INSTANTIATE_TEST_SUITE_P(EveryFront, StationEnding,
                         ::testing::Values(EndingRow{"interactive_and_unattended", true},
                                           EndingRow{"acquire", false}),
                         [](const auto& info) { return std::string(info.param.front); });

TEST_F(StationTest, AnEndingFinishesAPageAndGivesUpOnAHungPrintServer) {
    ASSERT_TRUE(station.assemble(settings, station.line.link()));
    plot("IN;SP1;PA100,100;PD5000,4000;");
    std::promise<void> serverAnswers;
    std::shared_future<void> server = serverAnswers.get_future().share();
    bool pageWritten = false;
    station.writeApart(std::make_shared<const PageImage>(station.session().page()),
                       pages.file("PLOTTER_00001.PNG"),
                       [&](bool written, int) { pageWritten = written; });
    std::vector<std::string> told;
    station.work.submit(
        BackgroundWork::Lane::prints,
        [server] {
            server.wait();
            return BackgroundWork::Done();
        },
        [&](bool running) { told.push_back(running ? "abandoned" : "dropped"); });
    station.work.submit(
        BackgroundWork::Lane::lookups, [] { return BackgroundWork::Done(); },
        [&](bool) { told.push_back("look-up"); });

    const Clock::time_point signalled = Clock::now();
    station.ending.begin(signalled, 300ms, false);
    station.loop.run(station.ending, true);
    EXPECT_GE(Clock::now() - signalled, 300ms) << "the print was not given its budget";
    EXPECT_LT(Clock::now() - signalled, 2s) << "the hung print server held the ending";
    EXPECT_TRUE(pageWritten);
    EXPECT_TRUE(std::filesystem::exists(pages.file("PLOTTER_00001.PNG")));
    EXPECT_EQ(told.back(), "abandoned");
    serverAnswers.set_value();
}

} // namespace
} // namespace plotanix
