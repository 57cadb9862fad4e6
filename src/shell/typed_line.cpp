#include "shell/typed_line.h"

namespace plotanix {

bool TypedLine::onKey(std::string_view key) {
    const int column = screen_.cursorColumn();
    const int row = screen_.cursorRow();
    if (key == "\r") {
        screen_.printLine("");
        done_ = true;
    } else if (key == "\b") {
        if (text_.empty()) return false;
        text_.pop_back();
        if (column == 0) return false;
        // A blank over the last character, and the cursor on it.
        screen_.moveCursor(column - 1, row);
        screen_.printText(" ");
        screen_.moveCursor(column - 1, row);
    } else if (!key.empty() && column < screen_.bufferWidth() - 1) {
        text_ += key;
        screen_.printText(key);
    }
    return false;
}

} // namespace plotanix
