#pragma once
// One line typed at a prompt, echoed where the cursor stands: Backspace
// takes the last character back, the line stops one column short of the
// screen's edge, and Enter ends it.

#include "console/screen.h"
#include "shell/event_loop.h"

#include <string>

namespace plotanix {

class TypedLine : public Activity {
  public:
    explicit TypedLine(Screen& screen) : screen_(screen) {}

    bool done() const override { return done_; }
    bool readsKeys() const override { return !done_; }
    bool onKey(std::string_view key) override;
    const std::string& text() const { return text_; }

  private:
    Screen& screen_;
    std::string text_;
    bool done_ = false;
};

} // namespace plotanix
