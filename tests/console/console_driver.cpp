// The console inside a real terminal, for the tests that run it in a tmux pane:
//   console_driver screen     box-drawing bytes, colours and cut text; ends on a key
//   console_driver keys       per wake-up of the wait, each readKey call's bytes
//   console_driver log FILE   records to FILE until a signal or a hang-up, then
//                             the clean-up: "cleanup SIGNAL" and the terminal's state

#include "console/console.h"
#include "console/event_wait.h"

#include <csignal>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

using namespace plotanix;

namespace {

void put(int fd, const std::string& bytes) {
    if (write(fd, bytes.data(), bytes.size()) < 0) return;
}

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

int runLog(Console& console, EventWait& wait, const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    put(fd, "pid " + std::to_string(getpid()) + "\n");
    int broken[2]; // a write nobody reads must fail, not end the program
    if (pipe(broken) != 0 || close(broken[0]) != 0 || write(broken[1], "x", 1) != -1) return 1;
    // Each record in many small writes, events looked at only between records: a
    // clean-up run where a signal lands would show inside a record.
    for (int number = 0; number < 20000; ++number) {
        put(fd, "begin " + std::to_string(number) + "\n");
        for (int piece = 0; piece < 50; ++piece)
            put(fd, ".");
        put(fd, "\nend " + std::to_string(number) + "\n");
        const auto result = wait.waitForEvent(console.inputDescriptor(), {}, 0);
        if (result.signal || result.keyClosed) break;
    }
    // A closed terminal whose SIGHUP is still on its way is given a moment.
    if (wait.pendingSignal() == 0) wait.waitForEvent(-1, {}, 500);
    put(fd,
        "cleanup " + std::to_string(wait.pendingSignal() ? wait.pendingSignal() : SIGHUP) + "\n");
    console.closeConsole();
    termios state{};
    put(fd, tcgetattr(STDIN_FILENO, &state) != 0
                ? std::string("terminal gone\n")
                : "terminal echo=" + std::to_string((state.c_lflag & ECHO) != 0) +
                      " icanon=" + std::to_string((state.c_lflag & ICANON) != 0) + "\n");
    return 0;
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
    return mode == "log" && argc > 2 ? runLog(console, wait, argv[2]) : 2;
}
