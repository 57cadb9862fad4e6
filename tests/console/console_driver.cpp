// Puts the console through its paces inside a real terminal, for the tests
// that drive it through tmux and read the screen back.
//
//   console_driver screen       box drawing, colours, cuts, scrolling, clear;
//                               each stage waits for a key
//   console_driver keys         what each readKey call returns, in hex, per wake-up
//   console_driver line         what readLine returns, until an empty line
//   console_driver log FILE     writes records to FILE until a signal runs the clean-up
//
// The clean-up appends "cleanup <signal>" to FILE, gives the terminal back
// and appends the terminal's state ("terminal echo=1 icanon=1").

#include "console/console.h"
#include "console/event_wait.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

using plotanix::Console;
using plotanix::EventWait;

namespace {

std::string hex(const std::string& bytes) {
    if (bytes.empty()) return "-";
    std::string text;
    for (const char byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(byte));
        if (!text.empty()) text += ' ';
        text += digits;
    }
    return text;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count <= 0) return;
        done += static_cast<std::size_t>(count);
    }
}

void appendLine(const std::string& path, const std::string& line) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    writeAll(fd, line + "\n");
    close(fd);
}

// The program's exit clean-up stand-in: runs in the main flow, once.
int cleanUp(Console& console, int signalNumber, const std::string& path) {
    appendLine(path, "cleanup " + std::to_string(signalNumber));
    console.closeConsole();
    termios state{};
    if (tcgetattr(STDIN_FILENO, &state) != 0) {
        appendLine(path, "terminal gone");
    } else {
        appendLine(path, "terminal echo=" + std::to_string((state.c_lflag & ECHO) != 0) +
                             " icanon=" + std::to_string((state.c_lflag & ICANON) != 0));
    }
    return 0;
}

// The signal behind an ending; a closed terminal whose SIGHUP is still on
// its way is given a moment to deliver it.
int endingSignal(EventWait& wait) {
    if (wait.pendingSignal() == 0) wait.waitForEvent(-1, {}, 500);
    return wait.pendingSignal() != 0 ? wait.pendingSignal() : SIGHUP;
}

// Until a key with a character has been taken; false on a signal or hang-up.
bool waitForKey(Console& console, EventWait& wait) {
    while (true) {
        const auto result = wait.waitForEvent(console.inputDescriptor(), {}, -1);
        if (result.signal || result.keyClosed) return false;
        if (!console.readKey().empty()) return true;
    }
}

// Rows: 0 the banner's box-drawing bytes in 15 on 0, 1 grey text (7 on 0),
// 2 colour 16 ignored, 3 a line longer than the screen, 4 a shorter text
// over a longer one, 5 text running past the last column.
void showScreen(Console& console) {
    console.setConsoleTitle("Plotanix");
    console.clearConsole();
    console.setConsoleColour(15, 0);
    console.printLine("\xC9\xCD\xBB\xBA\xC8\xBC\xB0");
    console.setConsoleColour(7, 0);
    console.printLine("grey text");
    console.setConsoleColour(16, 0);
    console.printLine("still grey");
    console.printLine(std::string(100, '0'));
    console.printLine("ABCDEFGHIJKLMNOP");
    console.moveCursor(0, 4);
    console.printLine("xyz");
    console.moveCursor(70, 5);
    console.printText("abcdefghijklmnop");
    console.moveCursor(0, 7);
    console.printText("stage 1");
}

int runScreen(Console& console, EventWait& wait) {
    showScreen(console);
    if (!waitForKey(console, wait)) return 1;
    console.moveCursor(0, console.bufferHeight() - 1);
    console.printLine("bottom row");
    console.printText("stage 2");
    if (!waitForKey(console, wait)) return 1;
    console.setConsoleColour(15, 0);
    console.clearConsole();
    if (!waitForKey(console, wait)) return 1;
    console.printText("after clear");
    return waitForKey(console, wait) ? 0 : 1;
}

int runKeys(Console& console, EventWait& wait) {
    console.printLine("keys ready");
    while (true) {
        const auto result = wait.waitForEvent(console.inputDescriptor(), {}, -1);
        if (result.signal || result.keyClosed) return 1;
        std::string calls;
        bool quit = false;
        for (std::string key = console.readKey(); !key.empty(); key = console.readKey()) {
            calls += (calls.empty() ? "" : " ") + hex(key);
            quit = quit || key == "q";
        }
        console.printLine("wake: " + (calls.empty() ? std::string("-") : calls));
        if (quit) return 0;
    }
}

int runLine(Console& console, EventWait& wait) {
    console.printLine("line ready");
    while (wait.pendingSignal() == 0) {
        const std::string line = console.readLine(wait);
        const int row = console.cursorRow();
        console.printLine("line(" + std::to_string(line.size()) + "): " + hex(line) + " row " +
                          std::to_string(row));
        if (line.empty()) return 0;
    }
    return 1;
}

// A log write in many small pieces: a clean-up running in the middle of one
// would show up inside a record.
void writeRecord(int fd, int number) {
    writeAll(fd, "begin " + std::to_string(number) + "\n");
    for (int piece = 0; piece < 50; ++piece)
        writeAll(fd, ".");
    writeAll(fd, "\nend " + std::to_string(number) + "\n");
}

int runLog(Console& console, EventWait& wait, const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    console.printLine("logging");
    // Bounded, so that a test that never signals cannot leave it running.
    for (int number = 0; number < 20000; ++number) {
        writeRecord(fd, number);
        const auto result = wait.waitForEvent(console.inputDescriptor(), {}, 0);
        if (result.signal || result.keyClosed) break;
    }
    close(fd);
    return cleanUp(console, endingSignal(wait), path);
}

} // namespace

int main(int argc, char** argv) {
    const std::string scenario = argc > 1 ? argv[1] : "";
    const std::string path = argc > 2 ? argv[2] : "";
    EventWait wait;
    Console console;
    if (!wait.installSignalHandlers() || !console.openConsole()) return 2;
    console.enablePositionedOutput();
    if (!path.empty()) appendLine(path, "pid " + std::to_string(getpid()));

    if (scenario == "screen") return runScreen(console, wait);
    if (scenario == "keys") return runKeys(console, wait);
    if (scenario == "line") return runLine(console, wait);
    if (scenario == "log" && !path.empty()) return runLog(console, wait, path);
    return 2;
}
