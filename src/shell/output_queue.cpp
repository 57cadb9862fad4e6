#include "shell/output_queue.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace plotanix {

OutputQueue::OutputQueue(int fd, size_t bound) : fd_(fd), bound_(bound) {
    flags_ = ::fcntl(fd_, F_GETFL);
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
}

OutputQueue::~OutputQueue() {
    flushNow();
    if (flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_);
}

void OutputQueue::line(std::string_view text) {
    if (failed_) return;
    if (queued_.size() + text.size() > bound_) {
        ++dropped_;
        return;
    }
    queued_ += text;
    writeQueued();
}

void OutputQueue::service(Clock::time_point) {
    writeQueued();
}

void OutputQueue::flushNow() {
    writeQueued();
    queued_.clear();
}

// As much as the descriptor takes now; once all the queued lines have
// gone, the count of those dropped meanwhile.
void OutputQueue::writeQueued() {
    while (!failed_) {
        if (queued_.empty()) {
            if (dropped_ == 0) return;
            queued_ = std::to_string(dropped_) + (dropped_ == 1 ? " line was" : " lines were") +
                      " dropped here: the reader of this output did not keep up\n";
            dropped_ = 0;
        }
        const ssize_t n = ::write(fd_, queued_.data(), queued_.size());
        if (n > 0) {
            queued_.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        failed_ = true; // EPIPE: nobody reads it any more
        queued_.clear();
        dropped_ = 0;
    }
}

} // namespace plotanix
