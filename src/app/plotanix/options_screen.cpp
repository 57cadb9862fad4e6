#include "options_screen.h"

#include "common/printable.h"
#include "menus.h"

#include <algorithm>
#include <utility>

namespace plotanix {

namespace {

constexpr std::size_t titleWidth = 16;
constexpr std::size_t valueWidth = 36;     // on a screen of 80 columns or more
constexpr std::size_t sourceWidth = 13;    // "command line" and a space
constexpr std::size_t numberWidth = 4;     // " 1: "
constexpr std::size_t maxEntries = 9 + 26; // one key each: 1 to 9, then a to z

std::string padded(std::string text, std::size_t width) {
    text.resize(std::max(width, text.size()), ' ');
    return text;
}

} // namespace

OptionsScreen::OptionsScreen(Screen& screen, Settings& settings, std::string configPath, Saver save)
    : screen_(screen), settings_(settings), configPath_(std::move(configPath)),
      save_(std::move(save)) {
    for (const SettingRow& row : settingRows()) {
        if (!row.title.empty() && entries_.size() < maxEntries) entries_.push_back(&row);
    }
}

void OptionsScreen::show() {
    screen_.clearConsole();
    screen_.printLine("");
    screen_.printLine("Options (saved in the config file, used from now on)");
    // Where to edit them by hand, or to look when a change seems lost.
    screen_.printLine("Config file: " + (configPath_.empty() ? std::string("none (no home folder)")
                                                             : printable(configPath_)));
    screen_.printLine("");
    // The value column narrows on a narrow screen; a value longer than it
    // is shown whole all the same, with its source on the row below.
    const auto width = static_cast<std::size_t>(std::max(screen_.bufferWidth() - 1, 0));
    const std::size_t values = std::clamp<std::size_t>(
        width - std::min(width, numberWidth + titleWidth + sourceWidth), 8, valueWidth);
    const std::string indent(numberWidth + titleWidth, ' ');
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const SettingRow& row = *entries_[i];
        const std::string value = printable(row.text(settings_));
        const std::string source(sourceName(sourceOf(settings_, row)));
        const std::string title = padded(std::string(row.title), titleWidth);
        printEntryKey(screen_, i);
        if (value.size() < values) {
            screen_.printLine(title + padded(value, values) + source);
        } else {
            screen_.printLine(title + value);
            screen_.printLine(indent + source);
        }
    }
    screen_.printLine("");
    screen_.printLine(printable(message_));
    screen_.printLine("A number or letter changes that setting; Enter or Esc goes back.");
    screen_.printText("Option : ");
    if (editing_ == nullptr) return;
    showPrompt();
    value_->redraw();
}

void OptionsScreen::showPrompt() {
    screen_.printLine(picked_);
    screen_.printText(std::string(editing_->title) + " (Enter or Esc keeps " +
                      printable(editing_->text(settings_)) + "): ");
}

OptionsScreen::Next OptionsScreen::onKey(std::string_view key) {
    if (editing_ != nullptr) {
        switch (value_->onKey(key)) {
        case LineEditor::State::typing:
            return Next::stay;
        case LineEditor::State::entered:
            take(value_->text());
            break;
        case LineEditor::State::cancelled:
            message_ = std::string(editing_->title) + " kept.";
            break;
        }
        editing_ = nullptr;
        value_.reset();
        show();
        return Next::stay;
    }
    if (key == "\r" || key == "\n" || key == "\x1b") return Next::leave;
    const std::optional<std::size_t> index = menuIndex(key);
    if (!index || *index >= entries_.size()) return Next::stay;
    editing_ = entries_[*index];
    picked_ = std::string(key);
    message_.clear();
    value_.emplace(screen_);
    showPrompt();
    return Next::readLine;
}

void OptionsScreen::take(const std::string& text) {
    const SettingRow& row = *editing_;
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
}

} // namespace plotanix
