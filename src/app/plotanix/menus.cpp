#include "menus.h"

#include "common/printable.h"
#include "models/models.h"
#include "session/page_store.h"
#include "session/plot_session.h"

#include <algorithm>

namespace plotanix {

namespace {

constexpr int brightWhite = 15;
constexpr int lightGrey = 7;
constexpr int black = 0;

const std::vector<std::string> startEntries = {"Start plotting!", "Set options", "Quit"};
const std::vector<std::string> pageEntries = {"Save as PNG image", "Insert new page",
                                              "Continue Plotting", "Quit"};
const std::string notSaved = "The page is not saved: ";

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

void printEntryKey(Screen& screen, std::size_t index) {
    screen.setConsoleColour(brightWhite, black);
    screen.printText(" " + menuKey(index) + ": ");
    screen.setConsoleColour(lightGrey, black);
}

void printMenu(Screen& screen, const std::vector<std::string>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        printEntryKey(screen, i);
        screen.printLine(entries[i]);
    }
}

bool pageUnsaved(const PlotSession& session, const PageStore& store) {
    if (!session.hasPage() || store.isSaved(session.page())) return false;
    return !nothingDrawn(session.page());
}

namespace {

// "1  Ok." and the files written and their folder, or why the page is not saved.
std::vector<std::string> savedLines(const PageStore::Saved& saved, const PageStore& store) {
    if (!saved.ok) return {"1  Error, can't save " + saved.name + ": " + printable(saved.error)};
    // Which files, and where: the folder may not be the one the operator
    // started in.
    const bool copied = !saved.copyName.empty() && saved.copyError.empty();
    const std::string written = "   Written: " + saved.name +
                                (copied ? " and " + saved.copyName : "") + " in " +
                                printable(store.folder());
    if (saved.copyError.empty()) return {"1  Ok.", written};
    // The page is saved all the same: its own line says so.
    return {"1  Ok.", written,
            "1  Error, can't save the vector copy: " + saved.copyName + ": " +
                printable(saved.copyError)};
}

// "1": the page saved and the lines that say how, told at once, or, written
// apart, once the file is whole (saving stands meanwhile). The file is of a
// copy of the page as it was at the key.
void saveThePage(PlotSession& session, PageStore& store, const PageWriteApart& writeApart,
                 bool& saving, std::function<void(std::vector<std::string>)> told) {
    if (!writeApart) return told(savedLines(store.savePage(session.page()), store));
    PageStore::Saved begun = store.beginSave();
    if (!begun.error.empty()) return told(savedLines(begun, store));
    auto page = std::make_shared<const PageImage>(session.page());
    saving = true;
    writeApart(page, store.pathOf(begun.name),
               [&store, &saving, begun, page, told = std::move(told)](bool written, int error) {
                   saving = false;
                   told(savedLines(store.endSave(begun, *page, written, error), store));
               });
}

} // namespace

std::vector<std::string> savePage(PlotSession& session, PageStore& store) {
    return savedLines(store.savePage(session.page()), store);
}

// ---------------------------------------------------------------- start menu

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

void StartFailure::show() {
    for (const std::string& line : lines_)
        screen_.printLine(line);
    screen_.printLine("");
    screen_.printText("ENTER to go back to the start menu...");
}

bool StartFailure::backToStart(std::string_view key) {
    return key == "\r" || key == "\n" || key == "\x1b";
}

// ---------------------------------------------------------------- waiting

void WaitingScreen::show() {
    screen_.clearConsole();
    screen_.printLine("Plotter ON LINE");
    screen_.printLine("");
    screen_.printLine("Waiting...");
}

WaitingScreen::Next WaitingScreen::onKey(std::string_view key) {
    if (saving_) return Next::stay;
    if (key == "1" && asked_) {
        saveThePage(session_, store_, writeApart_, saving_, [this](std::vector<std::string> lines) {
            std::string said;
            for (const std::string& line : lines)
                said += (said.empty() ? "" : "  ") + line.substr(line.find_first_not_of(' '));
            notice_(said);
        });
        return Next::stay;
    }
    if (key != "\x1b") return Next::stay;
    if (asked_ || !pageUnsaved(session_, store_)) return Next::leave;
    asked_ = true;
    notice_(notSaved + "Esc again to leave it, 1 to save it");
    return Next::stay;
}

// ---------------------------------------------------------------- page menu

std::string_view stoppedSending(PlotterModel model) {
    if (model == PlotterModel::hp86b) return "The HP has stopped sending instructions";
    if (isPrinter(model)) return "The computer has stopped sending";
    return "The computer has stopped sending instructions";
}

void PageMenu::show() {
    screen_.printLine("");
    screen_.printLine(stoppedSending(modelInUse(session_.plotter(), session_.model())));
    screen_.printLine("");
    printMenu(screen_, pageEntries);
    screen_.printLine("");
    for (const Reply& reply : replies_) {
        if (!reply.late) screen_.printText("Command : ");
        for (const std::string& line : reply.lines)
            screen_.printLine(line);
    }
    screen_.printText("Command : ");
}

PageMenu::Next PageMenu::onKey(std::string_view key) {
    if (saving_) return Next::stay;
    if (key == "1") save();
    if (key == "2") newPage();
    if (key == "3") return Next::plot;
    if (key != "4") return Next::stay;
    if (asked_ || !pageUnsaved(session_, store_)) return Next::quit;
    asked_ = true;
    reply({"4  " + notSaved + "4 again to quit, 1 to save"});
    return Next::stay;
}

// Written apart, the file is written from a copy of the page, and "1  Ok."
// comes once it is whole, with the transcript's mark.
void PageMenu::save() {
    saveThePage(session_, store_, writeApart_, saving_,
                [this](std::vector<std::string> lines) { reply(std::move(lines)); });
}

// Marked at once: the drawing goes only when the next run starts, and "1"
// still saves it until then, which an unsaved page is told.
void PageMenu::newPage() {
    const bool unsaved = pageUnsaved(session_, store_);
    session_.newPage();
    store_.markNewPage();
    if (!unsaved) return reply({"2  Ok."});
    reply({"2  Ok.", "   " + notSaved + "1 still saves it before the next plot"});
}

void PageMenu::reply(std::vector<std::string> lines) {
    for (const std::string& line : lines)
        screen_.printLine(line);
    screen_.printText("Command : ");
    // Enough to fill the screen again; older ones have scrolled away.
    replies_.push_back({std::move(lines)});
    if (replies_.size() > 64) replies_.erase(replies_.begin());
}

void PageMenu::lateReply(std::string line) {
    line = "   " + line;
    // Over the prompt waiting on its row, which follows it anew.
    const size_t prompt = std::string_view("Command : ").size();
    if (line.size() < prompt) line.resize(prompt, ' ');
    screen_.moveCursor(0, screen_.cursorRow());
    reply({std::move(line)});
    replies_.back().late = true;
}

} // namespace plotanix
