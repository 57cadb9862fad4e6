#include "serial/serial_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netdb.h>
#include <sys/stat.h>

namespace plotanix {

namespace {

using std::chrono::milliseconds;

// The read time-outs of the line, in milliseconds.
constexpr int64_t readIntervalMs = 100;
constexpr int64_t readTotalPerByteMs = 10;
constexpr int64_t readTotalConstantMs = 100;

} // namespace

ReadTiming::ReadTiming(Clock::time_point start, int maxCount)
    : total_(start + milliseconds(readTotalPerByteMs * maxCount + readTotalConstantMs)),
      deadline_(total_) {}

void ReadTiming::byteArrived(Clock::time_point now) {
    deadline_ = std::min(total_, now + milliseconds(readIntervalMs));
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

std::vector<std::string> serialDevicesPresent(const std::string& devRoot,
                                              const std::string& sysRoot) {
    namespace fs = std::filesystem;
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(devRoot) / "serial/by-id", error))
        found.push_back("/dev/serial/by-id/" + entry.path().filename().string());
    std::vector<std::string> ttys;
    for (const auto& entry : fs::directory_iterator(devRoot, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) {
            ttys.push_back(name);
        } else if (name.starts_with("ttyS")) {
            std::ifstream type(fs::path(sysRoot) / "class/tty" / name / "type");
            int uart = 0;
            if (type >> uart && uart != 0) ttys.push_back(name);
        }
    }
    // In the order of their numbers: ttyUSB2 before ttyUSB10.
    std::sort(ttys.begin(), ttys.end(), [](const std::string& a, const std::string& b) {
        const size_t ad = a.find_first_of("0123456789"), bd = b.find_first_of("0123456789");
        if (a.substr(0, ad) != b.substr(0, bd)) return a < b;
        return std::make_pair(a.size(), a) < std::make_pair(b.size(), b);
    });
    std::sort(found.begin(), found.end());
    for (const std::string& name : ttys)
        found.push_back("/dev/" + name);
    return found;
}

std::vector<std::string> explainOpenError(const std::string& device, int error,
                                          const std::string& devRoot, const std::string& sysRoot) {
    std::vector<std::string> lines = {device + ": " + openErrorReason(error)};
    if (error == ENOENT) {
        const std::vector<std::string> present = serialDevicesPresent(devRoot, sysRoot);
        std::string list;
        for (const std::string& name : present)
            list += (list.empty() ? "" : ", ") + name;
        lines[0] +=
            present.empty() ? "; no serial devices found" : "; serial devices here: " + list;
    }
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

// The one place that tells a network line's name from a device's.
bool SerialLink::openSerialPort(const std::string& devicePath, const LineSettings& settings) {
    closeSerialPort();
    settings_ = settings;
    openError_ = ENOENT;
    if (isNetworkName(devicePath)) {
        const std::optional<NetAddress> address = parseNetAddress(devicePath);
        if (!address) return false;
        if (work_ == nullptr) {
            if (!ownWork_) ownWork_ = std::make_unique<BackgroundWork>();
            work_ = ownWork_.get();
        }
        auto line = std::make_unique<NetLine>(*address, *work_, note_);
        line->giveWayAfter(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(settings.giveWaySeconds)));
        openError_ = line->open(Clock::now()) ? 0 : line->error();
        if (openError_ == 0) line_ = std::move(line);
    } else {
        LineSettings wanted = settings;
        wanted.flow = flowControl();
        line_ = TtyLine::open(devicePath, wanted, openError_);
    }
    lineLost_ = false;
    return line_ != nullptr;
}

bool SerialLink::closeIfOpenFailed() {
    const int error = line_ ? line_->lateOpenError() : 0;
    if (error == 0) return false;
    closeSerialPort();
    openError_ = error;
    return true;
}

FlowControl SerialLink::flowControl() const {
    // A printer keeps the flow control the line was set up with, its XON
    // and XOFF only pacing the host.
    if (requested_ == FlowControl::inboundXonxoff)
        return settings_.flow == FlowControl::xonxoff ? requested_ : settings_.flow;
    if (requested_ == FlowControl::none || replyPath_ != ReplyPath::direct) return settings_.flow;
    return requested_;
}

void SerialLink::setReplyPath(ReplyPath path) {
    if (path == replyPath_) return;
    replyPath_ = path;
    framed_.drop();
    applyFlow();
}

void SerialLink::requestFlowControl(FlowControl flow) {
    if (flow == requested_) return;
    requested_ = flow;
    applyFlow();
}

void SerialLink::applyFlow() {
    if (line_) line_->setFlowControl(flowControl());
}

void SerialLink::discardInput() {
    unreadData_.clear();
    if (line_) line_->discardInput();
}

void SerialLink::closeSerialPort() {
    dropReplies();
    readerHolds_ = false;
    if (line_) earlierErrors_ += line_->errors();
    line_.reset();
}

int SerialLink::serialInputWaiting() {
    const int count = line_ ? line_->inputWaiting() : 0;
    return static_cast<int>(
        std::min<size_t>(unreadData_.size() + static_cast<size_t>(std::max(count, 0)), 1 << 30));
}

int SerialLink::serialOutputWaiting() {
    return line_ ? line_->outputWaiting() : 0;
}

int SerialLink::readAvailable(std::span<uint8_t> buffer, bool* arrived) {
    replyComplete();
    if (arrived != nullptr) *arrived = false;
    buffer = buffer.first(std::min<size_t>(buffer.size(), 1 << 20));
    if (!unreadData_.empty()) {
        const size_t n = std::min(unreadData_.size(), buffer.size());
        std::memcpy(buffer.data(), unreadData_.data(), n);
        unreadData_.erase(0, n);
        if (arrived != nullptr) *arrived = n > 0;
        readerHolds_ = readerHolds_ || n > 0;
        return static_cast<int>(n);
    }
    if (!line_ || lineLost_) return -1;
    bool came = false;
    const int got = buffer.empty() ? 0 : line_->take(buffer, came);
    if (arrived != nullptr) *arrived = came;
    if (got < 0) lineLost_ = true;
    if (got > 0) readerHolds_ = true;
    return got;
}

bool SerialLink::probeLine() {
    if (!line_ || lineLost_) return false;
    if (!line_->probe() && unreadData_.empty()) lineLost_ = true;
    return !lineLost_;
}

int SerialLink::writeSerialAfter(int32_t delayMs, std::string_view bytes) {
    if (replyPath_ != ReplyPath::direct) return writeSerial(bytes);
    if (!isOpen()) return 0;
    queue(bytes, delayMs);
    return static_cast<int>(bytes.size());
}

// Through an adapter a reply is gathered whole (see GpibReplyFraming).
int SerialLink::writeSerial(std::string_view bytes) {
    if (!isOpen()) return 0;
    if (replyPath_ == ReplyPath::direct) queue(bytes, 0);
    if (replyPath_ == ReplyPath::adapterLines) framed_.add(bytes);
    return static_cast<int>(bytes.size());
}

void SerialLink::replyComplete() {
    sayDropped(framed_.complete(Clock::now()));
    replies_.replyComplete();
}

void SerialLink::queue(std::string_view bytes, int32_t delayMs) {
    sayDropped(replies_.add(bytes, delayMs, Clock::now()));
}

void SerialLink::sayDropped(bool firstDropped) {
    if (firstDropped && note_)
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
    framed_.drop();
}

size_t SerialLink::dropUnsent() {
    const size_t queued = replies_.unsent() + framed_.size();
    dropReplies();
    return queued + (line_ ? line_->dropUnsent() : 0);
}

std::optional<Clock::time_point> SerialLink::replyDue() const {
    return earlier(line_ ? line_->due() : std::nullopt, replies_.due());
}

void SerialLink::sendReplies(Clock::time_point now) {
    if (!line_) return;
    if (!lineLost_ && replies_.send(*line_, now) == EIO) lineLost_ = true;
    line_->onTime(now, !replies_.empty() || !framed_.empty() || readerHolds_);
}

} // namespace plotanix
