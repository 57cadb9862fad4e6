#include "console/console.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <curses.h>

namespace plotanix {

namespace {

// The code page 437 box-drawing bytes of the banner, with the Unicode
// character each stands for and a look-alike for terminals without UTF-8.
struct BoxGlyph {
    unsigned char byte;
    wchar_t unicode;
    wchar_t ascii;
};

constexpr BoxGlyph boxGlyphs[] = {
    {0xB0, L'\u2591', L'#'}, {0xBA, L'\u2551', L'|'}, {0xBB, L'\u2557', L'+'},
    {0xBC, L'\u255D', L'+'}, {0xC8, L'\u255A', L'+'}, {0xC9, L'\u2554', L'+'},
    {0xCD, L'\u2550', L'='},
};

// What a byte looks like on screen. Other control and high bytes are shown
// as '?' and never reach the terminal, so text cannot send it commands.
wchar_t glyphFor(unsigned char byte, bool unicode) {
    if (byte >= 0x20 && byte < 0x7F) return byte;
    for (const auto& glyph : boxGlyphs) {
        if (glyph.byte == byte) return unicode ? glyph.unicode : glyph.ascii;
    }
    return L'?';
}

// Attribute colour bits are blue 1, green 2, red 4, bright 8; curses has
// red 1, green 2, blue 4, and the bright ones at 8-15 where it has 16.
short cursesColour(int colour) {
    short base = 0;
    if (colour & 1) base |= COLOR_BLUE;
    if (colour & 2) base |= COLOR_GREEN;
    if (colour & 4) base |= COLOR_RED;
    if ((colour & 8) && COLORS >= 16) base += 8;
    return base;
}

// Keys that curses reports as codes: only Enter and Backspace carry a
// character; everything else (arrows, function keys) gives "".
std::string keyCodeText(wint_t code) {
    if (code == KEY_ENTER) return "\r";
    if (code == KEY_BACKSPACE) return "\b";
    return "";
}

std::string characterText(wint_t character) {
    if (character == 0x7F) return "\b"; // the Backspace key of most terminals
    if (character < 0x80) return std::string(1, static_cast<char>(character));
    return "?"; // outside the program's 8-bit text
}

bool terminalHasTitle() {
    const char* term = std::getenv("TERM");
    if (term != nullptr) {
        for (const char* prefix :
             {"xterm", "tmux", "screen", "rxvt", "alacritty", "foot", "kitty"}) {
            if (std::strncmp(term, prefix, std::strlen(prefix)) == 0) return true;
        }
    }
    // Terminals that declare a status line set by the same escape.
    const char* statusLine = tigetstr(const_cast<char*>("tsl"));
    return statusLine != nullptr && statusLine != reinterpret_cast<char*>(-1) &&
           std::strncmp(statusLine, "\033]", 2) == 0;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count <= 0) return;
        done += static_cast<std::size_t>(count);
    }
}

} // namespace

Console::~Console() {
    closeConsole();
}

bool Console::openConsole() {
    if (open_) return true;
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return false;
    // Only the character type: numbers keep the "C" decimal point.
    std::setlocale(LC_CTYPE, "");
    unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;

    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) return false;
    set_term(screen);
    screen_ = screen;
    // Keys one by one, unechoed, Enter as CR, arrows as codes; Ctrl+C still
    // raises SIGINT (cbreak keeps ISIG) so it ends the program cleanly.
    cbreak();
    noecho();
    nonl();
    // Ctrl+S and Ctrl+Q are keys, not the terminal's flow control: a
    // stopped terminal would stop the screen's writes, and with them the
    // loop that reads the line. ncurses keeps the mode from here on.
    termios modes{};
    if (tcgetattr(STDIN_FILENO, &modes) == 0) {
        modes.c_iflag &= ~static_cast<tcflag_t>(IXON);
        tcsetattr(STDIN_FILENO, TCSANOW, &modes);
        def_prog_mode();
    }
    intrflush(stdscr, FALSE);
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    scrollok(stdscr, FALSE);
    if (has_colors()) {
        start_color();
        use_default_colors();
    }
    bufferWidth_ = getmaxx(stdscr);
    bufferHeight_ = getmaxy(stdscr);
    open_ = true;
    defaultColour_ = true;
    pairs_.fill(0);
    nextPair_ = 1;
    applyColour();
    wrefresh(stdscr);
    return true;
}

void Console::closeConsole() {
    if (!open_) return;
    open_ = false;
    endwin();
    delscreen(static_cast<SCREEN*>(screen_));
    screen_ = nullptr;
    // The title the terminal had before ours, from its title stack.
    if (titlePushed_) writeAll(STDOUT_FILENO, "\033[23;0t");
    titlePushed_ = false;
}

void Console::enablePositionedOutput() {
    positionedOutput_ = true;
}

void Console::setConsoleTitle(const std::string& text) {
    if (!open_ || !terminalHasTitle()) return;
    std::string escape = "\033]0;";
    for (const char byte : text) {
        if (byte >= 0x20 && byte < 0x7F) escape += byte;
    }
    escape += '\a';
    wrefresh(stdscr); // curses' own output first, then ours
    // The terminal keeps the title it had, to be put back at the end.
    if (!titlePushed_) escape = "\033[22;0t" + escape;
    titlePushed_ = true;
    writeAll(STDOUT_FILENO, escape);
}

void Console::clearConsole() {
    if (!open_ || !positionedOutput_) return;
    werase(stdscr); // blanks in the background, which follows currentColour
    wmove(stdscr, 0, 0);
    wrefresh(stdscr);
}

void Console::setConsoleColour(int foreground, int background) {
    if (foreground < 0 || background < 0 || foreground >= 16 || background >= 16) return;
    currentColour_ = background * 16 + foreground;
    defaultColour_ = false;
    applyColour();
}

void Console::moveCursor(int column, int row) {
    if (!open_ || !positionedOutput_) return;
    column = std::clamp(column, 0, getmaxx(stdscr) - 1);
    row = std::clamp(row, 0, getmaxy(stdscr) - 1);
    wmove(stdscr, row, column);
    wrefresh(stdscr);
}

void Console::resize() {
    if (!open_) return;
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
        resizeterm(size.ws_row, size.ws_col);
    bufferWidth_ = getmaxx(stdscr);
    bufferHeight_ = getmaxy(stdscr);
    clearConsole();
}

std::string Console::readKey() {
    std::string key;
    nextKey(key);
    return key;
}

int Console::inputDescriptor() const {
    return open_ ? STDIN_FILENO : -1;
}

int Console::cursorRow() const {
    return open_ ? getcury(stdscr) : 0;
}

int Console::cursorColumn() const {
    return open_ ? getcurx(stdscr) : 0;
}

int Console::colourPair(int foreground, int background) {
    const int attribute = background * 16 + foreground;
    if (pairs_[attribute] != 0 || !has_colors()) return pairs_[attribute];
    if (nextPair_ >= COLOR_PAIRS) return 0; // out of pairs: the terminal's own colours
    init_pair(nextPair_, cursesColour(foreground), cursesColour(background));
    pairs_[attribute] = nextPair_++;
    return pairs_[attribute];
}

// Text written from now on, and the cells that clears and scrolls blank,
// take currentColour (or the terminal's own colours until it is first set).
void Console::applyColour() {
    if (!open_) return;
    attr_t attributes = A_NORMAL;
    short pair = 0;
    if (!defaultColour_) {
        const int foreground = currentColour_ & 15;
        pair = static_cast<short>(colourPair(foreground, currentColour_ >> 4));
        if ((foreground & 8) && COLORS < 16) attributes |= A_BOLD;
    }
    wattr_set(stdscr, attributes, pair, nullptr);
    cchar_t blank;
    setcchar(&blank, L" ", A_NORMAL, pair, nullptr);
    wbkgrndset(stdscr, &blank);
}

// Writes the text at the cursor, at most up to the right edge (the Screen
// breaks longer text into rows). A NUL ends the text. Cells beyond the text
// keep what they showed.
void Console::putText(std::string_view text) {
    if (!open_) return;
    text = text.substr(0, text.find('\0'));
    int row = 0;
    int column = 0;
    getyx(stdscr, row, column);
    const int width = getmaxx(stdscr);
    const int count = std::min(static_cast<int>(text.size()), width - column);
    if (count <= 0) return;

    attr_t attributes = A_NORMAL;
    short pair = 0;
    wattr_get(stdscr, &attributes, &pair, nullptr);
    std::vector<cchar_t> cells(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
        const wchar_t glyph[2] = {glyphFor(byte, unicode_), L'\0'};
        setcchar(&cells[static_cast<std::size_t>(i)], glyph, attributes, pair, nullptr);
    }
    // wadd_wchnstr neither wraps nor moves the cursor: it is placed here.
    wadd_wchnstr(stdscr, cells.data(), count);
    wmove(stdscr, row, std::min(column + count, width - 1));
    wrefresh(stdscr);
}

void Console::newLine() {
    if (!open_) return;
    const int row = getcury(stdscr);
    if (row < getmaxy(stdscr) - 1) {
        wmove(stdscr, row + 1, 0);
    } else {
        scrollok(stdscr, TRUE);
        wscrl(stdscr, 1);
        scrollok(stdscr, FALSE);
        wmove(stdscr, row, 0);
    }
    wrefresh(stdscr);
}

bool Console::nextKey(std::string& key) {
    if (!open_) return false;
    wint_t input = 0;
    int kind = ERR;
    do {
        kind = wget_wch(stdscr, &input);
    } while (kind == KEY_CODE_YES && input == KEY_RESIZE);
    if (kind == ERR) return false;
    key = kind == KEY_CODE_YES ? keyCodeText(input) : characterText(input);
    return true;
}

} // namespace plotanix
