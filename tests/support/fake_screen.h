#pragma once
// A screen in memory for the screens' state machines: rows of text that
// grow downwards without scrolling, a cursor, and a width the test chooses.
// Colours are dropped.

#include "console/screen.h"

#include <string>
#include <vector>

namespace plotanix::testing {

struct FakeScreen : Screen {
    explicit FakeScreen(int columns = 80) : width(columns) {}

    void clearConsole() override {
        lines = {""};
        row = column = 0;
    }
    void setConsoleColour(int, int) override {}
    void moveCursor(int toColumn, int toRow) override {
        column = toColumn;
        row = toRow;
        if (lines.size() <= std::size_t(row)) lines.resize(std::size_t(row) + 1);
    }
    int bufferWidth() const override { return width; }
    int bufferHeight() const override { return 25; }
    int cursorRow() const override { return row; }
    int cursorColumn() const override { return column; }

    // The rows from the first that holds text on, as one text.
    std::string text() const {
        std::string all;
        for (const std::string& line : lines)
            all += line + "\n";
        return all;
    }

    int width;
    std::vector<std::string> lines{""};
    int row = 0, column = 0;

  protected:
    void putText(std::string_view text) override {
        std::string& line = lines[std::size_t(row)];
        const auto at = std::size_t(column);
        if (line.size() < at + text.size()) line.resize(at + text.size(), ' ');
        line.replace(at, text.size(), text);
        column += int(text.size());
    }
    void newLine() override {
        column = 0;
        if (lines.size() == std::size_t(++row)) lines.emplace_back();
    }
};

} // namespace plotanix::testing
