#pragma once
// What the menus need of a text screen and a keyboard. The console on the
// terminal is both; the tests use fakes.

#include <string>
#include <string_view>

namespace plotanix {

class Screen {
  public:
    virtual ~Screen() = default;
    virtual void clearConsole() = 0;
    // Attribute colours 0-15, as on the original console.
    virtual void setConsoleColour(int foreground, int background) = 0;
    virtual void moveCursor(int column, int row) = 0;
    virtual void printText(std::string_view text) = 0;
    virtual void printLine(std::string_view text) = 0;
    virtual int bufferWidth() const = 0;
    virtual int bufferHeight() const = 0;
    virtual int cursorRow() const = 0;
    virtual int cursorColumn() const = 0;
};

class Keyboard {
  public:
    virtual ~Keyboard() = default;
    // Readable when keys may be waiting (-1: no keyboard). Keys already
    // taken in from it may wait without it being readable: ask nextKey
    // before waiting on it.
    virtual int inputDescriptor() const = 0;
    // Never waits: true with the next key's character ("" for a key without
    // one; Enter gives "\r", Backspace "\b"), false when none is waiting.
    virtual bool nextKey(std::string& key) = 0;
};

} // namespace plotanix
