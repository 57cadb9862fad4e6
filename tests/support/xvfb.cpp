#include "xvfb.h"

#include "wait_until.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plotanix::testing {

namespace {

constexpr auto startDeadline = std::chrono::seconds(20);

bool socketAccepts(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool accepted =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

[[noreturn]] void runServer(const char* screen, const char* readyFdText, int readyFd) {
    // The server must not outlive a test that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int quiet = ::open("/dev/null", O_RDWR);
    ::dup2(quiet, STDIN_FILENO);
    ::dup2(quiet, STDOUT_FILENO);
    ::dup2(quiet, STDERR_FILENO);
    ::fcntl(readyFd, F_SETFD, 0);
    // -displayfd: the server takes the first free display number itself
    // (socket and lock file) and writes it to fd once clients can connect.
    ::execlp("Xvfb", "Xvfb", "-displayfd", readyFdText, "-screen", "0", screen, "-nolisten", "tcp",
             "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
}

} // namespace

bool XvfbServer::start(int width, int height, int depth) {
    stop();
    error_.clear();
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string screen =
        std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    const bool launched = launch(screen, ready[1]);
    ::close(ready[1]);
    const bool ok = launched && awaitReady(ready[0]);
    ::close(ready[0]);
    if (!ok) stop();
    return ok;
}

bool XvfbServer::launch(const std::string& screen, int readyFd) {
    // Everything the child needs is made before the fork.
    const std::string readyFdText = std::to_string(readyFd);
    pid_ = ::fork();
    if (pid_ == 0) runServer(screen.c_str(), readyFdText.c_str(), readyFd);
    if (pid_ < 0) error_ = std::string("fork: ") + std::strerror(errno);
    return pid_ > 0;
}

bool XvfbServer::awaitReady(int readyFd) {
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + startDeadline;
    while (number.empty() || number.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{readyFd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            error_ = "Xvfb did not become ready in time";
            return false;
        }
        char c;
        if (::read(readyFd, &c, 1) != 1) {
            error_ = "Xvfb ended before it was ready (is it installed?)";
            return false;
        }
        number += c;
    }
    number.pop_back();
    const std::string socketPath = "/tmp/.X11-unix/X" + number;
    if (!waitUntil([&] { return socketAccepts(socketPath); }, startDeadline)) {
        error_ = "Xvfb's socket " + socketPath + " does not accept connections";
        return false;
    }
    const char* previous = std::getenv("DISPLAY");
    hadDisplay_ = previous != nullptr;
    savedDisplay_ = previous != nullptr ? previous : "";
    displayName_ = ":" + number;
    ::setenv("DISPLAY", displayName_.c_str(), 1);
    return true;
}

void XvfbServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (!displayName_.empty()) {
        if (hadDisplay_) {
            ::setenv("DISPLAY", savedDisplay_.c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
        displayName_.clear();
    }
}

} // namespace plotanix::testing
