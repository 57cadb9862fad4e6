#include "app/plotanix/menus.h"

#include "common/printable.h"
#include "session/page_store.h"
#include "session/plot_session.h"

namespace plotanix {

namespace {

constexpr int brightWhite = 15;
constexpr int lightGrey = 7;
constexpr int black = 0;

const std::vector<std::string> startEntries = {"Start plotting!", "Set options", "Quit"};
const std::vector<std::string> pageEntries = {"Save as PNG image", "Insert new page",
                                              "Continue Plotting", "Quit"};

} // namespace

std::string menuKey(size_t index) {
    if (index < 9) return std::to_string(index + 1);
    return std::string(1, static_cast<char>('a' + (index - 9)));
}

std::optional<size_t> menuIndex(std::string_view key) {
    if (key.size() != 1) return std::nullopt;
    if (key[0] >= '1' && key[0] <= '9') return static_cast<size_t>(key[0] - '1');
    if (key[0] >= 'a' && key[0] <= 'z') return static_cast<size_t>(key[0] - 'a') + 9;
    return std::nullopt;
}

void printMenu(Screen& screen, const std::vector<std::string>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        screen.setConsoleColour(brightWhite, black);
        screen.printText(" " + menuKey(i) + ": ");
        screen.setConsoleColour(lightGrey, black);
        screen.printLine(entries[i]);
    }
}

void StartMenu::show() {
    screen_.clearConsole();
    screen_.printLine("");
    printBanner();
    screen_.setConsoleColour(lightGrey, black);
    screen_.printLine("");
    screen_.printLine(information_);
    for (const std::string& notice : notices_)
        screen_.printLine(notice);
    screen_.printLine("");
    printMenu(screen_, startEntries);
    screen_.printLine("");
    screen_.printText("Your choice : ");
}

// The box in code page 437 bytes, with its shadow one column to the right.
void StartMenu::printBanner() {
    const std::string title = "Plotanix";
    const std::string rule(27, '\xCD');
    const std::string blank = "\xBA" + std::string(27, ' ') + "\xBA\xB0";
    screen_.setConsoleColour(brightWhite, black);
    screen_.printLine("\xC9" + rule + "\xBB");
    screen_.printLine(blank);
    screen_.printLine("\xBA  " + title + std::string(25 - title.size(), ' ') + "\xBA\xB0");
    screen_.printLine(blank);
    screen_.printLine("\xC8" + rule + "\xBC\xB0");
    screen_.printLine(" " + std::string(29, '\xB0'));
}

StartMenu::Choice StartMenu::onKey(std::string_view key) {
    if (key == "1") return Choice::startPlotting;
    if (key == "2") return Choice::options;
    if (key == "3") return Choice::quit;
    return Choice::none;
}

void PageMenu::show() {
    screen_.printLine("");
    screen_.printLine("The HP has stopped sending instructions");
    screen_.printLine("");
    printMenu(screen_, pageEntries);
    screen_.printLine("");
    screen_.printText("Command : ");
}

PageMenu::Next PageMenu::onKey(std::string_view key) {
    if (key == "1") save();
    if (key == "2") newPage();
    if (key == "3") return Next::plot;
    if (key == "4") return Next::quit;
    return Next::stay;
}

void PageMenu::save() {
    const PageStore::Saved saved = store_.savePage(session_.page());
    if (!saved.ok)
        return reply("1  Error, can't save " + saved.name + ": " + printable(saved.error));
    if (saved.copyError.empty()) return reply("1  Ok.");
    // The page is saved all the same: its own line says so.
    screen_.printLine("1  Ok.");
    reply("1  Error, can't save the vector copy: " + saved.copyName + ": " +
          printable(saved.copyError));
}

void PageMenu::newPage() {
    session_.newPage();
    store_.markNewPage();
    reply("2  Ok.");
}

void PageMenu::reply(const std::string& text) {
    screen_.printLine(text);
    screen_.printText("Command : ");
}

} // namespace plotanix
