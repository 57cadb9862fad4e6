// The station every front runs on, in process: a saved page reaches every
// output, and the one ending keeps every byte, finishes a page being
// written and gives up on a print server that does not answer.

#include "shell/station.h"
#include "support/loopback.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <array>
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
using namespace std::string_literals;
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

// A computer that takes none of the plotter's replies: on a serial line
// whose other end is never read, or as a telnet host that never reads. It
// says "IN;" first, so that the line is seen to be its.
struct DeafEnd {
    std::function<std::string()> received; // what it had at last
};

struct DeafHost {
    const char* name;
    std::function<std::optional<DeafEnd>(LineWatch&)> connect;
};

std::optional<DeafEnd> deafSerialHost(LineWatch& line) {
    auto computer = std::make_shared<PtyPair>();
    if (!computer->ok() || !line.open(computer->slavePath(), {}) || !computer->writeMaster("IN;"))
        return std::nullopt;
    return DeafEnd{[computer] { return computer->readMaster(1 << 20, 300ms); }};
}

std::optional<DeafEnd> deafTelnetHost(LineWatch& line) {
    if (!line.open("telnet-listen:0", {})) return std::nullopt;
    auto host = std::make_shared<UniqueFd>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096; // what a host that never reads leaves room for
    ::setsockopt(host->get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in address = testing::loopbackAt(line.link().network()->localPort());
    if (::connect(host->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        !testing::sendAll(host->get(), "IN;"))
        return std::nullopt;
    return DeafEnd{[host] {
        std::string got;
        char chunk[65536];
        pollfd in{host->get(), POLLIN, 0};
        while (::poll(&in, 1, 300) > 0) {
            const ssize_t n = ::recv(host->get(), chunk, sizeof chunk, 0);
            if (n <= 0) break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }};
}

// The loop's turns, reading the line, until want() holds.
struct Reading : Until {
    Reading(LineWatch& line, std::function<bool()> want) : Until(std::move(want)), line_(line) {}
    bool readsLine() const override { return true; }
    void onLineData(Clock::time_point) override {
        std::array<uint8_t, 4096> bytes{};
        for (int got = 0; (got = line_.link().readAvailable(bytes)) > 0;)
            taken += static_cast<size_t>(got);
    }
    LineWatch& line_;
    size_t taken = 0;
};

class StationDeafHost : public StationTest, public ::testing::WithParamInterface<DeafHost> {};

// The replies a host has not taken are dropped at the signal and counted,
// byte for byte; they hold neither the ending nor the transcript.
TEST_P(StationDeafHost, RepliesItHasNotTakenAreDroppedAndCounted) {
    ASSERT_TRUE(station.assemble(settings, station.line.link()));
    ASSERT_TRUE(station.log.openLog(pages.file(LogFile::defaultName)));
    const std::optional<DeafEnd> host = GetParam().connect(station.line);
    ASSERT_TRUE(host) << "no line to the host";
    Reading said(station.line, [&] { return said.taken >= 3; });
    station.loop.run(said);
    ASSERT_EQ(said.taken, 3u) << "the host's bytes did not come";
    // Answers to "OI;" that the host never reads, until it has no room for
    // them (a socket's buffers take a lot first); without the CR, which
    // telnet sends as two bytes.
    const std::string reply = "7470A";
    size_t queued = 0;
    Reading full(station.line, [&] {
        SerialLink& link = station.line.link();
        if (link.replyWaitsForRoom()) return true;
        if (link.repliesQueued()) return false;
        for (size_t i = 0; i < ReplyQueue::maxBytes / reply.size(); ++i, queued += reply.size()) {
            link.writeSerial(reply);
            link.replyComplete();
        }
        return false;
    });
    station.loop.run(full);
    ASSERT_TRUE(station.line.link().replyWaitsForRoom()) << "the host took every reply";

    const Clock::time_point signalled = Clock::now();
    station.ending.begin(signalled, Station::endingBudget);
    station.loop.run(station.ending, true);
    EXPECT_LT(Clock::now() - signalled, Station::endingBudget) << "the replies held the ending";
    const size_t dropped = station.ending.repliesDropped();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(station.ending.repliesDropped(), dropped) << "counted twice";
    std::string taken = host->received();
    const std::string opening = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03"s;
    if (taken.starts_with(opening)) taken.erase(0, opening.size());
    EXPECT_EQ(taken.size() + dropped, queued) << "the count is not what the host went without";
    EXPECT_FALSE(station.closeTranscript().has_value());
}

INSTANTIATE_TEST_SUITE_P(EveryLine, StationDeafHost,
                         ::testing::Values(DeafHost{"serial", deafSerialHost},
                                           DeafHost{"telnet", deafTelnetHost}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DroppedRepliesNote, SaysTheCountInWords) {
    EXPECT_EQ(droppedRepliesNote(0), "");
    EXPECT_EQ(droppedRepliesNote(1),
              "1 reply byte the computer had not taken was dropped at the end");
    EXPECT_EQ(droppedRepliesNote(4096),
              "4096 reply bytes the computer had not taken were dropped at the end");
}

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
