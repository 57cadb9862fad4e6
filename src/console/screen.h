#pragma once
// What the menus need of a text screen. The console on the terminal is one;
// the tests use a fake that keeps the lines printed.

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

} // namespace plotanix
