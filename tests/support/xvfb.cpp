#include "xvfb.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plotanix::testing {

namespace {

// Everything it needs is made before the fork: no allocation in the child.
[[noreturn]] void runServer(const char* screen, const char* readyFdText, int readyFd) {
    // The server must not outlive a test that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int quiet = ::open("/dev/null", O_RDWR);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        ::dup2(quiet, fd);
    ::fcntl(readyFd, F_SETFD, 0);
    // -displayfd: the server takes the first free display number itself and
    // writes it to fd once its socket is listening.
    ::execlp("Xvfb", "Xvfb", "-displayfd", readyFdText, "-screen", "0", screen, "-nolisten", "tcp",
             "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
}

// The display number the server writes, up to its line end; empty if none.
std::string readDisplayNumber(int readyFd) {
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (number.empty() || number.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{readyFd, POLLIN, 0};
        char c;
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0 ||
            ::read(readyFd, &c, 1) != 1)
            return "";
        number += c;
    }
    number.pop_back();
    return number;
}

} // namespace

bool XvfbServer::start(int width, int height) {
    stop();
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return false;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const std::string readyFdText = std::to_string(ready[1]);
    pid_ = ::fork();
    if (pid_ == 0) runServer(screen.c_str(), readyFdText.c_str(), ready[1]);
    ::close(ready[1]);
    const std::string number = pid_ > 0 ? readDisplayNumber(ready[0]) : "";
    ::close(ready[0]);
    if (number.empty()) {
        error_ = "Xvfb did not become ready in time (is it installed?)";
        stop();
        return false;
    }
    displayName_ = ":" + number;
    ::setenv("DISPLAY", displayName_.c_str(), 1);
    return true;
}

void XvfbServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    displayName_.clear();
}

} // namespace plotanix::testing
