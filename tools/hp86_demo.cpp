// plotanix-demo: plays the HP-86B on a pseudo-terminal so that a new user sees
// a whole plot run without a serial cable. It starts the plotter in this
// terminal on the pseudo-terminal's slave (named as its port), waits for it
// by asking "OI;" once a second until "7470A" comes back, sends the bundled
// drawing at the pace of a 9600-baud line and falls silent. It ends when the
// plotter ends, with the plotter's exit status.
//
// With --gpib the HP-86B is on HP-IB instead: the pseudo-terminal is a
// simulated USB-GPIB adapter (an AR488 that restarts when its port is
// opened), the plotter is started with --gpib 5 and the computer sends to
// address 5 and reads its replies there, as PLOTTER IS 705 would.
//
// With --tcp the HP-86B is a TCP server on the loopback instead (as DOSBox's
// nullmodem port or a serial server would be) and the plotter connects to it
// with --port tcp:127.0.0.1:PORT.
//
// With --acquire INSTRUMENT the plotter asks for the plot instead: behind
// the simulated adapter is a simulated instrument (an HP 8753 sending its
// plot as records with gaps between them, an 8568B as one message, ...),
// and the plotter is started with --acquire to ask it for its plot.
//
// With --vxi11 INSTRUMENT the same instrument is behind a simulated VXI-11
// LAN/GPIB gateway on the loopback instead, and the plotter asks through
// it with --acquire INSTRUMENT vxi11:127.0.0.1:PORT/gpib0,ADDRESS.

#include "common/deadline.h"
#include "common/unique_fd.h"
#include "serial/gpib_acquire.h"
#include "shell/signal_watch.h"
#include "simulated_adapter.h"
#include "simulated_gateway.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using plotanix::Clock;
using plotanix::UniqueFd;

constexpr std::string_view identifyQuery = "OI;";
constexpr std::string_view identifyReply = "7470A\r\n";
constexpr auto queryInterval = std::chrono::seconds(1);
// 9600 baud with a start and a stop bit: 960 bytes a second.
constexpr auto byteTime = std::chrono::microseconds(1042);
constexpr size_t burstSize = 32;
// On HP-IB: the plotter's address, and how long the simulated board is
// deaf after its port is opened (an Uno's restart).
constexpr int plotterAddress = 5;
constexpr auto boardRestart = std::chrono::milliseconds(1500);
// While nobody has the adapter's port open the master reports a hang-up
// without end; it is looked at this often instead, to see the port opened.
constexpr auto closedPortCheck = std::chrono::milliseconds(50);
// --acquire: the gap before each of the instrument's records, and the
// address of a scope (which has no usual one).
constexpr auto recordGap = std::chrono::milliseconds(300);
constexpr int tdsAddress = 7;

int fail(const std::string& message) {
    std::fprintf(stderr, "plotanix-demo: %s\n", message.c_str());
    return 1;
}

// The directory of this program's binary: the plotter is built beside it.
fs::path programDirectory() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path(error) : self.parent_path();
}

// The drawing is copied next to the binary by the build; the source tree's
// copy is the fallback for a binary moved away from its build directory.
fs::path drawingPath(const fs::path& programDir) {
    const fs::path beside = programDir / "demo_drawing.hpgl";
    std::error_code error;
    if (fs::exists(beside, error)) return beside;
    return PLOTANIX_DEMO_DRAWING;
}

std::optional<std::string> readWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
}

// The plotter's screen is gone when it ends: say where its files are, if it
// wrote any.
void sayWhereFilesAre() {
    std::error_code error;
    if (!fs::exists("PLOTTER.TXT", error)) return;
    std::printf(
        "Plotanix demo finished: the transcript PLOTTER.TXT and any saved pages are in %s\n",
        fs::current_path(error).c_str());
}

class SimulatedComputer {
  public:
    SimulatedComputer(bool onBus, bool overTcp) : onBus_(onBus), overTcp_(overTcp) {}
    SimulatedComputer(const SimulatedComputer&) = delete;
    SimulatedComputer& operator=(const SimulatedComputer&) = delete;

    int run(const fs::path& plotter, const std::string& drawing);

  private:
    bool openLine();
    bool startPlotter(const fs::path& plotter);
    bool waitForPlotter();
    void sendDrawing(std::string_view drawing);
    int waitForPlotterExit();

    // One wait for the line, a signal or the deadline, whichever comes
    // first; handles what it finds.
    void waitOnce(std::optional<Clock::time_point> deadline);
    bool listenOnLoopback();
    void waitOnTcp(std::optional<Clock::time_point> deadline);
    void serveAdapter();
    void readReplies();
    void heard(std::string_view bytes);
    void handleSignals();
    void reapPlotter();
    // Writes what the line takes now; returns the count written.
    size_t writeLine(std::string_view bytes);

    UniqueFd masterFd_;
    // The plotter's end is seen with the line; the requests to end reach
    // the plotter too.
    plotanix::SignalWatch signals_{SIGCHLD};
    std::string linePath_;
    pid_t plotter_ = -1;
    bool plotterEnded_ = false;
    int exitStatus_ = 0;
    // The plotter closed its end: the master reports a hang-up until the
    // slave is opened again, so it is left out of the waits meanwhile.
    bool lineHungUp_ = false;
    bool plotterAnswered_ = false;
    std::string replies_;
    // On HP-IB: the adapter at the other end of the pseudo-terminal.
    bool onBus_ = false;
    std::optional<plotanix::sim::SimulatedAdapter> adapter_;
    // Over TCP: the server the plotter connects to; masterFd_ is then the
    // connection, absent until the plotter opens its line.
    bool overTcp_ = false;
    UniqueFd listener_;
};

int SimulatedComputer::run(const fs::path& plotter, const std::string& drawing) {
    if (!openLine()) return fail(std::string("can't make a pseudo-terminal: ") + strerror(errno));
    if (!signals_.ok()) return fail(std::string("can't watch signals: ") + strerror(errno));
    if (overTcp_) {
        std::printf("Plotanix demo: a simulated HP-86B is a TCP server at %s.\n",
                    linePath_.c_str());
    } else if (onBus_) {
        std::printf("Plotanix demo: a simulated HP-86B is on HP-IB, behind a simulated USB-GPIB "
                    "adapter (an AR488) on %s;\nthe plotter is at address 5 (PLOTTER IS 705).\n",
                    linePath_.c_str());
    } else {
        std::printf("Plotanix demo: a simulated HP-86B is on %s.\n", linePath_.c_str());
    }
    std::printf("Press 1 at the menu to start plotting; the simulated HP-86B is waiting for the "
                "plotter.\n");
    std::fflush(stdout);
    if (!startPlotter(plotter)) return fail("can't start the plotter: " + plotter.string());
    if (waitForPlotter()) sendDrawing(drawing);
    const int status = waitForPlotterExit();
    if (status == 0) sayWhereFilesAre();
    return status;
}

bool SimulatedComputer::openLine() {
    if (overTcp_) return listenOnLoopback();
    masterFd_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!masterFd_ || grantpt(masterFd_.get()) != 0 || unlockpt(masterFd_.get()) != 0) return false;
    char name[128] = {};
    if (ptsname_r(masterFd_.get(), name, sizeof name) != 0) return false;
    linePath_ = name;
    // Settings made on the master are the slave's line discipline: raw, so
    // nothing is echoed or translated before the plotter sets its own.
    termios settings{};
    if (tcgetattr(masterFd_.get(), &settings) != 0) return false;
    cfmakeraw(&settings);
    if (tcsetattr(masterFd_.get(), TCSANOW, &settings) != 0) return false;
    if (!onBus_) return true;
    // Opened and closed once, the port reports its next opening (the board
    // restarts then); until it is opened the adapter is its own controller.
    ::close(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    adapter_.emplace(masterFd_.get());
    adapter_->resetOnOpen(boardRestart);
    lineHungUp_ = true;
    return true;
}

bool SimulatedComputer::startPlotter(const fs::path& plotter) {
    std::string program = plotter.string();
    std::string gpib = "--gpib", address = std::to_string(plotterAddress);
    // The line as the plain argument, so the start screen names the line the
    // plot really comes on, not COM1 (a network line too).
    std::string line = linePath_;
    std::vector<char*> argv = {program.data(), line.data()};
    if (onBus_) argv.insert(argv.end(), {gpib.data(), address.data()});
    argv.push_back(nullptr);

    // The plotter takes its signals itself: the actions caught here are its
    // defaults again once it starts.
    return posix_spawn(&plotter_, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
}

// "OI;" once a second until the plotter answers. Bytes sent while the
// plotter has not opened the line yet are discarded by it as stale input.
bool SimulatedComputer::waitForPlotter() {
    auto nextQuery = Clock::now();
    while (!plotterEnded_) {
        if (Clock::now() >= nextQuery) {
            writeLine(identifyQuery);
            if (!onBus_ && !overTcp_)
                lineHungUp_ = false; // the plotter may have opened the line again
            nextQuery += queryInterval;
        }
        waitOnce(nextQuery);
        if (plotterAnswered_) return true;
    }
    return false;
}

// In bursts of a few bytes, each followed by a pause that keeps the average
// at the line's speed; the plotter's chunks end only after 100 ms of silence.
void SimulatedComputer::sendDrawing(std::string_view drawing) {
    const auto start = Clock::now();
    size_t sent = 0;
    while (sent < drawing.size() && !plotterEnded_ && !lineHungUp_) {
        const size_t burst = std::min(burstSize, drawing.size() - sent);
        const size_t written = writeLine(drawing.substr(sent, burst));
        sent += written;
        // A full line (the plotter busy) gets a moment before the next try.
        const auto due = written > 0 ? start + byteTime * static_cast<int64_t>(sent)
                                     : Clock::now() + byteTime * static_cast<int64_t>(burstSize);
        while (Clock::now() < due && !plotterEnded_)
            waitOnce(due);
    }
}

int SimulatedComputer::waitForPlotterExit() {
    while (!plotterEnded_)
        waitOnce(std::nullopt);
    return exitStatus_;
}

bool SimulatedComputer::listenOnLoopback() {
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (!listener_ || bind(listener_.get(), raw, length) != 0 || listen(listener_.get(), 1) != 0 ||
        getsockname(listener_.get(), raw, &length) != 0)
        return false;
    linePath_ = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    lineHungUp_ = true; // until the plotter connects
    return true;
}

// The plotter connects each time it starts plotting, and its line closes
// when it goes back to its start screen or ends.
void SimulatedComputer::waitOnTcp(std::optional<Clock::time_point> deadline) {
    pollfd fds[3] = {{signals_.descriptor(), POLLIN, 0},
                     {listener_.get(), POLLIN, 0},
                     {masterFd_.get(), POLLIN, 0}};
    if (poll(fds, 3, plotanix::pollTimeout(deadline)) <= 0) return;
    if (fds[0].revents != 0) handleSignals();
    if ((fds[1].revents & POLLIN) != 0) {
        UniqueFd host(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (host) masterFd_ = std::move(host), lineHungUp_ = false;
        return;
    }
    if (fds[2].revents == 0) return;
    char bytes[256];
    const ssize_t count = recv(masterFd_.get(), bytes, sizeof bytes, MSG_DONTWAIT);
    if (count > 0) return heard(std::string_view(bytes, static_cast<size_t>(count)));
    if (count == 0 || (errno != EAGAIN && errno != EINTR)) masterFd_.reset(), lineHungUp_ = true;
}

void SimulatedComputer::waitOnce(std::optional<Clock::time_point> deadline) {
    if (overTcp_) return waitOnTcp(deadline);
    pollfd fds[2] = {{signals_.descriptor(), POLLIN, 0}, {masterFd_.get(), POLLIN, 0}};
    const nfds_t count = lineHungUp_ ? 1 : 2;
    if (onBus_ && lineHungUp_)
        deadline = plotanix::earlier(deadline, Clock::now() + closedPortCheck);
    const int ready = poll(fds, count, plotanix::pollTimeout(deadline));
    if (ready > 0 && fds[0].revents != 0) handleSignals();
    if (onBus_) return serveAdapter();
    if (ready <= 0) return;
    if (count == 2 && (fds[1].revents & POLLIN) != 0) readReplies();
    if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) lineHungUp_ = true;
}

// The adapter takes what the plotter wrote to it, and notices the port
// opened or closed; the computer reads at the plotter's address (ENTER 705)
// whatever reply is waiting there.
void SimulatedComputer::serveAdapter() {
    pollfd port = {masterFd_.get(), POLLIN, 0};
    if (poll(&port, 1, 0) < 0) return;
    adapter_->portEvents(port.revents);
    lineHungUp_ = (port.revents & (POLLHUP | POLLERR)) != 0;
    heard(adapter_->computerReads(plotterAddress).bytes);
}

// Reading every reply keeps the plotter's output from ever filling the line;
// only the tail that may be the start of the answer is kept.
void SimulatedComputer::readReplies() {
    char bytes[256];
    ssize_t count = 0;
    while ((count = read(masterFd_.get(), bytes, sizeof bytes)) > 0)
        heard(std::string_view(bytes, static_cast<size_t>(count)));
}

void SimulatedComputer::heard(std::string_view bytes) {
    replies_.append(bytes);
    if (replies_.find(identifyReply) != std::string::npos) plotterAnswered_ = true;
    if (replies_.size() > identifyReply.size())
        replies_.erase(0, replies_.size() - identifyReply.size());
}

void SimulatedComputer::handleSignals() {
    for (const int signalNumber : signals_.take()) {
        if (signalNumber == SIGCHLD) reapPlotter();
        // A Ctrl+C from the terminal reaches the plotter too; a second copy
        // of the same request does no harm.
        else if (!plotterEnded_)
            kill(plotter_, signalNumber);
    }
}

void SimulatedComputer::reapPlotter() {
    int status = 0;
    pid_t pid = 0;
    while ((pid = waitpid(plotter_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (pid != plotter_) return;
    plotterEnded_ = true;
    if (WIFEXITED(status))
        exitStatus_ = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        exitStatus_ = 128 + WTERMSIG(status);
}

// On HP-IB the bytes go to the plotter's address (OUTPUT 705), and nowhere
// while the adapter is not listening there.
size_t SimulatedComputer::writeLine(std::string_view bytes) {
    if (onBus_) return adapter_->computerSends(plotterAddress, bytes) ? bytes.size() : 0;
    if (overTcp_) {
        if (!masterFd_) return 0;
        const ssize_t sent =
            send(masterFd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent > 0 ? static_cast<size_t>(sent) : 0;
    }
    const ssize_t count = write(masterFd_.get(), bytes.data(), bytes.size());
    return count > 0 ? static_cast<size_t>(count) : 0;
}

// An instrument on HP-IB behind the simulated adapter, asked for its plot
// by the plotter in controller mode; it ends when the plotter ends.
class SimulatedBench {
  public:
    explicit SimulatedBench(std::string recipe) : recipe_(std::move(recipe)) {}
    int run(const fs::path& plotter);

  private:
    UniqueFd masterFd_;
    plotanix::SignalWatch signals_{SIGCHLD};
    std::string recipe_;
};

int SimulatedBench::run(const fs::path& plotter) {
    const plotanix::InstrumentRecipe* recipe = plotanix::findRecipe(recipe_);
    masterFd_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    char name[128] = {};
    termios raw{};
    if (!masterFd_ || grantpt(masterFd_.get()) != 0 || unlockpt(masterFd_.get()) != 0 ||
        ptsname_r(masterFd_.get(), name, sizeof name) != 0 || tcgetattr(masterFd_.get(), &raw) != 0)
        return fail(std::string("can't make a pseudo-terminal: ") + strerror(errno));
    cfmakeraw(&raw);
    tcsetattr(masterFd_.get(), TCSANOW, &raw);
    if (!signals_.ok()) return fail(std::string("can't watch signals: ") + strerror(errno));
    // The instruments' usual addresses; a scope's is set on its panel.
    const int address = recipe->address != 0 ? recipe->address : tdsAddress;
    plotanix::sim::SimulatedInstrument instrument =
        plotanix::sim::instrumentFor(recipe->name, address, recordGap);
    plotanix::sim::SimulatedAdapter adapter(masterFd_.get());
    adapter.attach(instrument);
    std::printf("Plotanix demo: a simulated instrument (%s) is at HP-IB address %d, behind a "
                "simulated USB-GPIB adapter (an AR488) on %s;\nthe plotter asks it for its plot.\n",
                std::string(recipe->title).c_str(), address, name);
    std::fflush(stdout);

    std::string program = plotter.string();
    std::vector<std::string> words = {
        program, "--acquire", std::string(recipe->name), "--gpib-address", std::to_string(address),
        name};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return fail("can't start the plotter: " + program);
    bool hungUp = false;
    for (;;) {
        pollfd fds[2] = {{signals_.descriptor(), POLLIN, 0}, {masterFd_.get(), POLLIN, 0}};
        // The adapter's reads run on its own time: looked at this often.
        // While nobody has the port open the master reports a hang-up
        // without end, so it is left out of the wait.
        poll(fds, hungUp ? 1 : 2, 10);
        hungUp = (fds[1].revents & POLLHUP) != 0;
        for (const int signalNumber : signals_.take())
            if (signalNumber != SIGCHLD) kill(child, signalNumber);
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) sayWhereFilesAre();
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        adapter.portEvents(static_cast<short>(fds[1].revents & ~POLLHUP));
    }
}

// The instrument behind a simulated VXI-11 gateway on the loopback, asked
// for its plot through it; it ends when the plotter ends.
int runLanBench(const plotanix::InstrumentRecipe& recipe, const fs::path& plotter) {
    plotanix::SignalWatch signals{SIGCHLD};
    if (!signals.ok()) return fail(std::string("can't watch signals: ") + strerror(errno));
    const int address = recipe.address != 0 ? recipe.address : tdsAddress;
    plotanix::sim::SimulatedInstrument instrument =
        plotanix::sim::instrumentFor(recipe.name, address, recordGap);
    plotanix::sim::SimulatedGateway gateway;
    if (gateway.portmapperPort() == 0)
        return fail(std::string("can't listen on the loopback: ") + strerror(errno));
    gateway.attach(instrument);
    const std::string line = "vxi11:127.0.0.1:" + std::to_string(gateway.portmapperPort()) +
                             "/gpib0," + std::to_string(address);
    std::printf("Plotanix demo: a simulated instrument (%s) is at HP-IB address %d, behind a "
                "simulated VXI-11 LAN/GPIB gateway\n(its portmapper on 127.0.0.1 port %d); the "
                "plotter asks it for its plot through %s.\n",
                std::string(recipe.title).c_str(), address, gateway.portmapperPort(), line.c_str());
    std::fflush(stdout);
    std::vector<std::string> words = {plotter.string(), "--acquire", std::string(recipe.name),
                                      line};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawn(&child, words[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return fail("can't start the plotter: " + words[0]);
    for (;;) {
        gateway.serve(std::chrono::milliseconds(10));
        for (const int signalNumber : signals.take())
            if (signalNumber != SIGCHLD) kill(child, signalNumber);
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) sayWhereFilesAre();
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool onBus = argc == 2 && std::string_view(argv[1]) == "--gpib";
    const bool overTcp = argc == 2 && std::string_view(argv[1]) == "--tcp";
    const bool lan = argc == 3 && std::string_view(argv[1]) == "--vxi11";
    const bool acquire = argc == 3 && (std::string_view(argv[1]) == "--acquire" || lan);
    const plotanix::InstrumentRecipe* recipe = acquire ? plotanix::findRecipe(argv[2]) : nullptr;
    if ((argc > 1 && !onBus && !overTcp && !acquire) || (argc > 2 && !acquire) ||
        (acquire && (recipe == nullptr || recipe->name == "custom"))) {
        std::fprintf(
            stderr,
            "Usage: plotanix-demo [--gpib | --tcp | --acquire INSTRUMENT | --vxi11 INSTRUMENT]\n"
            "  --gpib                 the HP-86B on HP-IB, through a simulated USB-GPIB "
            "adapter\n"
            "  --tcp                  the HP-86B as a TCP server on the loopback, the "
            "plotter connecting to it\n"
            "  --acquire INSTRUMENT   ask a simulated instrument for its plot: hp8753, "
            "hp8566b, hp8568b,\n"
            "                         hp8560e, hp3577a or tek-tds\n"
            "  --vxi11 INSTRUMENT     the same, the instrument behind a simulated VXI-11 "
            "LAN/GPIB gateway\n");
        return 2;
    }
    const fs::path programDir = programDirectory();
    const fs::path plotter = programDir / "plotanix";
    if (access(plotter.c_str(), X_OK) != 0)
        return fail("can't find the plotter: " + plotter.string());
    if (lan) return runLanBench(*recipe, plotter);
    if (acquire) return SimulatedBench(argv[2]).run(plotter);
    const fs::path drawingFile = drawingPath(programDir);
    const std::optional<std::string> drawing = readWholeFile(drawingFile);
    if (!drawing) return fail("can't read the demo drawing: " + drawingFile.string());
    SimulatedComputer computer(onBus, overTcp);
    return computer.run(plotter, *drawing);
}
