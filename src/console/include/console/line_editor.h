#pragma once
// One line typed at a prompt, echoed where the cursor stands and going on
// at the start of the next row at the screen's edge: Backspace takes the
// last character back (across a row's edge), Enter ends the line, Esc
// cancels it. The menus and the shell's typed line both use it.

#include "console/screen.h"

#include <string>
#include <string_view>

namespace plotanix {

class LineEditor {
  public:
    enum class State { typing, entered, cancelled };
    // Longer than any path the system takes: the rest is not taken.
    static constexpr std::size_t maxLength = 4096;

    explicit LineEditor(Screen& screen) : screen_(screen) {}

    State onKey(std::string_view key) {
        if (state_ != State::typing) return state_;
        if (key == "\r" || key == "\n") {
            state_ = State::entered;
            // Text that reached the edge has already taken the cursor on.
            if (text_.empty() || screen_.cursorColumn() > 0) screen_.printLine("");
        } else if (key == "\x1b") {
            state_ = State::cancelled;
            screen_.printLine("");
        } else if (key == "\b") {
            takeBack();
        } else if (key.size() == 1 && text_.size() < maxLength) {
            text_ += key;
            screen_.printText(key);
        }
        return state_;
    }

    // The text again from the cursor, after the prompt was shown anew.
    void redraw() { screen_.printText(text_); }
    const std::string& text() const { return text_; }
    State state() const { return state_; }

  private:
    // A blank over the last character, and the cursor on it: on the row
    // above when the cursor stands at the start of a row.
    void takeBack() {
        if (text_.empty()) return;
        text_.pop_back();
        int column = screen_.cursorColumn() - 1;
        int row = screen_.cursorRow();
        if (column < 0) {
            if (row == 0) return;
            column = screen_.bufferWidth() - 1;
            --row;
        }
        screen_.moveCursor(column, row);
        screen_.printText(" ");
        screen_.moveCursor(column, row);
    }

    Screen& screen_;
    std::string text_;
    State state_ = State::typing;
};

} // namespace plotanix
