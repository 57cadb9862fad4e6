// The console inside a real terminal, for the tests that run it in a tmux pane:
//   console_driver screen     box-drawing bytes, colours and wrapped text; ends on a key
//   console_driver keys       per wake-up of the wait, each readKey call's bytes
//   console_driver flood FILE at SIGUSR1, rows 1-20 written over and over with
//                             their counts, never waiting for the terminal;
//                             FILE made once they are written; ends on a key

#include "console/console.h"
#include "shell/signal_watch.h"

#include <chrono>
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

// The terminal's turns until a key or a signal: whether a key came.
bool serveUntilKey(Console& console, SignalWatch& signals) {
    while (true) {
        pollfd fds[3] = {{console.inputDescriptor(), POLLIN, 0},
                         {signals.descriptor(), POLLIN, 0},
                         {console.descriptor(), POLLOUT, 0}};
        if (::poll(fds, 3, -1) < 0) return false;
        if (fds[2].revents != 0) console.service(std::chrono::steady_clock::now());
        if (fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

int runFlood(Console& console, SignalWatch& signals, const std::string& doneFile) {
    console.printLine("flood ready");
    if (serveUntilKey(console, signals)) return 2;
    signals.take();
    constexpr int rounds = 2000;
    for (int round = 1; round <= rounds; ++round) {
        for (int row = 1; row <= 20; ++row) {
            console.moveCursor(0, row);
            console.printText("row " + std::to_string(row) + ": " + std::to_string(round));
        }
    }
    console.moveCursor(0, 21);
    console.printLine("flood done");
    ::close(::open(doneFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    serveUntilKey(console, signals);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    SignalWatch signals({SIGUSR1});
    Console console;
    if (!signals.ok() || !console.openConsole()) return 2;
    console.enablePositionedOutput();
    if (mode == "screen") return runScreen(console, signals);
    if (mode == "keys") return runKeys(console, signals);
    if (mode == "flood" && argc > 2) return runFlood(console, signals, argv[2]);
    return 2;
}
