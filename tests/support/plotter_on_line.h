#pragma once
// The plotter's side of the line in process, as both modes run it: the
// watch on the device and what it says, the one loop, and a session of the
// model with its transcript kept in memory. Header-only: the benchmarks use
// it too.

#include "logfile/log_file.h"
#include "session/plot_session.h"
#include "shell/event_loop.h"
#include "shell/line_watch.h"
#include "shell/plot_run.h"
#include "shell/signal_watch.h"
#include "support/in_process_plot.h"

#include <string>
#include <vector>

namespace plotanix::testing {

// What the watch said, in order: "lost", "back", "adapter: <its answer>",
// "no adapter"; a network line's notes are kept apart.
struct LineEvents : LineWatch::Events {
    void lineLost() override { said.push_back("lost"); }
    void lineBack() override { said.push_back("back"); }
    void adapterSetUp(const GpibSetUp& setUp) override {
        said.push_back(setUp.answered ? "adapter: " + setUp.version : "no adapter");
    }
    void lineNote(const std::string& text) override { notes.push_back(text); }
    std::vector<std::string> said;
    std::vector<std::string> notes;
};

// Until the computer sends, or the line hangs up.
struct WaitForLine : Activity {
    bool done() const override { return sending || lost; }
    bool readsLine() const override { return true; }
    void onLineData(Clock::time_point) override { sending = true; }
    void onLineLost() override { lost = true; }
    bool sending = false, lost = false;
};

// Until a lost line is open again.
struct UntilBack : WaitForLine {
    explicit UntilBack(LineWatch& line) : line(line) {}
    bool done() const override { return !line.lost() && !line.settingUp(); }
    LineWatch& line;
};

struct PlotterOnLine {
    explicit PlotterOnLine(PlotterModel model = PlotterModel::hp86b)
        : session(line.link(), log, nullptr, model) {
        line.watchIn(loop);
        log.openMemory(transcript);
        session.createPage();
        session.useFont(labelFont());
    }
    // Opened as the programs open it: an adapter is set up before the
    // first run.
    bool open(const std::string& device, const LineSettings& settings) {
        if (!line.open(device, settings)) return false;
        UntilSetUp setUp(line);
        if (line.settingUp()) loop.run(setUp);
        return true;
    }
    // One run, until the line falls silent or is lost.
    RunResult plot() {
        PlotRun run(session, line);
        loop.run(run);
        const RunResult result = run.end();
        log.flushLog();
        return result;
    }

    SignalWatch signals;
    LineEvents events;
    LineWatch line{&events};
    EventLoop loop{signals};
    std::string transcript;
    LogFile log;
    PlotSession session;
};

} // namespace plotanix::testing
