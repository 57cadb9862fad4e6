#pragma once
// One line typed at a prompt, as an activity of the loop: echoed where the
// cursor stands (LineEditor), until Enter or Esc.

#include "console/line_editor.h"
#include "shell/event_loop.h"

#include <string>

namespace plotanix {

class TypedLine : public Activity {
  public:
    explicit TypedLine(Screen& screen) : editor_(screen) {}

    bool done() const override { return editor_.state() != LineEditor::State::typing; }
    bool readsKeys() const override { return !done(); }
    bool onKey(std::string_view key) override {
        editor_.onKey(key);
        return false;
    }
    const std::string& text() const { return editor_.text(); }
    bool cancelled() const { return editor_.state() == LineEditor::State::cancelled; }
    void redraw() { editor_.redraw(); }

  private:
    LineEditor editor_;
};

} // namespace plotanix
