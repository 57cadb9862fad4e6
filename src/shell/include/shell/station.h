#pragma once
// The station: what every way the program runs is assembled from, once.
// The one loop with the signals and the background work, the line with its
// set-up, the transcript, the plot session with its page store, every
// output a saved page goes to (the PNG and its vector copy through the
// store, the web view, the printer) and the one ending. The fronts add only
// what is theirs: the interactive one its screens and keys, the unattended
// one its journal and page gap, the acquiring one its exchange with the
// instrument. A new line, model or output is wired here and reaches all
// three.

#include "common/background_work.h"
#include "logfile/log_file.h"
#include "settings/settings.h"
#include "shell/event_loop.h"
#include "shell/line_watch.h"
#include "shell/page_printer.h"
#include "shell/page_window.h"
#include "shell/plot_assembly.h"
#include "shell/signal_watch.h"
#include "shell/web_view.h"

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

namespace plotanix {

// What a front hears from the station's parts, on the loop's turn.
class StationEvents : public LineWatch::Events {
  public:
    // A saved page's print: "printed on Q (job N)", or why not (failed).
    virtual void printed(const std::string& said, bool failed) = 0;
    // The page window's display went away, or came back.
    virtual void displayLost() {}
    virtual void displayBack() {}
};

// The ending's word on replies the computer did not take, "" for none.
std::string droppedRepliesNote(size_t bytes);

class Station {
  public:
    // signals: those the front takes besides the terminating ones
    // (SIGWINCH for a terminal).
    explicit Station(StationEvents& events, std::initializer_list<int> signals = {});
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The plot session for the settings, its replies going to replies (the
    // line's link when the line is the computer's), its counts to status;
    // every saved page goes on to the web view and the printer from here
    // on. False when the page cannot be made (memory is short).
    bool assemble(const Settings& settings, ByteLink& replies, StatusLine* status = nullptr,
                  PageStore::Writer writer = {});
    // The session given up (back to the start screen): the web view shows
    // no page meanwhile.
    void disassemble();
    bool assembled() const { return plotting_ != nullptr; }
    PlotSession& session() { return plotting_->session; }
    PageStore& store() { return plotting_->store; }
    const PageStore& store() const { return plotting_->store; }
    // The web view the settings ask for, started, restarted or stopped to
    // match them, and watched by the loop. False with why when it cannot.
    bool followWeb(const Settings& settings, std::string& why);

    // A page's file written on the background work, so that the loop goes
    // on answering while zlib compresses a busy page; written (whether the
    // file is whole, and errno if not) is called on the loop's turn.
    using Written = std::function<void(bool written, int error)>;
    void writeApart(std::shared_ptr<const PageImage> page, const std::string& path,
                    Written written);

    // The one ending, an activity the front's own activity hands its turns
    // to once it ends (begin first): what the line still holds goes into
    // the transcript; page files under way are finished and prints handed
    // over within the budget, the rest told undone; the loop answers
    // throughout. The transcript is then closed by closeTranscript.
    class Ending : public Activity {
      public:
        explicit Ending(Station& station) : station_(station) {}
        // keepLine: what the line holds is the computer's (not a wait for
        // an adapter's set-up or a closed line).
        void begin(Clock::time_point now, Clock::duration budget, bool keepLine = true);
        bool begun() const { return begun_; }
        bool done() const override;
        bool readsLine() const override { return bytes_ && bytes_->readsLine(); }
        void onLineData(Clock::time_point now) override;
        void onLineLost() override;
        std::optional<Clock::time_point> deadline() const override;
        void onTime(Clock::time_point now) override;
        // The reply bytes the computer had not taken, dropped at the signal
        // and since (a telnet host's answers), counting those dropped now.
        size_t repliesDropped();

      private:
        void settle(Clock::time_point now);

        Station& station_;
        bool begun_ = false;
        std::optional<QueuedBytes> bytes_;
        Clock::time_point budgetEnd_{};
        bool workSettled_ = false;
        size_t repliesDropped_ = 0;
    };
    static constexpr std::chrono::milliseconds endingBudget{1000};
    // Of it, how long the line's last bytes are read for at most.
    static constexpr std::chrono::milliseconds keepingBudget{250};
    // The transcript truncated to what it holds and closed: the trouble that
    // kept bytes out of it, if any (as "unwritten").
    std::optional<LogFile::Trouble> closeTranscript();

  private:
    void showPage();

    StationEvents& events_;

  public:
    // Declared in the order they are made; destroyed in reverse, the
    // session before the transcript and the line it writes to.
    SignalWatch signals;
    EventLoop loop{signals};
    BackgroundWork work;
    LineWatch line;
    LogFile log;
    PageWindow window;
    WebView web;
    PagePrinter printer;
    Ending ending{*this};

  private:
    std::unique_ptr<PlotAssembly> plotting_;
};

} // namespace plotanix
