// Keys typed into a real terminal: the driver shows, per wake-up of its
// wait, what each readKey call returned ("wake: 61 62", "-" for a first
// call that gave nothing), or what readLine returned.

#include "driver_session.h"

#include <gtest/gtest.h>
#include <sstream>

namespace plotanix::testing {
namespace {

std::vector<std::string> wakeLines(const std::string& screen) {
    std::vector<std::string> wakes;
    std::istringstream lines(screen);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("wake: ", 0) == 0) wakes.push_back(line.substr(6));
    }
    return wakes;
}

std::string joined(const std::vector<std::string>& parts, std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < parts.size(); ++i)
        text += (text.empty() ? "" : " ") + parts[i];
    return text;
}

class ConsoleKeys : public ::testing::Test {
  protected:
    // Presses the keys and waits for the driver's next wake-up line(s) to
    // show the expected calls; returns all wake-ups so far.
    std::vector<std::string> press(const std::vector<std::string>& keys, const std::string& shown) {
        EXPECT_TRUE(tmux.sendKeys(keys));
        return expectCalls(shown);
    }
    std::vector<std::string> type(const std::string& text, const std::string& shown) {
        EXPECT_TRUE(tmux.sendText(text));
        return expectCalls(shown);
    }
    std::vector<std::string> expectCalls(const std::string& shown) {
        EXPECT_TRUE(tmux.waitForScreen([&](const std::string& screen) {
            return joined(wakeLines(screen), seen_) == shown;
        })) << "expected calls: "
            << shown << "\n"
            << tmux.lastScreen();
        const auto wakes = wakeLines(tmux.lastScreen());
        seen_ = wakes.size();
        return wakes;
    }

    TmuxSession tmux;
    std::size_t seen_ = 0;
};

TEST_F(ConsoleKeys, ReadKeyGivesOneCharacterPerCallAndNothingForOtherKeys) {
    ASSERT_TRUE(startDriver(tmux, {"keys"}));
    ASSERT_TRUE(tmux.waitForText("keys ready")) << tmux.lastScreen();

    press({"a"}, "61");
    press({"Enter"}, "0d");
    press({"BSpace"}, "08");
    // An arrow key wakes the wait once, gives "" and leaves nothing behind:
    // the next wake-up shows only the next key.
    auto wakes = press({"Up"}, "-");
    const std::size_t arrowWakes = wakes.size();
    wakes = press({"x"}, "78");
    EXPECT_EQ(wakes.size(), arrowWakes + 1) << "the arrow woke the wait again";
    press({"Escape"}, "1b");
    // Several keys at once: one per call, in order, whatever the wake-ups.
    type("abc", "61 62 63");

    ASSERT_TRUE(tmux.sendKeys({"q"}));
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
}

TEST_F(ConsoleKeys, ReadLineEchoesHandlesBackspaceAndKeepsToTheWidth) {
    ASSERT_TRUE(startDriver(tmux, {"line"}));
    ASSERT_TRUE(tmux.waitForText("line ready")) << tmux.lastScreen();

    // A backspace with nothing typed does nothing.
    ASSERT_TRUE(tmux.sendKeys({"BSpace", "A", "B", "BSpace", "D"}));
    ASSERT_TRUE(tmux.waitForScreen([&](const std::string& screen) {
        return screen.find("line ready\nAD\n") != std::string::npos;
    })) << tmux.lastScreen();
    EXPECT_EQ(tmux.query("#{cursor_x},#{cursor_y}"), "2,1");
    ASSERT_TRUE(tmux.sendKeys({"Enter"}));
    // "AD", and the cursor went to the start of the next row (row 2).
    ASSERT_TRUE(tmux.waitForText("line(2): 41 44 row 2")) << tmux.lastScreen();

    // The last column stays free: 79 characters on an 80-column screen.
    ASSERT_TRUE(tmux.sendText(std::string(100, 'x')));
    ASSERT_TRUE(tmux.sendKeys({"Enter"}));
    ASSERT_TRUE(tmux.waitForText("line(79): 78 78")) << tmux.lastScreen();
    EXPECT_NE(tmux.capture().find("\n" + std::string(79, 'x') + "\n"), std::string::npos);

    ASSERT_TRUE(tmux.sendKeys({"Enter"})); // an empty line ends the driver
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
}

} // namespace
} // namespace plotanix::testing
