#include "serial/serial_link.h"

#include "serial/gpib_adapter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace plotanix {

namespace {

using std::chrono::milliseconds;

// The read time-outs of the line, in milliseconds.
constexpr int64_t readIntervalMs = 100;
constexpr int64_t readTotalPerByteMs = 10;
constexpr int64_t readTotalConstantMs = 100;

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

// Takes what the driver holds, up to room bytes: > 0 bytes read, 0 nothing
// waiting, -1 the line is gone (an I/O error). With VMIN and VTIME 0 a read
// of an empty queue gives 0 rather than EAGAIN, so 0 alone does not tell a
// hang-up; poll() does (see waitReadable).
int takeFromDriver(int fd, uint8_t* buffer, int room) {
    while (true) {
        const ssize_t got = ::read(fd, buffer, static_cast<size_t>(room));
        if (got >= 0) return static_cast<int>(got);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

// The plotter keeps up with any host, so it never sends XOFF while it reads
// on; XON and XOFF from the host pause its replies and are taken by the
// driver, never handed over as data.
void setFlowFlags(termios& tio, FlowControl flow) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (flow == FlowControl::xonxoff) tio.c_iflag |= IXON | IXOFF;
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

} // namespace

ReadTiming::ReadTiming(Clock::time_point start, int maxCount)
    : total_(start + milliseconds(readTotalPerByteMs * maxCount + readTotalConstantMs)),
      deadline_(total_) {}

void ReadTiming::byteArrived(Clock::time_point now) {
    deadline_ = std::min(total_, now + milliseconds(readIntervalMs));
}

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

std::string openErrorReason(int error) {
    if (isResolveError(error))
        return std::string("unknown host (") + gai_strerror(error - resolveErrorBase) + ")";
    switch (error) {
    case EBUSY:
        return "in use by another program";
    case unsupportedSpeed:
        return "unsupported speed";
    case unsupportedFraming:
        return "unsupported framing (data bits, parity or stop bits)";
    case ENOTTY:
        return "not a serial device";
    default:
        return std::strerror(error);
    }
}

std::vector<std::string> explainOpenError(const std::string& device, int error) {
    std::vector<std::string> lines = {device + ": " + openErrorReason(error)};
    struct stat info {};
    if (error != EACCES || ::stat(device.c_str(), &info) != 0) return lines;
    const group* owner = ::getgrgid(info.st_gid);
    if (owner == nullptr || info.st_gid == 0) return lines;
    lines.push_back("Add yourself to the group " + std::string(owner->gr_name) +
                    " (sudo usermod -aG " + owner->gr_name + " $USER), then log in again.");
    return lines;
}

SerialLink::~SerialLink() {
    closeSerialPort();
}

namespace {

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

bool SerialLink::openSerialPort(const std::string& devicePath, const LineSettings& settings) {
    closeSerialPort();
    settings_ = settings;
    openError_ = ENOENT;
    if (isNetworkName(devicePath)) return openNetwork(devicePath);
    if (devicePath.empty() || devicePath.find('\0') != std::string::npos) return false;
    UniqueFd fd(::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    openError_ = errno;
    if (!fd) return false;
    termios tio{};
    if (tcgetattr(fd.get(), &tio) != 0) {
        openError_ = errno; // ENOTTY: not a serial device
        return false;
    }
    // A lock every Plotanix takes: TIOCEXCL alone does not keep out root.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        openError_ = EBUSY;
        return false;
    }
    LineSettings wanted = settings;
    wanted.flow = flowControl();
    openError_ = applySettings(fd.get(), tio, wanted);
    if (openError_ != 0) return false;
    ioctl(fd.get(), TIOCEXCL);
    setRts(fd.get(), wanted.flow);
    fd_ = std::move(fd);
    lineLost_ = false;
    earlierErrors_ += marks_.errors();
    marks_ = MarkedInput();
    return true;
}

bool SerialLink::openNetwork(const std::string& name) {
    const std::optional<NetAddress> address = parseNetAddress(name);
    if (!address) return false;
    auto line = std::make_unique<NetLine>(*address, note_);
    openError_ = line->open(Clock::now()) ? 0 : line->error();
    if (openError_ != 0) return false;
    net_ = std::move(line);
    lineLost_ = false;
    return true;
}

size_t SerialLink::decode(uint8_t* bytes, size_t count) {
    return net_ ? count : marks_.decode(bytes, count);
}

FlowControl SerialLink::flowControl() const {
    if (requested_ == FlowControl::none || replyPath_ != ReplyPath::direct) return settings_.flow;
    return requested_;
}

void SerialLink::setReplyPath(ReplyPath path) {
    if (path == replyPath_) return;
    replyPath_ = path;
    reply_.clear();
    if (fd_) applyFlow();
}

void SerialLink::discardInput() {
    held_.clear();
    if (net_) net_->discardInput();
    if (fd_) tcflush(fd_.get(), TCIFLUSH);
}

int SerialLink::takeBytes(uint8_t* buffer, int room) {
    if (held_.empty())
        return net_ ? net_->take(buffer, room) : takeFromDriver(fd_.get(), buffer, room);
    const size_t n = std::min(held_.size(), static_cast<size_t>(room));
    std::memcpy(buffer, held_.data(), n);
    held_.erase(0, n);
    return static_cast<int>(n);
}

void SerialLink::requestFlowControl(FlowControl flow) {
    if (flow == requested_) return;
    requested_ = flow;
    if (fd_) applyFlow();
}

void SerialLink::applyFlow() {
    termios tio{};
    if (tcgetattr(fd_.get(), &tio) != 0) return;
    setFlowFlags(tio, flowControl());
    applyToDevice(fd_.get(), tio);
    setRts(fd_.get(), flowControl());
}

void SerialLink::closeSerialPort() {
    dropReplies();
    readerHolds_ = false;
    net_.reset();
    if (!fd_) return;
    ioctl(fd_.get(), TIOCNXCL);
    fd_.reset();
}

int SerialLink::serialInputWaiting() {
    int count = 0;
    if (net_)
        count = net_->inputWaiting();
    else if (!fd_ || ioctl(fd_.get(), FIONREAD, &count) != 0)
        count = 0;
    return static_cast<int>(
        std::min<size_t>(held_.size() + static_cast<size_t>(std::max(count, 0)), 1 << 30));
}

int SerialLink::serialOutputWaiting() {
    int count = 0;
    if (net_) return net_->outputWaiting();
    if (!fd_ || ioctl(fd_.get(), TIOCOUTQ, &count) != 0) return 0;
    return std::max(count, 0);
}

int SerialLink::readAvailable(std::span<uint8_t> buffer, bool* arrived) {
    replyComplete();
    if ((!isOpen() || lineLost_) && held_.empty()) return -1;
    const int room = static_cast<int>(std::min<size_t>(buffer.size(), 1 << 20));
    const int got = room > 0 ? takeBytes(buffer.data(), room) : 0;
    if (arrived != nullptr) *arrived = got > 0;
    if (got < 0) lineLost_ = true;
    if (got > 0) readerHolds_ = true;
    if (got <= 0) return got;
    // Bytes that came with an error are counted and dropped here.
    return static_cast<int>(decode(buffer.data(), static_cast<size_t>(got)));
}

bool SerialLink::probeLine() {
    if (!isOpen() || lineLost_) return false;
    if (net_) return !(lineLost_ = !net_->probe());
    pollfd device{fd_.get(), POLLIN, 0};
    if (::poll(&device, 1, 0) > 0 && (device.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
        serialInputWaiting() == 0)
        lineLost_ = true;
    return !lineLost_;
}

Clock::duration SerialLink::Wire::wireTime(int bytes) const {
    const LineSettings& settings_ = link_.settings_;
    const int bitsPerCharacter =
        1 + settings_.dataBits + (settings_.parity != Parity::none) + settings_.stopBits;
    const int64_t baud = std::max<int32_t>(settings_.baud, 1);
    return milliseconds(int64_t{bytes} * bitsPerCharacter * 1000 / baud + 1);
}

int SerialLink::writeSerialAfter(int32_t delayMs, std::string_view bytes) {
    if (replyPath_ != ReplyPath::direct) return writeSerial(bytes);
    if (!isOpen()) return 0;
    queue(bytes, delayMs);
    return static_cast<int>(bytes.size());
}

// Through an adapter a reply is gathered whole: the adapter sends a line
// on the bus as one message, and the computer reads one message a reply.
int SerialLink::writeSerial(std::string_view bytes) {
    if (!isOpen()) return 0;
    if (replyPath_ == ReplyPath::direct) queue(bytes, 0);
    if (replyPath_ == ReplyPath::adapterLines) reply_ += bytes;
    return static_cast<int>(bytes.size());
}

void SerialLink::replyComplete() {
    if (!reply_.empty()) queue(gpibReplyLine(std::exchange(reply_, {})), 0);
    replies_.replyComplete();
}

void SerialLink::queue(std::string_view bytes, int32_t delayMs) {
    if (replies_.add(bytes, delayMs, Clock::now()) && note_)
        note_("The computer read none of the plotter's replies for a while: further replies are "
              "dropped while " +
              std::to_string(ReplyQueue::maxBytes / 1024) + " KB wait.");
}

void SerialLink::sendToAdapter(std::string_view line) {
    if (!isOpen()) return;
    queue(std::string(line) + "\r\n", 0);
    replies_.replyComplete();
}

void SerialLink::dropReplies() {
    replies_.drop();
    reply_.clear();
}

std::optional<Clock::time_point> SerialLink::replyDue() const {
    return earlier(net_ ? net_->due() : std::nullopt, replies_.due());
}

void SerialLink::sendReplies(Clock::time_point now) {
    if (isOpen() && !lineLost_ && replies_.send(wire_, now) == EIO) lineLost_ = true;
    if (net_) net_->onTime(now, !replies_.empty() || !reply_.empty() || readerHolds_);
}

// A network line takes what its socket has room for now.
ssize_t SerialLink::Wire::put(std::string_view bytes) {
    if (link_.net_) return link_.net_->write(bytes);
    return ::write(link_.fd_.get(), bytes.data(), bytes.size());
}

} // namespace plotanix
