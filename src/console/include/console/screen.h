#pragma once
// What the menus need of a text screen and a keyboard. The console on the
// terminal is both; the tests use fakes.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

// The pieces a text is shown in from column on rows width cells wide, the
// first piece on the cursor's row, each on a row of its own: nothing is cut.
// A text breaks at spaces where it can (the spaces at a break are not
// shown), so a name or a path that fits on a row stays whole on one; a word
// that does not fit on the rest of a row that has text goes on the next;
// only a word longer than a whole row is split. The first piece may be
// empty: the text begins on the next row.
std::vector<std::string_view> wrapText(std::string_view text, int column, int width);

class Screen {
  public:
    virtual ~Screen() = default;
    virtual void clearConsole() = 0;
    // Attribute colours 0-15, as on the original console.
    virtual void setConsoleColour(int foreground, int background) = 0;
    virtual void moveCursor(int column, int row) = 0;
    // Text at the cursor, going on at the start of the next row where the
    // screen is too narrow for it (wrapText); text that reaches the right
    // edge leaves the cursor at the start of the next row.
    void printText(std::string_view text) { write(text, false); }
    // The same, then CR LF.
    void printLine(std::string_view text) { write(text, true); }
    virtual int bufferWidth() const = 0;
    virtual int bufferHeight() const = 0;
    virtual int cursorRow() const = 0;
    virtual int cursorColumn() const = 0;

  protected:
    // Bytes that fit on the cursor's row from the cursor on; the cursor
    // follows them (on the last column when they reach the edge).
    virtual void putText(std::string_view text) = 0;
    // CR LF: column 0 of the next row; on the last row the screen scrolls up.
    virtual void newLine() = 0;

  private:
    void write(std::string_view text, bool lineEnd) {
        const int width = bufferWidth();
        int column = cursorColumn();
        const std::vector<std::string_view> pieces = wrapText(text, column, width);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) {
                newLine();
                column = 0;
            }
            putText(pieces[i]);
            column += static_cast<int>(pieces[i].size());
        }
        // Spaces dropped at the last break have already taken the cursor on.
        const bool onFreshRow = pieces.size() > 1 && pieces.back().empty();
        if ((lineEnd && !onFreshRow) || column >= width) newLine();
    }
};

inline std::vector<std::string_view> wrapText(std::string_view text, int column, int width) {
    width = width < 1 ? 1 : width;
    column = column < 0 ? 0 : column >= width ? width - 1 : column;
    std::vector<std::string_view> pieces;
    auto room = static_cast<std::size_t>(width - column);
    while (text.size() > room) {
        std::size_t end = text.substr(0, room + 1).find_last_of(' ');
        std::size_t next = end;
        if (end != std::string_view::npos) {
            end = text.find_last_not_of(' ', end);
            end = end == std::string_view::npos ? 0 : end + 1;
        }
        if (end == std::string_view::npos || (end == 0 && column == 0)) {
            // No space to break at: a word that fits on a row of its own
            // goes there whole; a longer one is split at the edge.
            const std::size_t word = std::min(text.find(' '), text.size());
            end = column > 0 && word <= static_cast<std::size_t>(width) ? 0 : room;
            next = end;
        }
        pieces.push_back(text.substr(0, end));
        next = text.find_first_not_of(' ', next);
        text = next == std::string_view::npos ? std::string_view() : text.substr(next);
        room = static_cast<std::size_t>(width);
        column = 0;
    }
    pieces.push_back(text);
    return pieces;
}

class Keyboard {
  public:
    virtual ~Keyboard() = default;
    // Readable when keys may be waiting (-1: no keyboard). Keys already
    // taken in from it may wait without it being readable: ask nextKey
    // before waiting on it.
    virtual int inputDescriptor() const = 0;
    // Never waits: true with the next key's character ("" for a key without
    // one; Enter gives "\r", Backspace "\b", Esc "\x1b"), false when none is
    // waiting.
    virtual bool nextKey(std::string& key) = 0;
};

} // namespace plotanix
