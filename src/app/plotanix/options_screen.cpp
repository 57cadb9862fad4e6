#include "app/plotanix/options_screen.h"

#include "app/plotanix/menus.h"
#include "common/printable.h"

#include <utility>

namespace plotanix {

namespace {

constexpr std::size_t titleWidth = 16;
constexpr std::size_t valueWidth = 36;
constexpr std::size_t maxEntries = 9 + 26; // one key each: 1 to 9, then a to z

std::string padded(std::string text, std::size_t width) {
    // A long value keeps its end: the telling part of a path.
    if (text.size() > width) text = "..." + text.substr(text.size() - (width - 4));
    text.resize(width, ' ');
    return text;
}

} // namespace

OptionsScreen::OptionsScreen(Screen& screen, Settings& settings, Saver save)
    : screen_(screen), settings_(settings), save_(std::move(save)) {
    for (const SettingRow& row : settingRows()) {
        if (!row.title.empty() && entries_.size() < maxEntries) entries_.push_back(&row);
    }
}

void OptionsScreen::show() {
    screen_.clearConsole();
    screen_.printLine("");
    screen_.printLine("Options (saved in the config file, used from now on)");
    screen_.printLine("");
    std::vector<std::string> lines;
    for (const SettingRow* row : entries_) {
        lines.push_back(padded(std::string(row->title), titleWidth) +
                        padded(printable(row->text(settings_)), valueWidth) +
                        std::string(sourceName(sourceOf(settings_, *row))));
    }
    printMenu(screen_, lines);
    screen_.printLine("");
    screen_.printLine(printable(message_));
    screen_.printLine("A number or letter changes that setting; Enter or Esc goes back.");
    screen_.printText("Option : ");
    message_.clear();
}

OptionsScreen::Next OptionsScreen::onKey(std::string_view key) {
    if (key == "\r" || key == "\n" || key == "\x1b") return Next::leave;
    const std::optional<std::size_t> index = menuIndex(key);
    if (!index || *index >= entries_.size()) return Next::stay;
    editing_ = entries_[*index];
    screen_.printLine(key);
    screen_.printText(std::string(editing_->title) + " (Enter keeps " +
                      printable(editing_->text(settings_)) + "): ");
    return Next::readLine;
}

OptionsScreen::Next OptionsScreen::onLine(const std::string& text) {
    if (editing_ == nullptr) return Next::stay;
    const SettingRow& row = *std::exchange(editing_, nullptr);
    const std::string title(row.title);
    if (text.empty()) {
        message_ = title + " kept.";
    } else if (const std::string why = setValue(settings_, row, text, Source::configFile);
               !why.empty()) {
        message_ = "Refused: " + why + ".";
    } else if (const std::string failed = save_(row.key, row.text(settings_)); !failed.empty()) {
        message_ = title + " used now, but not saved: " + failed;
    } else {
        message_ = title + " set to " + row.text(settings_) + " and saved.";
    }
    show();
    return Next::stay;
}

} // namespace plotanix
