#include "support/pty_pair.h"

#include "common/deadline.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace plotanix::testing {

PtyPair::PtyPair(bool holdSlave) {
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    const int fd = master.get();
    char name[128] = {};
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        error_ = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    // Terminal settings made on the master apply to the slave's line
    // discipline: raw, so nothing is echoed or translated before the code
    // under test sets its own.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    masterFd_ = std::move(master);
    slavePath_ = name;
    if (holdSlave) slaveFd_.reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

PtyPair::~PtyPair() = default;

bool PtyPair::writeMaster(std::string_view bytes, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (masterFd_.valid() && !bytes.empty()) {
        const ssize_t put = ::write(masterFd_.get(), bytes.data(), bytes.size());
        if (put > 0) {
            bytes.remove_prefix(static_cast<size_t>(put));
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd out = {masterFd_.get(), POLLOUT, 0};
        if (msUntil(deadline) == 0) return false;
        ::poll(&out, 1, msUntil(deadline));
    }
    return bytes.empty();
}

bool PtyPair::readSome(std::string& into, size_t limit, int timeoutMs) {
    pollfd in = {masterFd_.get(), POLLIN, 0};
    const int ready = ::poll(&in, 1, timeoutMs);
    if (ready <= 0) return ready < 0 && errno == EINTR;
    char chunk[4096];
    const ssize_t got = ::read(masterFd_.get(), chunk, std::min(limit, sizeof chunk));
    if (got > 0) into.append(chunk, static_cast<size_t>(got));
    // EIO: no slave is open any more.
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}

std::string PtyPair::readMaster(size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string received;
    while (masterFd_.valid() && received.size() < n && msUntil(deadline) > 0)
        if (!readSome(received, n - received.size(), msUntil(deadline))) break;
    return received;
}

std::string PtyPair::readMasterUntil(std::string_view terminator,
                                     std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string received;
    while (masterFd_.valid() && !std::string_view(received).ends_with(terminator) &&
           msUntil(deadline) > 0)
        if (!readSome(received, 1, msUntil(deadline))) break; // never past the terminator
    return received;
}

int PtyPair::masterInputWaiting() const {
    int count = 0;
    if (!masterFd_.valid() || ioctl(masterFd_.get(), FIONREAD, &count) != 0) return 0;
    return count;
}

void PtyPair::closeMaster() {
    masterFd_.reset();
}

} // namespace plotanix::testing
