#pragma once
// The operator's two menus as small state machines: each shows itself on a
// Screen, takes one key at a time and says what the program does next. They
// know nothing of terminals, lines or windows, so their rules are tested in
// process with a fake screen.

#include "console/screen.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class PageStore;
class PlotSession;

// " 1: " in bright white, then the entry in light grey, one line each.
// Entries past the ninth take the keys a, b, c, ...
void printMenu(Screen& screen, const std::vector<std::string>& entries);
// The key of the entry at index, and the index a key picks.
std::string menuKey(size_t index);
std::optional<size_t> menuIndex(std::string_view key);

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

class PageMenu {
  public:
    enum class Next { stay, plot, quit };

    PageMenu(Screen& screen, PlotSession& session, PageStore& store)
        : screen_(screen), session_(session), store_(store) {}

    void show();
    // "1" saves the page, "2" asks for a new page, "3" plots on, "4" quits.
    Next onKey(std::string_view key);

  private:
    void save();
    void newPage();
    void reply(const std::string& text);

    Screen& screen_;
    PlotSession& session_;
    PageStore& store_;
};

} // namespace plotanix
