#pragma once
// The options screen behind "2: Set options", as a state machine like the
// menus: it shows itself on a Screen, takes keys and typed lines, and says
// what the program does next. Each setting of the table that has a title is
// listed with its value and where it came from; a number picks one, its new
// value is typed on one line (the program reads it and hands it back), and
// an empty line keeps it. A change is checked, saved to the config file and
// used from then on.

#include "console/screen.h"
#include "settings/settings.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class OptionsScreen {
  public:
    enum class Next { stay, readLine, leave };
    // Saves one setting; empty on success, otherwise why not.
    using Saver = std::function<std::string(std::string_view key, const std::string& value)>;

    OptionsScreen(Screen& screen, Settings& settings, Saver save);

    void show();
    // At the screen's prompt: a number picks an entry (readLine: read a
    // line and give it to onLine), Enter or Esc leaves, others are ignored.
    Next onKey(std::string_view key);
    // The line typed for the entry picked; the screen is then shown anew
    // with one line saying what became of it.
    Next onLine(const std::string& text);

  private:
    Screen& screen_;
    Settings& settings_;
    Saver save_;
    std::vector<const SettingRow*> entries_;
    const SettingRow* editing_ = nullptr;
    std::string message_;
};

} // namespace plotanix
