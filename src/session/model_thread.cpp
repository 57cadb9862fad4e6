#include "session/model_thread.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <utility>

namespace plotanix {

ModelThread::~ModelThread() {
    abandon();
    if (thread_.joinable()) thread_.join();
}

void ModelThread::abandon() {
    std::unique_lock lock(mutex_);
    abandoned_ = ended_ = true;
    if (thread_.joinable() && !finished_) handOver(lock);
}

void ModelThread::start() {
    // Signals are the program's, handled on its own thread: the model's
    // thread takes none, so a wait there is never cut short by one.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] {
        {
            std::unique_lock lock(mutex_);
            turn_.wait(lock, [this] { return modelsTurn_; });
        }
        try {
            body_();
        } catch (const Abandoned&) {
        } catch (...) {
            failure_ = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        modelsTurn_ = false;
        turn_.notify_all();
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Gives the turn to the model and waits until it gives it back.
void ModelThread::handOver(std::unique_lock<std::mutex>& lock) {
    modelsTurn_ = true;
    turn_.notify_all();
    turn_.wait(lock, [this] { return !modelsTurn_; });
}

void ModelThread::feed(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    {
        std::unique_lock lock(mutex_);
        if (finished_ || ended_) return;
        if (!thread_.joinable()) start();
        pending_ = bytes;
        handOver(lock);
        pending_ = {};
    }
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ModelThread::end() {
    {
        std::unique_lock lock(mutex_);
        if (ended_) return;
        ended_ = true;
        if (!thread_.joinable() || finished_) return;
        handOver(lock);
    }
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

bool ModelThread::finished() const {
    std::lock_guard lock(mutex_);
    return finished_ || (ended_ && !thread_.joinable());
}

std::span<const uint8_t> ModelThread::waitForBytes() {
    std::unique_lock lock(mutex_);
    while (pending_.empty() && !ended_) {
        modelsTurn_ = false;
        turn_.notify_all();
        turn_.wait(lock, [this] { return modelsTurn_; });
    }
    if (abandoned_) throw Abandoned{};
    return pending_;
}

void ModelThread::taken(size_t count) {
    std::lock_guard lock(mutex_);
    pending_ = pending_.subspan(std::min(count, pending_.size()));
}

size_t ModelThread::takeBytes(std::span<uint8_t> buffer) {
    const std::span<const uint8_t> bytes = waitForBytes();
    const size_t count = std::min(buffer.size(), bytes.size());
    if (count == 0) return 0;
    std::memcpy(buffer.data(), bytes.data(), count);
    taken(count);
    return count;
}

} // namespace plotanix
