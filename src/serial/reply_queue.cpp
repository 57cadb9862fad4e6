#include "serial/reply_queue.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace plotanix {

bool ReplyQueue::add(std::string_view bytes, int32_t delayMs, Clock::time_point now) {
    bool firstDropped = false;
    if (!replyStarted_) {
        replyStarted_ = true;
        dropping_ = bytes_ >= maxBytes;
        firstDropped = dropping_ && !std::exchange(droppedSaid_, true);
    }
    const bool afterDrain = std::exchange(drainFirst_, false);
    if (dropping_ || bytes.empty()) return firstDropped;
    if (pieces_.empty()) { // looked at on the loop's next turn
        nextLook_.reset();
        waitsForRoom_ = false;
    }
    Piece piece;
    piece.bytes = bytes;
    piece.queuedAt = now;
    piece.delayMs = std::max(delayMs, 0);
    piece.afterDrain = afterDrain;
    pieces_.push_back(std::move(piece));
    bytes_ += bytes.size();
    return firstDropped;
}

void ReplyQueue::drop() {
    pieces_.clear();
    bytes_ = 0;
    drainFirst_ = replyStarted_ = dropping_ = waitsForRoom_ = droppedSaid_ = false;
    nextLook_.reset();
}

std::optional<Clock::time_point> ReplyQueue::due() const {
    if (pieces_.empty() || waitsForRoom_) return std::nullopt;
    return nextLook_ ? *nextLook_ : Clock::time_point{}; // not looked at yet: at once
}

// Each piece waits for the line to drain (if asked), then for its delay
// counted from then, then for the line to take its bytes; the next piece
// starts from when this one went.
int ReplyQueue::send(Line& line, Clock::time_point now) {
    waitsForRoom_ = false;
    nextLook_.reset();
    while (!pieces_.empty()) {
        Piece& head = pieces_.front();
        if (!head.clearAt) {
            const int waiting = head.afterDrain ? line.outputWaiting() : 0;
            if (waiting > 0) {
                if (!head.drainUntil) head.drainUntil = now + drainLimit;
                if (now < *head.drainUntil) {
                    nextLook_ = std::min(*head.drainUntil, now + line.wireTime(waiting));
                    return 0;
                }
            }
            head.clearAt = head.drainUntil ? now : std::max(head.queuedAt, lastSent_);
        }
        const Clock::time_point due = *head.clearAt + std::chrono::milliseconds(head.delayMs);
        if (now < due) {
            nextLook_ = due;
            return 0;
        }
        const ssize_t put = line.put(std::string_view(head.bytes).substr(head.sent));
        if (put > 0) {
            head.sent += static_cast<size_t>(put);
            if (head.sent < head.bytes.size()) continue;
            bytes_ -= head.bytes.size();
            pieces_.pop_front();
            lastSent_ = now;
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            waitsForRoom_ = true; // the host holds the line, or its buffer is full
            return 0;
        }
        const int failure = errno;
        drop(); // nobody is left to read them
        return failure;
    }
    if (bytes_ == 0) droppedSaid_ = false;
    return 0;
}

} // namespace plotanix
