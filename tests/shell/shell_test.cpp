// The shell in process: the loop's dispatch and deadlines with a fake
// keyboard and fake activities; the line's loss and return, and a plot run's
// chunks, against a real pseudo-terminal, where a fake would prove nothing.

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "session/plot_session.h"
#include "shell/event_loop.h"
#include "shell/line_watch.h"
#include "shell/page_window.h"
#include "shell/plot_assembly.h"
#include "shell/plot_run.h"
#include "shell/signal_watch.h"
#include "shell/typed_line.h"
#include "support/fake_link.h"
#include "support/fake_screen.h"
#include "support/in_process_plot.h"
#include "support/plotter_on_line.h"
#include "support/png_file.h"
#include "support/pty_pair.h"
#include "support/switchable_line.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <sys/ioctl.h>
#include <thread>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Keys = std::vector<std::string>;
using testing::waitUntil;

// Keys already taken in (as curses holds them, unseen by poll) and keys
// still in the pipe, one byte each.
struct FakeKeyboard : Keyboard {
    FakeKeyboard() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }
    int inputDescriptor() const override { return readEnd.get(); }
    bool nextKey(std::string& key) override {
        if (!held.empty()) {
            key = held.front();
            held.pop_front();
            return true;
        }
        char byte = 0;
        if (::read(readEnd.get(), &byte, 1) != 1) return false;
        key.assign(1, byte);
        return true;
    }
    void type(std::string_view keys) {
        ASSERT_EQ(::write(writeEnd.get(), keys.data(), keys.size()), ssize_t(keys.size()));
    }

    std::deque<std::string> held;
    UniqueFd readEnd, writeEnd;
};

// Takes keys until "q" (dropping the keys typed after it when asked to),
// and acts at its deadlines.
struct FakeActivity : Activity {
    bool done() const override { return finished; }
    bool readsKeys() const override { return keys; }
    bool onKey(std::string_view key) override {
        taken.emplace_back(key);
        takenAt.push_back(Clock::now());
        finished = key == "q";
        return finished && discardAfterQ;
    }
    std::optional<Clock::time_point> deadline() const override {
        ++waits;
        if (deadlines.empty()) return std::nullopt;
        return deadlines.front();
    }
    void onTime(Clock::time_point now) override {
        late.push_back(now - deadlines.front());
        deadlines.pop_front();
        if (deadlines.empty()) finished = true;
        if (raiseAtTime) std::raise(raiseAtTime);
    }

    bool keys = true;
    bool discardAfterQ = false;
    int raiseAtTime = 0;
    std::deque<Clock::time_point> deadlines;
    Keys taken;
    std::vector<Clock::time_point> takenAt;
    std::vector<Clock::duration> late;
    mutable int waits = 0;
    bool finished = false;
};

struct LoopRig {
    SignalWatch signals{SIGWINCH};
    FakeKeyboard keyboard;
    EventLoop loop{signals};
    KeySource keys{loop, keyboard};
    FakeActivity activity;
};

TEST(EventLoop, KeysGoToTheActivityThatReadsThemWaitingOnesFirst) {
    const struct {
        const char* name;
        Keys held;
        std::string typed;
        bool discardAfterQ;
        Keys taken, left;
    } cases[] = {
        // Held keys are taken before any wait: poll() would not show them.
        {"held", {"a", "q"}, "", false, {"a", "q"}, {}},
        {"typed", {}, "bq", false, {"b", "q"}, {}},
        {"keys after the last stay", {"q", "x"}, "", false, {"q"}, {"x"}},
        {"keys after the last dropped", {"q", "x"}, "y", true, {"q"}, {}},
    };
    for (const auto& c : cases) {
        LoopRig rig;
        rig.keyboard.held.assign(c.held.begin(), c.held.end());
        rig.keyboard.type(c.typed);
        rig.activity.discardAfterQ = c.discardAfterQ;
        EXPECT_EQ(rig.loop.run(rig.activity), 0) << c.name;
        EXPECT_EQ(rig.activity.taken, c.taken) << c.name;
        Keys left;
        for (std::string key; rig.keyboard.nextKey(key);)
            left.push_back(key);
        EXPECT_EQ(left, c.left) << c.name;
    }
}

// An activity that does not read keys is not woken by them; a keyboard
// whose terminal has gone ends the program as a hang-up would.
TEST(EventLoop, KeysWaitForAnActivityThatReadsThemAndAClosedKeyboardEnds) {
    LoopRig rig;
    rig.activity.keys = false;
    rig.keyboard.type("q");
    rig.activity.deadlines = {Clock::now() + 50ms};
    EXPECT_EQ(rig.loop.run(rig.activity), 0);
    EXPECT_EQ(rig.activity.taken, Keys{});
    EXPECT_LE(rig.activity.waits, 4) << "woken by keys it does not read"; // two asks a wait

    FakeActivity reader;
    rig.keyboard.writeEnd.reset();
    EXPECT_EQ(rig.loop.run(reader), 0) << "the key typed before the end is still taken";
    FakeActivity after;
    EXPECT_EQ(rig.loop.run(after), SIGHUP);
}

// Each deadline is met once, never early, and the waits between them do not
// spin; however many SIGWINCH come during a wait, the screen is drawn anew
// once; a terminating signal ends the loop with its number.
TEST(EventLoop, DeadlinesAreMetOnceNeverEarlyAndSignalsAreTakenInTheWait) {
    LoopRig rig;
    rig.activity.keys = false;
    int drawn = 0;
    rig.loop.onResize([&] { ++drawn; });
    const auto start = Clock::now();
    rig.activity.deadlines = {start + 20ms, start + 20ms + 500us, start + 60ms};
    std::raise(SIGWINCH);
    std::raise(SIGWINCH);
    EXPECT_EQ(rig.loop.run(rig.activity), 0);
    EXPECT_EQ(drawn, 1);
    EXPECT_EQ(SignalWatch::ending(), 0) << "a resize is not an ending";
    ASSERT_EQ(rig.activity.late.size(), 3u);
    for (const Clock::duration late : rig.activity.late) {
        EXPECT_GE(late, Clock::duration::zero());
        EXPECT_LT(late, 500ms);
    }
    EXPECT_LE(rig.activity.waits, 8) << "the waits spun"; // two asks a wait

    FakeActivity signalled;
    signalled.keys = false;
    signalled.raiseAtTime = SIGTERM;
    signalled.deadlines = {Clock::now(), Clock::now() + 1h};
    EXPECT_EQ(rig.loop.run(signalled), SIGTERM);
    EXPECT_EQ(SignalWatch::ending(), SIGTERM);
    pollfd ended{rig.signals.endingDescriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 0), 1) << "waits elsewhere are not cut short";
}

// A pipe the loop watches, or a moment it keeps: each source takes its turn
// when its own descriptor is readable or its own moment has come, however
// many there are; one removed takes no turn after.
struct PipeSource : PollSource {
    PipeSource() { EXPECT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0); }
    ~PipeSource() override {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    int descriptor() const override { return ends[0]; }
    std::optional<Clock::time_point> due() const override { return at; }
    void service(Clock::time_point) override {
        char byte = 0;
        while (::read(ends[0], &byte, 1) == 1)
            read += byte;
        ++turns;
        at.reset();
    }
    int ends[2] = {-1, -1};
    std::optional<Clock::time_point> at;
    std::string read;
    int turns = 0;
};

TEST(EventLoop, EverySourceAddedTakesItsOwnTurns) {
    LoopRig rig;
    rig.activity.keys = false;
    PipeSource first, second, timed, removed;
    for (PollSource* source : {&first, &second, &timed, &removed})
        rig.loop.watch(source);
    rig.loop.unwatch(&removed);
    ASSERT_EQ(::write(second.ends[1], "b", 1), 1);
    ASSERT_EQ(::write(removed.ends[1], "r", 1), 1);
    timed.at = Clock::now() + 30ms;
    rig.activity.deadlines = {Clock::now() + 80ms};
    EXPECT_EQ(rig.loop.run(rig.activity), 0);
    EXPECT_EQ(first.turns, 0);
    EXPECT_EQ(second.read, "b");
    EXPECT_EQ(timed.turns, 1);
    EXPECT_EQ(removed.turns, 0);
}

struct LineRig : testing::PlotterOnLine {
    explicit LineRig(PlotterModel model = PlotterModel::hp86b, const LineSettings& settings = {})
        : PlotterOnLine(model) {
        EXPECT_TRUE(line.open(device.path(), settings));
    }
    testing::SwitchableLine device;
};

// Lost in the middle of a run: the run ends at once with every byte it
// had; the device is looked for about once a second and, once back, read.
TEST(LineWatch, ALostLineEndsTheRunAndIsOpenedAgainWhenItReturns) {
    LineRig rig;
    Clock::time_point pulled;
    std::thread computer([&] {
        // The reply shows the plotter has taken every byte before it.
        rig.device.pair().writeMaster("PA1,1;OI;");
        EXPECT_EQ(rig.device.pair().readMasterUntil("\r\n", 10s), "7470A\r\n");
        pulled = Clock::now();
        rig.device.pullOut();
    });
    PlotRun run(rig.session, rig.line);
    EXPECT_EQ(rig.loop.run(run), 0);
    computer.join();
    EXPECT_LT(Clock::now() - pulled, 2s) << "the run waited for silence";
    EXPECT_EQ(run.end().instructions, 2);
    EXPECT_EQ(rig.transcript, "PA1,1;OI;");
    EXPECT_EQ(rig.events.said, Keys{"lost"});
    EXPECT_TRUE(rig.line.lost());

    rig.device.plugIn();
    const auto plugged = Clock::now();
    testing::UntilBack untilBack(rig.line);
    EXPECT_EQ(rig.loop.run(untilBack), 0);
    EXPECT_LT(Clock::now() - plugged, 2500ms) << "not looked for about once a second";
    EXPECT_EQ(rig.events.said, (Keys{"lost", "back"}));
    ASSERT_TRUE(rig.device.pair().writeMaster("PA2,2;"));
    testing::WaitForLine waiting;
    EXPECT_EQ(rig.loop.run(waiting), 0);
    EXPECT_TRUE(waiting.sending);
}

// The transcript shows where the run's chunks ended: a record follows the
// chunk that held its instruction. A chunk ends at 256 bytes and 100 ms
// after its latest byte; the run, after a read's whole time of silence.
TEST(PlotRun, ChunksEndWhereTheLineReadsEndThemAndSilenceEndsTheRun) {
    LineRig rig;
    std::string full = "ZZ;";
    while (full.size() < 300)
        full += "PA1,1;";
    std::string cut = "ZZ;PA1", rest = "00,100;";
    Clock::time_point lastSent;
    std::thread computer([&] {
        for (const std::string* part : {&full, &cut, &rest}) {
            rig.device.pair().writeMaster(*part);
            lastSent = Clock::now();
            std::this_thread::sleep_for(400ms);
        }
    });
    PlotRun run(rig.session, rig.line);
    EXPECT_EQ(rig.loop.run(run), 0);
    computer.join();
    // The last chunk ends 100 ms after its byte, then a whole read passes.
    const auto silence = Clock::now() - lastSent;
    EXPECT_GE(silence, std::chrono::milliseconds(transcript::runEndingSilenceMs + 100));
    EXPECT_LT(silence, std::chrono::milliseconds(transcript::runEndingSilenceMs) + 1500ms);
    const std::string record = transcript::unknownRecord("ZZ");
    EXPECT_EQ(rig.transcript,
              full.substr(0, 256) + record + full.substr(256) + cut + record + rest);
    EXPECT_EQ(run.end().instructions, 50 + 3);
    EXPECT_EQ(run.end().ignored, 2);
}

// The 7470A's turnaround delay (ESC . M) holds a reply in the line's queue,
// not in the model's turn: the run ends at its silence, the keys are taken
// at once meanwhile, the reply goes out whole when its time has come, and
// a signal during the longest delay ends the loop at once.
TEST(Replies, ATurnaroundDelayHoldsTheReplyWhileKeysGoOnAndASignalEndsAtOnce) {
    LineRig rig(PlotterModel::hp7470a);
    testing::PtyPair& computer = rig.device.pair();
    FakeKeyboard keyboard;
    EventLoop& loop = rig.loop;
    KeySource keySource{loop, keyboard};
    // 4,100 asks for about 4 s (4,057 ms), 54,612 for the longest, 54 s.
    ASSERT_TRUE(computer.writeMaster("\x1b.M4100:OI;"));
    const auto asked = Clock::now();
    PlotRun run(rig.session, rig.line);
    EXPECT_EQ(loop.run(run), 0);
    EXPECT_EQ(run.end().instructions, 1);
    EXPECT_EQ(computer.masterInputWaiting(), 0) << "the delay was cut short";

    std::string reply;
    Clock::time_point replied;
    std::thread host([&] {
        reply = computer.readMasterUntil("\r", 10s);
        replied = Clock::now();
        keyboard.type("q");
    });
    FakeActivity keys;
    keyboard.type("ab");
    const auto typed = Clock::now();
    EXPECT_EQ(loop.run(keys), 0);
    host.join();
    EXPECT_EQ(keys.taken, (Keys{"a", "b", "q"}));
    ASSERT_EQ(keys.takenAt.size(), 3u);
    EXPECT_LT(keys.takenAt[1] - typed, 500ms) << "the keys waited for the reply";
    EXPECT_EQ(reply, "7470A\r");
    EXPECT_GE(replied - asked, 4000ms);
    EXPECT_LT(replied - asked, 6s);

    ASSERT_TRUE(computer.writeMaster("\x1b.M54612:OI;"));
    PlotRun longest(rig.session, rig.line);
    EXPECT_EQ(loop.run(longest), 0);
    longest.end();
    FakeActivity signalled;
    signalled.keys = false;
    signalled.raiseAtTime = SIGTERM;
    const auto due = Clock::now() + 100ms;
    signalled.deadlines = {due, due + 1h};
    EXPECT_EQ(loop.run(signalled), SIGTERM);
    ASSERT_EQ(signalled.late.size(), 1u);
    const auto raised = due + signalled.late.front();
    EXPECT_LT(Clock::now() - raised, 200ms) << "the signal waited for the delay";
    EXPECT_EQ(computer.masterInputWaiting(), 0);
}

// A host that holds its line with XOFF for more than a second holds the
// reply whole; XON lets all of it go.
TEST(Replies, AReplyHeldByXoffGoesOutWholeAtXon) {
    LineRig rig(PlotterModel::hp7470a, {9600, 8, Parity::none, 1, FlowControl::xonxoff});
    testing::PtyPair& computer = rig.device.pair();
    std::string held, reply;
    std::thread host([&] {
        computer.writeMaster("\x13OI;");
        held = computer.readMaster(1, 1500ms);
        computer.writeMaster("\x11");
        reply = computer.readMasterUntil("\r", 5s);
    });
    rig.plot();
    host.join();
    EXPECT_EQ(held, "");
    EXPECT_EQ(reply, "7470A\r");
}

// A signal at any moment of a long plot: every byte the computer had
// written before it is in the transcript, however the kernel held them
// between its layers, for each model.
TEST(Endings, ASignalInTheMiddleOfALongPlotKeepsEveryByteWrittenBeforeIt) {
    std::string plot;
    for (int i = 0; plot.size() < 200000; ++i)
        plot += "PA" + std::to_string(i % 700) + "," + std::to_string(i % 500) + ";";
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (const PlotterModel model :
         {PlotterModel::hp86b, PlotterModel::hp7470a, PlotterModel::hpgl2}) {
        for (int round = 0; round < 3; ++round) {
            const size_t moment = std::uniform_int_distribution<size_t>(2000, 150000)(random);
            SCOPED_TRACE("seed " + std::to_string(seed) + ", model " +
                         std::to_string(static_cast<int>(model)) + ", signal after " +
                         std::to_string(moment) + " bytes");
            LineRig rig(model);
            std::thread host([&] {
                rig.device.pair().writeMaster(std::string_view(plot).substr(0, moment));
                ::kill(::getpid(), SIGTERM);
            });
            PlotRun run(rig.session, rig.line);
            EXPECT_EQ(rig.loop.run(run), SIGTERM);
            host.join();
            run.end();
            QueuedBytes keeping(rig.line, rig.log);
            rig.loop.run(keeping, true);
            EXPECT_EQ(rig.transcript.size(), moment);
            EXPECT_TRUE(rig.transcript == plot.substr(0, moment));
        }
    }
}

// A chunk whose instructions take long (HP-GL/2 fills, each some tens of
// milliseconds) is fed between the loop's turns, the clock looked at as
// each instruction begins: a signal is seen at once, not when the chunk is
// done.
TEST(PlotRun, LongWorkYieldsToTheLoopWithinAChunk) {
    std::string plot = "IN;PA8000,4000;PM0;PD";
    for (int i = 1; i < 400; ++i) {
        const double angle = 2 * 3.14159265 * i / 400, radius = 3000 + 2000 * (i % 2);
        plot += std::to_string(5000 + int(radius * std::cos(angle))) + "," +
                std::to_string(4000 + int(radius * std::sin(angle))) + (i < 399 ? "," : ";");
    }
    plot += "PM2;PU;FT1;";
    std::string fills;
    for (int i = 0; i < 4 * 85; ++i)
        fills += "FP;";
    LineRig rig(PlotterModel::hpgl2);
    ASSERT_TRUE(rig.device.pair().writeMaster(plot + fills));
    // The signal comes a while after the fills begin, in the middle of a chunk.
    Clock::time_point signalled;
    std::thread timer;
    size_t chunks = 0;
    PlotRun run(rig.session, rig.line, {}, [&] {
        if (++chunks != plot.size() / transcript::chunkSize + 2) return;
        timer = std::thread([&] {
            std::this_thread::sleep_for(300ms);
            signalled = Clock::now();
            ::kill(::getpid(), SIGTERM);
        });
    });
    EXPECT_EQ(rig.loop.run(run), SIGTERM);
    const auto seen = Clock::now();
    ASSERT_TRUE(timer.joinable());
    timer.join();
    EXPECT_LT(seen - signalled, 500ms);
}

// What the operator types at a prompt: echoed, going on at the start of the
// next row at the screen's edge; Backspace takes the last character back,
// across the edge too; Enter ends the line, Esc cancels it.
TEST(TypedLine, EchoesWrapsTakesBackAndEndsAtEnterOrEsc) {
    testing::FakeScreen screen(6);
    screen.printText("> ");
    TypedLine line(screen);
    for (const char* key : {"a", "b", "\b", "", "c", "d", "e", "f", "g"})
        EXPECT_FALSE(line.onKey(key));
    EXPECT_EQ(line.text(), "acdefg");
    EXPECT_EQ(screen.lines, (Keys{"> acde", "fg"}));
    for (const char* key : {"\b", "\b", "\b", "x"})
        line.onKey(key);
    EXPECT_EQ(screen.lines, (Keys{"> acdx", "  "}));
    EXPECT_FALSE(line.done());
    line.onKey("\r");
    EXPECT_TRUE(line.done());
    EXPECT_FALSE(line.cancelled());
    EXPECT_EQ(line.text(), "acdx");
    EXPECT_EQ(screen.cursorRow(), 1) << "a row of its own after the line";

    TypedLine escaped(screen);
    escaped.onKey("q");
    escaped.onKey("\x1b");
    EXPECT_TRUE(escaped.done());
    EXPECT_TRUE(escaped.cancelled());
    escaped.onKey("z");
    EXPECT_EQ(escaped.text(), "q") << "typed after the end";
}

// A picture that keeps changing is painted at once after a quiet spell,
// then at most once a frame; nothing is due while nothing changes.
TEST(FramePacer, PaintsAtOnceThenOnceAFrameAndNeverWhileNothingChanges) {
    FramePacer pacer;
    EXPECT_EQ(pacer.due(), std::nullopt);
    pacer.changed();
    ASSERT_TRUE(pacer.due());
    EXPECT_LE(*pacer.due(), Clock::now()) << "after a quiet spell";
    const Clock::time_point painted = Clock::now();
    pacer.painted(painted);
    EXPECT_EQ(pacer.due(), std::nullopt);
    pacer.changed();
    pacer.changed();
    EXPECT_EQ(pacer.due(), painted + FramePacer::frame);
    EXPECT_EQ(FramePacer::frame, 40ms) << "25 frames a second";
}

// The session of the chosen model, with the display list a vector copy
// needs: the 7470A ends its replies with CR and knows OS.
TEST(PlotAssembly, MakesTheSessionOfTheChosenModelAndKeepsItsDrawingForCopies) {
    const struct {
        PlotterModel model;
        std::optional<CopyFormat> vector;
        std::string reply;
    } setups[] = {{PlotterModel::hp7470a, CopyFormat::svg, "7470A\r24\r"},
                  {PlotterModel::hp86b, std::nullopt, "7470A\r\n"}};
    for (const auto& [model, vector, reply] : setups) {
        testing::FakeLink link;
        LogFile log;
        testing::TempDir dir;
        PlotAssembly plotting({model, Paper::letter, vector, dir.path().string()}, link, log);
        ASSERT_TRUE(plotting.preparePage());
        testing::runReads(plotting.session, {"OI;OS;"});
        EXPECT_EQ(link.written, reply);
        EXPECT_EQ(plotting.session.displayList() != nullptr, vector.has_value());
        const PageStore::Saved saved = plotting.store.savePage(plotting.session.page());
        EXPECT_TRUE(saved.ok);
        EXPECT_EQ(saved.copyName, vector ? "PLOTTER_00001.SVG" : "");
        EXPECT_EQ(std::filesystem::exists(dir.file("PLOTTER_00001.SVG")), vector.has_value());
    }
}

// --fit: a 7470A or HP-GL/2 page whose drawing ran off the paper is saved
// whole, fitted onto the page (PNG and vector copy alike); one on the paper
// is saved as without it, to the pixel and the byte; and the computer's
// queries are answered as the paper stands.
struct FitSave {
    testing::DecodedPng png;
    std::string svg, replies;
    bool fitted = false;                                 // the copy was made from a list of its own
    ListPoint lowest{1e9f, 1e9f}, highest{-1e9f, -1e9f}; // over the copy's points
};

FitSave savedWith(PlotterModel model, const std::string& stream, bool fit) {
    testing::FakeLink link;
    LogFile log;
    testing::TempDir dir;
    PlotAssembly plotting({model, Paper::letter, CopyFormat::svg, dir.path().string(), false, fit},
                          link, log);
    EXPECT_TRUE(plotting.preparePage());
    testing::runReads(plotting.session, {stream});
    EXPECT_TRUE(plotting.store.savePage(plotting.session.page()).ok);
    FitSave saved;
    saved.png = testing::readPng(dir.file("PLOTTER_00001.PNG"));
    saved.svg = testing::readFile(dir.file("PLOTTER_00001.SVG"));
    saved.replies = link.written;
    saved.fitted = plotting.savedDrawing() != plotting.session.displayList();
    for (const ListPoint& p : plotting.savedDrawing()->points()) {
        saved.lowest = {std::min(saved.lowest.x, p.x), std::min(saved.lowest.y, p.y)};
        saved.highest = {std::max(saved.highest.x, p.x), std::max(saved.highest.y, p.y)};
    }
    return saved;
}

bool inkNear(const testing::DecodedPng& png, uint32_t left, uint32_t top, uint32_t size = 12) {
    for (uint32_t y = top; y < top + size && y < png.height; ++y)
        for (uint32_t x = left; x < left + size && x < png.width; ++x)
            if (png.pixel(x, y) != 0xFFFFFF) return true;
    return false;
}

TEST(PlotAssembly, FitSavesADrawingThatRanOffThePaperWholeAndOneOnItAsItIs) {
    const PlotterModel models[] = {PlotterModel::hp7470a, PlotterModel::hpgl2};
    const std::string offPaper = "IN;SP1;PU0,0;PD20000,15000;";
    for (const PlotterModel model : models) {
        SCOPED_TRACE(static_cast<int>(model));
        const FitSave cut = savedWith(model, offPaper, false);
        const FitSave whole = savedWith(model, offPaper, true);
        ASSERT_EQ(whole.png.error, "");
        // The far end, cut off at the paper's top edge (some pixels short of
        // the picture's corner) without --fit, reaches the corner with it.
        EXPECT_FALSE(inkNear(cut.png, 796, 0, 4));
        EXPECT_TRUE(inkNear(whole.png, 796, 0, 4));
        EXPECT_TRUE(inkNear(whole.png, 0, 596, 4)) << "the near end";
        EXPECT_FALSE(cut.fitted);
        EXPECT_TRUE(whole.fitted);
        EXPECT_GT(whole.highest.x, 797);
        EXPECT_LT(whole.lowest.y, 2);
        EXPECT_LT(cut.highest.x, 797);
        EXPECT_GE(whole.lowest.x, 0) << "the copy is cut to the picture";
        EXPECT_LE(whole.highest.y, 599);
        EXPECT_NE(whole.svg, cut.svg);

        const std::string onPaper = "IN;SP1;PA100,100;PD1000,1000,3000,200;";
        const FitSave plain = savedWith(model, onPaper, false);
        const FitSave withFit = savedWith(model, onPaper, true);
        ASSERT_EQ(plain.png.error, "");
        EXPECT_EQ(withFit.png.rgb, plain.png.rgb);
        EXPECT_EQ(withFit.svg, plain.svg);
        EXPECT_FALSE(withFit.fitted);

        // A window past the paper is held to it in the answer.
        const std::string asked = "IN;IW-1000,-1000,30000,30000;OW;IW;OW;";
        EXPECT_EQ(savedWith(model, asked, true).replies, savedWith(model, asked, false).replies);
    }
}

} // namespace
} // namespace plotanix
