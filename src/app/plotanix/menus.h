#pragma once
// The operator's screens as small state machines: each shows itself on a
// Screen, takes one key at a time and says what the program does next; each
// can be shown again as it stands (when the terminal's size changes). They
// know nothing of terminals, lines or windows, so their rules are tested in
// process with a fake screen.

#include "console/screen.h"
#include "hpgl/plotter.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

struct PageImage;
class PageStore;
class PlotSession;

// " 1: " in bright white, then the entry in light grey, one line each.
// Entries past the ninth take the keys a, b, c, ...
void printMenu(Screen& screen, const std::vector<std::string>& entries);
// The key of the entry at index, and the index a key picks.
std::string menuKey(size_t index);
std::optional<size_t> menuIndex(std::string_view key);
// " 1: " (the entry's key) in bright white, leaving the colour light grey
// for the entry.
void printEntryKey(Screen& screen, std::size_t index);

// Leaving the page would lose a drawing: something is drawn on it, and it
// is not the page saved last.
bool pageUnsaved(const PlotSession& session, const PageStore& store);

class StartMenu {
  public:
    enum class Choice { none, startPlotting, options, quit };

    StartMenu(Screen& screen, std::string information)
        : screen_(screen), information_(std::move(information)) {}

    // The whole start screen: banner, information line, menu and prompt.
    void show();
    // Only a menu entry counts; any other key (Enter included) is ignored.
    static Choice onKey(std::string_view key);
    // A line under the information line, until the screen is shown again
    // without it (a config file that could not be read, for instance).
    void addNotice(std::string text) { notices_.push_back(std::move(text)); }

  private:
    void printBanner();

    Screen& screen_;
    std::string information_;
    std::vector<std::string> notices_;
};

// Why plotting cannot begin (the line cannot be opened), then the way back:
// Enter (or Esc) returns to the start menu, where the options can mend it.
class StartFailure {
  public:
    StartFailure(Screen& screen, std::vector<std::string> lines)
        : screen_(screen), lines_(std::move(lines)) {}
    // The lines and the prompt, from the cursor on.
    void show();
    static bool backToStart(std::string_view key);

  private:
    Screen& screen_;
    std::vector<std::string> lines_;
};

// Writes the page to the path apart from the screen (a thread of its own),
// then calls written, on the screen's side, with whether the file is whole
// and errno when it is not.
using PageWritten = std::function<void(bool written, int error)>;
using PageWriteApart = std::function<void(std::shared_ptr<const PageImage> page,
                                          const std::string& path, PageWritten written)>;

// "Waiting..." for the computer. Esc goes back to the start menu; with a
// drawing on the page that is not saved, the first Esc says so on the
// notice row, and then Esc leaves and "1" saves the page: written apart
// when writeApart is given, "1  Ok." said once the file is whole, the keys
// passed over meanwhile.
class WaitingScreen {
  public:
    enum class Next { stay, leave };
    // Shows one line on the notice row.
    using Notice = std::function<void(const std::string& text)>;

    WaitingScreen(Screen& screen, PlotSession& session, PageStore& store, Notice notice,
                  PageWriteApart writeApart = {})
        : screen_(screen), session_(session), store_(store), notice_(std::move(notice)),
          writeApart_(std::move(writeApart)) {}

    // "Plotter ON LINE", an empty line and "Waiting...", on a clear screen.
    void show();
    Next onKey(std::string_view key);
    // A page is being written apart: the computer's next run waits for it.
    bool saving() const { return saving_; }

  private:
    Screen& screen_;
    PlotSession& session_;
    PageStore& store_;
    Notice notice_;
    PageWriteApart writeApart_;
    bool asked_ = false;
    bool saving_ = false;
};

// The page menu's first row: the HP-86B is named, other computers are not;
// a printer is sent a print, not instructions.
std::string_view stoppedSending(PlotterModel model);

class PageMenu {
  public:
    enum class Next { stay, plot, quit };
    using Written = PageWritten;
    using WriteApart = PageWriteApart;

    // Without writeApart, "1" writes the page itself before it answers.
    PageMenu(Screen& screen, PlotSession& session, PageStore& store, WriteApart writeApart = {})
        : screen_(screen), session_(session), store_(store), writeApart_(std::move(writeApart)) {}

    // The menu and prompt from the cursor on, with the replies given so far.
    void show();
    // "1" saves the page, "2" asks for a new page, "3" plots on, "4" quits;
    // with a drawing that is not saved, the first "4" asks instead. Keys
    // that come while a page is being written are passed over, as they are
    // while "1" writes it itself.
    Next onKey(std::string_view key);
    // A page is being written apart: the computer's next run waits for it.
    bool saving() const { return saving_; }
    // An outcome that comes later (how a saved page's print went): a row
    // of its own in the place of the waiting prompt, indented as the rows
    // under a reply, never after "Command : " as a key typed would be.
    void lateReply(std::string line);

  private:
    void save();
    void newPage();
    // The lines, then the prompt again.
    void reply(std::vector<std::string> lines);

    Screen& screen_;
    PlotSession& session_;
    PageStore& store_;
    WriteApart writeApart_;
    struct Reply {
        std::vector<std::string> lines;
        bool late = false; // on rows of its own, not after "Command : "
    };
    std::vector<Reply> replies_;
    bool asked_ = false;
    bool saving_ = false;
};

// "1" of the page menu: the page saved, and the reply lines that say how it
// went ("1  Ok.", then the files written and their folder).
std::vector<std::string> savePage(PlotSession& session, PageStore& store);

} // namespace plotanix
