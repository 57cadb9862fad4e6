#include "console/console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
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

// The terminal again, as an open file of our own that can be made
// non-blocking without making it so for the shell and the other streams
// that share the one the program was given. Failing that, that one, made
// non-blocking until the end (sharedFlags: what to put back).
int openTerminal(int fd, int& sharedFlags) {
    sharedFlags = -1;
    if (const char* name = ttyname(fd)) {
        const int own = ::open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (own >= 0) return own;
    }
    const int shared = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (shared < 0) return -1;
    sharedFlags = fcntl(shared, F_GETFL);
    if (sharedFlags >= 0) fcntl(shared, F_SETFL, sharedFlags | O_NONBLOCK);
    return shared;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// CAN: ends an escape sequence the terminal may have been given half of
// before bytes were dropped.
constexpr char cancelSequence = '\x18';

// How long the end waits for the terminal to take the screen's last bytes.
constexpr std::chrono::milliseconds lastBytesWait{250};

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

    // Curses writes to standard output, which becomes memory for it here
    // (bytes taken out by pass); it sets the terminal's modes through
    // standard error, which it takes when standard output is no terminal,
    // so that is the terminal for as long as the console is open.
    terminal_ = openTerminal(STDOUT_FILENO, terminalFlags_);
    savedOut_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int memory = memfd_create("plotanix-screen", MFD_CLOEXEC);
    if (terminal_ < 0 || savedOut_ < 0 || memory < 0) {
        closeFd(memory);
        restoreStreams();
        return false;
    }
    if (!isatty(STDERR_FILENO)) {
        savedErr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        dup2(savedOut_, STDERR_FILENO);
    }
    std::fflush(stdout);
    dup2(memory, STDOUT_FILENO);
    closeFd(memory);
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        restoreStreams();
        return false;
    }
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
    show();
    return true;
}

void Console::closeConsole() {
    if (!open_) return;
    open_ = false;
    // The bytes that put the terminal back go out even after a drop.
    if (std::exchange(redrawOwed_, false)) unwritten_.assign(1, cancelSequence);
    endwin();
    delscreen(static_cast<SCREEN*>(screen_));
    screen_ = nullptr;
    pass();
    // The title the terminal had before ours, from its title stack.
    if (titlePushed_) unwritten_ += "\033[23;0t";
    titlePushed_ = false;
    // The end: the line is closed and the transcript written by now, and a
    // moment is all a full terminal gets.
    const auto until = std::chrono::steady_clock::now() + lastBytesWait;
    for (writeUnwritten(); !unwritten_.empty() && terminal_ >= 0; writeUnwritten()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd room{terminal_, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&room, 1, static_cast<int>(left.count())) <= 0) break;
    }
    unwritten_.clear();
    restoreStreams();
}

void Console::restoreStreams() {
    std::fflush(stdout);
    if (savedOut_ >= 0) dup2(savedOut_, STDOUT_FILENO);
    if (savedErr_ >= 0) dup2(savedErr_, STDERR_FILENO);
    closeFd(savedOut_);
    closeFd(savedErr_);
    if (terminal_ >= 0 && terminalFlags_ >= 0) fcntl(terminal_, F_SETFL, terminalFlags_);
    closeFd(terminal_);
    terminalFlags_ = -1;
}

void Console::suspend() {
    if (!open_) {
        ::raise(SIGSTOP);
        return;
    }
    if (std::exchange(redrawOwed_, false)) unwritten_.assign(1, cancelSequence);
    endwin();
    pass();
    const auto until = std::chrono::steady_clock::now() + lastBytesWait;
    for (writeUnwritten(); !unwritten_.empty(); writeUnwritten()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd room{terminal_, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&room, 1, static_cast<int>(left.count())) <= 0) break;
    }
    ::raise(SIGSTOP);
    // Going on: curses takes its modes back at the refresh.
    clearok(curscr, TRUE);
    show();
}

int Console::descriptor() const {
    return !unwritten_.empty() || redrawOwed_ ? terminal_ : -1;
}

// Room at last: the bytes that wait, or, after a drop, the whole screen.
void Console::service(Clock::time_point) {
    writeUnwritten();
    if (!redrawOwed_ || !unwritten_.empty() || !open_) return;
    redrawOwed_ = false;
    unwritten_.assign(1, cancelSequence);
    clearok(curscr, TRUE);
    show();
}

void Console::show() {
    wrefresh(stdscr);
    pass();
}

void Console::pass() {
    if (savedOut_ < 0) return;
    const off_t size = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    if (size > 0) {
        // While a drop is owed its redraw, what curses writes goes nowhere.
        if (!redrawOwed_) {
            const std::size_t before = unwritten_.size();
            unwritten_.resize(before + static_cast<std::size_t>(size));
            const ssize_t got =
                pread(STDOUT_FILENO, unwritten_.data() + before, static_cast<std::size_t>(size), 0);
            unwritten_.resize(before + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
        if (ftruncate(STDOUT_FILENO, 0) == 0) lseek(STDOUT_FILENO, 0, SEEK_SET);
    }
    writeUnwritten();
    if (unwritten_.size() <= maxUnwritten) return;
    // The newest screen is kept, not the way there: drawn whole later.
    unwritten_.clear();
    redrawOwed_ = true;
}

void Console::writeUnwritten() {
    while (!unwritten_.empty() && terminal_ >= 0) {
        const ssize_t n = ::write(terminal_, unwritten_.data(), unwritten_.size());
        if (n > 0) {
            unwritten_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        unwritten_.clear(); // the terminal has gone: the keys see the hang-up
        return;
    }
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
    show(); // curses' own output first, then ours
    // The terminal keeps the title it had, to be put back at the end.
    if (!titlePushed_) escape = "\033[22;0t" + escape;
    titlePushed_ = true;
    if (!redrawOwed_) unwritten_ += escape;
    writeUnwritten();
}

void Console::clearConsole() {
    if (!open_ || !positionedOutput_) return;
    werase(stdscr); // blanks in the background, which follows currentColour
    wmove(stdscr, 0, 0);
    show();
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
    show();
}

void Console::resize() {
    if (!open_) return;
    winsize size{};
    if (::ioctl(terminal_, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
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
    show();
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
    show();
}

bool Console::nextKey(std::string& key) {
    if (!open_) return false;
    wint_t input = 0;
    int kind = ERR;
    do {
        kind = wget_wch(stdscr, &input);
    } while (kind == KEY_CODE_YES && input == KEY_RESIZE);
    pass(); // curses may refresh before it reads
    if (kind == ERR) return false;
    key = kind == KEY_CODE_YES ? keyCodeText(input) : characterText(input);
    return true;
}

} // namespace plotanix
