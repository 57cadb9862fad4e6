#include "serial/tty_line.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace plotanix {

namespace {

speed_t speedConstant(int32_t speed) {
    static constexpr struct {
        int32_t bits;
        speed_t constant;
    } table[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto& entry : table)
        if (entry.bits == speed) return entry.constant;
    return B0; // unknown
}

tcflag_t dataBitsFlag(int32_t dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    case 8:
        return CS8;
    default:
        return 0;
    }
}

// Raw both ways: no byte translated, added, dropped or acted upon (no echo,
// no signal characters, no XON/XOFF), and the modem lines ignored.
void makeRaw(termios& tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0; // reads are timed with poll()
    tio.c_cc[VTIME] = 0;
}

// The plotter keeps up with any host, so it never sends XOFF while it reads
// on; XON and XOFF from the host pause its replies and are taken by the
// driver, never handed over as data.
void setFlowFlags(termios& tio, FlowControl flow) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (flow == FlowControl::xonxoff) tio.c_iflag |= IXON | IXOFF;
    if (flow == FlowControl::inboundXonxoff) tio.c_iflag |= IXOFF;
    if (flow == FlowControl::rtscts) tio.c_cflag |= CRTSCTS;
}

// RTS is asserted while the plotter takes data when the host watches it,
// and held off otherwise; a pseudo-terminal has no modem lines and refuses.
void setRts(int fd, FlowControl flow) {
    const int rts = TIOCM_RTS;
    ioctl(fd, flow == FlowControl::rtscts ? TIOCMBIS : TIOCMBIC, &rts);
}

// glibc reports EINVAL when a device keeps its own character size or parity
// and nothing else changed; a pseudo-terminal always does (it has no
// character format). Accept the line if everything else took hold.
bool applyToDevice(int fd, const termios& wanted) {
    if (tcsetattr(fd, TCSANOW, &wanted) == 0) return true;
    termios now{};
    if (errno != EINVAL || tcgetattr(fd, &now) != 0) return false;
    const tcflag_t format = CSIZE | PARENB | PARODD;
    return now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
           now.c_lflag == wanted.c_lflag && (now.c_cflag & ~format) == (wanted.c_cflag & ~format) &&
           now.c_cc[VMIN] == wanted.c_cc[VMIN] && now.c_cc[VTIME] == wanted.c_cc[VTIME] &&
           cfgetispeed(&now) == cfgetispeed(&wanted) && cfgetospeed(&now) == cfgetospeed(&wanted);
}

// 0, or why the device refused: a driver that cannot do a speed either
// refuses it or quietly keeps another, so the speed is read back.
int applySettings(int fd, termios tio, const LineSettings& settings) {
    const termios before = tio;
    if (!applyLineSettings(tio, settings)) return unsupportedSpeed;
    if (applyToDevice(fd, tio)) {
        termios now{};
        if (tcgetattr(fd, &now) == 0 && cfgetospeed(&now) != cfgetospeed(&tio))
            return unsupportedSpeed;
        return 0;
    }
    // Refused: the speed alone tells which part it was.
    termios speedOnly = before;
    makeRaw(speedOnly);
    cfsetispeed(&speedOnly, cfgetispeed(&tio));
    cfsetospeed(&speedOnly, cfgetospeed(&tio));
    const int refused = applyToDevice(fd, speedOnly) ? unsupportedFraming : unsupportedSpeed;
    tcsetattr(fd, TCSANOW, &before);
    return refused;
}

} // namespace

bool applyLineSettings(termios& tio, const LineSettings& settings) {
    const speed_t baud = speedConstant(settings.baud);
    const tcflag_t size = dataBitsFlag(settings.dataBits);
    if (baud == B0 || size == 0) return false;
    makeRaw(tio);
    if (cfsetispeed(&tio, baud) != 0 || cfsetospeed(&tio, baud) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= size;
    switch (settings.parity) {
    case Parity::none:
        break;
    case Parity::even:
        tio.c_cflag |= PARENB;
        break;
    case Parity::odd:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case Parity::mark:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case Parity::space:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    }
    // A byte with a framing or parity error arrives marked, not as a NUL
    // or a garbled byte that would reach the plotter as data. Input checking
    // is on without a parity bit too: without it the drivers and the line
    // discipline pass a byte with a framing error on unmarked.
    tio.c_iflag |= PARMRK | INPCK;
    if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
    setFlowFlags(tio, settings.flow);
    return true;
}

size_t MarkedInput::decode(uint8_t* bytes, size_t count) {
    size_t out = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        switch (state_) {
        case State::data:
            if (byte == 0xFF) {
                state_ = State::afterFF;
            } else {
                bytes[out++] = byte;
            }
            break;
        case State::afterFF:
            if (byte == 0xFF) { // a real 0xFF, doubled by the kernel
                bytes[out++] = 0xFF;
                state_ = State::data;
            } else if (byte == 0) {
                state_ = State::afterFF00;
            } else { // not a mark: both bytes are data
                bytes[out++] = 0xFF;
                bytes[out++] = byte;
                state_ = State::data;
            }
            break;
        case State::afterFF00: // the byte that came with the error (0: a break)
            ++errors_;
            state_ = State::data;
            break;
        }
    }
    return out;
}

std::unique_ptr<TtyLine> TtyLine::open(const std::string& path, const LineSettings& settings,
                                       int& error) {
    error = ENOENT;
    if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    error = errno;
    if (!fd) return nullptr;
    termios tio{};
    if (tcgetattr(fd.get(), &tio) != 0) {
        error = errno; // ENOTTY: not a serial device
        return nullptr;
    }
    // A lock every Plotanix takes: TIOCEXCL alone does not keep out root.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error = EBUSY;
        return nullptr;
    }
    error = applySettings(fd.get(), tio, settings);
    if (error != 0) return nullptr;
    ioctl(fd.get(), TIOCEXCL);
    setRts(fd.get(), settings.flow);
    return std::unique_ptr<TtyLine>(new TtyLine(std::move(fd), settings));
}

TtyLine::~TtyLine() {
    ioctl(fd_.get(), TIOCNXCL);
}

bool TtyLine::hungUp() const {
    pollfd device{fd_.get(), POLLIN, 0};
    return ::poll(&device, 1, 0) > 0 && (device.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int TtyLine::take(std::span<uint8_t> buffer, bool& arrived) {
    arrived = false;
    while (true) {
        const ssize_t got = ::read(fd_.get(), buffer.data(), buffer.size());
        if (got > 0) {
            arrived = true;
            return static_cast<int>(marks_.decode(buffer.data(), static_cast<size_t>(got)));
        }
        if (got == 0) return buffer.empty() || !hungUp() ? 0 : -1;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

int TtyLine::inputWaiting() {
    int count = 0;
    if (ioctl(fd_.get(), FIONREAD, &count) != 0) return 0;
    return std::max(count, 0);
}

void TtyLine::discardInput() {
    tcflush(fd_.get(), TCIFLUSH);
}

bool TtyLine::probe() {
    return !hungUp() || inputWaiting() > 0;
}

ssize_t TtyLine::put(std::string_view bytes) {
    return ::write(fd_.get(), bytes.data(), bytes.size());
}

int TtyLine::outputWaiting() {
    int count = 0;
    if (ioctl(fd_.get(), TIOCOUTQ, &count) != 0) return 0;
    return std::max(count, 0);
}

size_t TtyLine::dropUnsent() {
    // Only what the driver counts: a pseudo-terminal counts nothing, and
    // its flush would take bytes already on their way to the other end.
    const int waiting = outputWaiting();
    if (waiting > 0) tcflush(fd_.get(), TCOFLUSH);
    return static_cast<size_t>(waiting);
}

Clock::duration TtyLine::wireTime(int bytes) const {
    const int bitsPerCharacter =
        1 + settings_.dataBits + (settings_.parity != Parity::none) + settings_.stopBits;
    const int64_t baud = std::max<int32_t>(settings_.baud, 1);
    return std::chrono::milliseconds(int64_t{bytes} * bitsPerCharacter * 1000 / baud + 1);
}

void TtyLine::setFlowControl(FlowControl flow) {
    termios tio{};
    if (tcgetattr(fd_.get(), &tio) != 0) return;
    setFlowFlags(tio, flow);
    applyToDevice(fd_.get(), tio);
    setRts(fd_.get(), flow);
}

} // namespace plotanix
