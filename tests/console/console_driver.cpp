// The console inside a real terminal, for the tests that run it in a tmux pane:
//   console_driver screen     box-drawing bytes, colours and cut text; ends on a key
//   console_driver keys       per wake-up of the wait, each readKey call's bytes

#include "console/console.h"
#include "console/event_wait.h"

#include <csignal>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

using namespace plotanix;

namespace {

int runScreen(Console& console, EventWait& wait) {
    console.setConsoleTitle("Plotanix");
    console.setConsoleColour(15, 0);
    console.printLine("\xC9\xCD\xBB\xBA\xC8\xBC\xB0");
    console.setConsoleColour(7, 0);
    console.printLine("grey");
    console.setConsoleColour(16, 0); // not a colour: changes nothing
    console.printLine(std::string(100, '0'));
    console.printLine("ABCDEF");
    console.moveCursor(0, 3);
    console.printText("xyz");
    console.moveCursor(75, 4);
    console.printText("abcdefgh");
    wait.waitForEvent(console.inputDescriptor(), {}, -1);
    return 0;
}

int runKeys(Console& console, EventWait& wait) {
    console.printLine("keys ready");
    while (true) {
        const auto result = wait.waitForEvent(console.inputDescriptor(), {}, -1);
        if (result.signal || result.keyClosed) return 0;
        std::string key = console.readKey(), calls = key.empty() ? "wake: -" : "wake:";
        for (; !key.empty(); key = console.readKey())
            calls += " " + std::to_string(static_cast<unsigned char>(key[0]));
        console.printLine(calls);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    EventWait wait;
    Console console;
    if (!wait.installSignalHandlers() || !console.openConsole()) return 2;
    console.enablePositionedOutput();
    if (mode == "screen") return runScreen(console, wait);
    if (mode == "keys") return runKeys(console, wait);
    return 2;
}
