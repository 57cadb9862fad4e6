#pragma once
// The operator's terminal, on ncursesw: a grid of cells with 16-colour
// attributes, positioned text laid out by the Screen (nothing is cut at the
// edge), and keys taken without waiting (the shell's loop does the waiting).
// The grid follows the terminal's size when told it has changed.
//
// The screen's writes never wait for the terminal: curses writes into
// memory, and the bytes go out as the terminal takes them, in the loop's
// turn (the console is a source of the loop, watched for room only while
// bytes wait). A full terminal (a stopped emulator, a slow ssh link, tmux
// with a stalled client) delays the screen, never the loop and the line.
// Past maxUnwritten the waiting bytes are dropped, and the whole screen is
// drawn anew once the terminal takes bytes again.

#include "common/poll_source.h"
#include "console/screen.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace plotanix {

class Console : public Screen, public Keyboard, public PollSource {
  public:
    static constexpr std::size_t maxUnwritten = 256 * 1024;

    Console() = default;
    ~Console() override;
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Takes the terminal (stdin/stdout) and its width and height, once.
    // False when stdin or stdout is not a terminal, or curses cannot use it.
    bool openConsole();
    // Gives the terminal back as it was (safe to call twice). The screen's
    // last bytes are waited for a moment at most: the terminal may be full.
    void closeConsole();
    // Ctrl+Z (SIGTSTP, which the caller catches): the terminal given back,
    // the program stopped; the screen drawn anew when it goes on.
    void suspend();
    void enablePositionedOutput();
    // Where the terminal has titles; the one it had is put back at close.
    void setConsoleTitle(const std::string& text);
    void clearConsole() override;
    void setConsoleColour(int foreground, int background) override;
    void moveCursor(int column, int row) override;
    // The terminal has changed its size (SIGWINCH): the grid takes the new
    // one, blank; the caller draws the screen again.
    void resize();
    // Never waits: the first key's character, "" for none or for a key
    // without a character; Enter gives "\r", Backspace "\b".
    std::string readKey();
    // Resize events are not key presses and are passed over.
    bool nextKey(std::string& key) override;

    int inputDescriptor() const override;
    int bufferWidth() const override { return bufferWidth_; }
    int bufferHeight() const override { return bufferHeight_; }
    int cursorRow() const override;
    int cursorColumn() const override;

    // The terminal as a source of the loop: room for the bytes that wait.
    int descriptor() const override;
    short events() const override { return POLLOUT; }
    std::optional<Clock::time_point> due() const override { return std::nullopt; }
    void service(Clock::time_point now) override;
    // Bytes the terminal has not taken yet (0 once it has them all).
    std::size_t unwritten() const { return unwritten_.size(); }

  protected:
    // Bytes are the system's 8-bit code page; the code page 437 box-drawing
    // bytes 0xB0, 0xBA, 0xBB, 0xBC, 0xC8, 0xC9 and 0xCD show as their
    // Unicode characters (or ASCII look-alikes outside UTF-8 locales).
    void putText(std::string_view text) override;
    void newLine() override;

  private:
    int colourPair(int foreground, int background);
    void applyColour();
    // wrefresh, and what curses wrote on its way.
    void show();
    // What curses wrote since, taken from memory; then as much as the
    // terminal takes now.
    void pass();
    void writeUnwritten();
    // The terminal's own descriptors put back.
    void restoreStreams();

    void* screen_ = nullptr;         // the curses SCREEN of this terminal
    bool unicode_ = false;           // the locale speaks UTF-8: box characters as Unicode
    bool defaultColour_ = true;      // the terminal's own colours until the first setConsoleColour
    std::array<short, 256> pairs_{}; // curses colour pair per attribute, 0 = not made yet
    short nextPair_ = 1;
    bool open_ = false;
    bool positionedOutput_ = false;
    bool titlePushed_ = false; // our title is on the terminal's title stack: pop it at the end
    int bufferWidth_ = 80;
    int bufferHeight_ = 25;
    int currentColour_ = 7;
    int terminal_ = -1;      // the terminal, written without waiting
    int terminalFlags_ = -1; // its flags to put back, when shared with the streams
    int savedOut_ = -1;      // standard output (the terminal) while curses writes to memory
    int savedErr_ = -1;      // standard error, when it was not the terminal
    std::string unwritten_;
    bool redrawOwed_ = false; // bytes were dropped: the screen is drawn anew
};

} // namespace plotanix
