// The console inside a real terminal, for the tests that run it in a tmux pane:
//   console_driver screen     box-drawing bytes, colours and wrapped text; ends on a key
//   console_driver keys       per wake-up of the wait, each readKey call's bytes

#include "console/console.h"
#include "shell/signal_watch.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

using namespace plotanix;

namespace {

// Until a key, a signal or the end of the terminal: whether a key came.
bool waitForKey(Console& console, SignalWatch& signals) {
    pollfd fds[2] = {{console.inputDescriptor(), POLLIN, 0}, {signals.descriptor(), POLLIN, 0}};
    return ::poll(fds, 2, -1) > 0 && fds[1].revents == 0 &&
           (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

int runScreen(Console& console, SignalWatch& signals) {
    console.setConsoleTitle("Plotanix");
    console.setConsoleColour(15, 0);
    console.printLine("\xC9\xCD\xBB\xBA\xC8\xBC\xB0");
    console.setConsoleColour(7, 0);
    console.printLine("grey");
    console.setConsoleColour(16, 0); // not a colour: changes nothing
    console.printLine(std::string(100, '0'));
    console.printLine("ABCDEF");
    console.moveCursor(0, 4);
    console.printText("xyz");
    console.moveCursor(75, 5);
    console.printText("abc defgh");
    waitForKey(console, signals);
    return 0;
}

int runKeys(Console& console, SignalWatch& signals) {
    console.printLine("keys ready");
    while (true) {
        if (!waitForKey(console, signals)) return 0;
        std::string key = console.readKey(), calls = key.empty() ? "wake: -" : "wake:";
        for (; !key.empty(); key = console.readKey())
            calls += " " + std::to_string(static_cast<unsigned char>(key[0]));
        console.printLine(calls);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    SignalWatch signals;
    Console console;
    if (!signals.ok() || !console.openConsole()) return 2;
    console.enablePositionedOutput();
    if (mode == "screen") return runScreen(console, signals);
    if (mode == "keys") return runKeys(console, signals);
    return 2;
}
