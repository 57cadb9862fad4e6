#pragma once
// The options screen behind "2: Set options", as a state machine like the
// menus: it shows itself on a Screen, takes keys and says what the program
// does next. Each setting of the table that has a title is listed with its
// value and where it came from; a number picks one and its new value is
// typed at a prompt (an empty line or Esc keeps it). A change is checked,
// saved to the config file and used from then on.

#include "console/line_editor.h"
#include "console/screen.h"
#include "settings/settings.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class OptionsScreen {
  public:
    // readLine: a value is typed from now on (keys typed ahead of the
    // prompt are not part of it).
    enum class Next { stay, readLine, leave };
    // Saves one setting; empty on success, otherwise why not.
    using Saver = std::function<std::string(std::string_view key, const std::string& value)>;

    // configPath: the file the changes are saved in, shown under the title
    // (empty: there is none).
    OptionsScreen(Screen& screen, Settings& settings, std::string configPath, Saver save);

    // The whole screen, with the prompt and what is typed at it, if a value
    // is being typed: it is drawn anew the same way when the terminal's
    // size changes.
    void show();
    // At the screen's prompt a number picks an entry, Enter or Esc leaves,
    // other keys are ignored. At a value's prompt the keys edit the value:
    // Enter takes it (the screen is then shown anew with one line saying
    // what became of it), Esc keeps the value as it was.
    Next onKey(std::string_view key);

  private:
    void showPrompt();
    void take(const std::string& text);

    Screen& screen_;
    Settings& settings_;
    std::string configPath_;
    Saver save_;
    std::vector<const SettingRow*> entries_;
    const SettingRow* editing_ = nullptr;
    std::optional<LineEditor> value_;
    std::string picked_; // the key that picked the entry being edited
    std::string message_;
};

} // namespace plotanix
