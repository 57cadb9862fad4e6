#include "common/background_work.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace plotanix {

namespace {

// The lanes whose queued work is dropped as the ending begins: a page's
// file and a print are given the ending's budget to be done.
constexpr bool mayDrop(size_t lane) {
    return lane == static_cast<size_t>(BackgroundWork::Lane::lookups) ||
           lane == static_cast<size_t>(BackgroundWork::Lane::overlays);
}

} // namespace

// What the workers hand back, shared with them: an abandoned worker may
// outlive this object, and then writes to a descriptor still its own.
struct BackgroundWork::Shared {
    struct Finished {
        uint64_t id = 0;
        size_t lane = 0;
        Done done;
    };
    UniqueFd wake{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::mutex mutex;
    std::deque<Finished> finished;
    bool abandoned = false;

    void tell() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(wake.get(), &one, sizeof one);
    }
};

struct BackgroundWork::Queue {
    struct Item {
        uint64_t id = 0;
        Work work;
    };
    // The worker's side, under the mutex.
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> items;
    bool running = false;
    bool stop = false;
    std::thread worker;
    // The loop's side: each item not yet handed back, in order, with what
    // to say should it never be.
    std::deque<std::pair<uint64_t, Undone>> outstanding;
    uint64_t nextId = 1;

    static void work(const std::shared_ptr<Queue>& queue, const std::shared_ptr<Shared>& shared,
                     size_t lane) {
        std::unique_lock lock(queue->mutex);
        while (true) {
            queue->wake.wait(lock, [&] { return queue->stop || !queue->items.empty(); });
            if (queue->stop) return;
            Item item = std::move(queue->items.front());
            queue->items.pop_front();
            queue->running = true;
            lock.unlock();
            Done done;
            try {
                done = item.work();
            } catch (...) {
                done = nullptr; // a work that throws hands back nothing
            }
            item.work = nullptr; // what it owned goes now, off the loop
            {
                const std::lock_guard told(shared->mutex);
                if (!shared->abandoned)
                    shared->finished.push_back({item.id, lane, std::move(done)});
            }
            shared->tell();
            lock.lock();
            queue->running = false;
        }
    }

    // Queued work taken back by the loop, in order.
    std::deque<Item> takeQueued() {
        const std::lock_guard lock(mutex);
        return std::exchange(items, {});
    }

    Undone forget(uint64_t id) {
        for (auto it = outstanding.begin(); it != outstanding.end(); ++it) {
            if (it->first != id) continue;
            Undone undone = std::move(it->second);
            outstanding.erase(it);
            return undone;
        }
        return nullptr;
    }

    // The worker is told to stop; it is joined when it is idle (it ends at
    // once), else left to finish alone.
    void release() {
        bool busy = false;
        {
            const std::lock_guard lock(mutex);
            stop = true;
            items.clear();
            busy = running;
        }
        wake.notify_one();
        if (!worker.joinable()) return;
        if (busy) {
            worker.detach();
        } else {
            worker.join();
        }
    }
};

BackgroundWork::BackgroundWork() : shared_(std::make_shared<Shared>()) {
    for (auto& lane : lanes_)
        lane = std::make_shared<Queue>();
}

BackgroundWork::~BackgroundWork() {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->abandoned = true;
    }
    for (auto& lane : lanes_)
        lane->release();
}

int BackgroundWork::descriptor() const {
    return shared_->wake.get();
}

void BackgroundWork::submit(Lane lane, Work work, Undone undone) {
    const auto index = static_cast<size_t>(lane);
    Queue& queue = *lanes_[index];
    if (abandoned_ || (ending_ && mayDrop(index))) {
        if (undone) undone(false);
        return;
    }
    const auto inline_ = [&] {
        if (Done done = work()) done();
    };
    if (!shared_->wake) return inline_();
    if (!queue.worker.joinable()) {
        try {
            queue.worker = std::thread(Queue::work, lanes_[index], shared_, index);
        } catch (const std::system_error&) {
            return inline_(); // no thread to be had: done now, not lost
        }
    }
    const uint64_t id = queue.nextId++;
    queue.outstanding.emplace_back(id, std::move(undone));
    {
        const std::lock_guard lock(queue.mutex);
        queue.items.push_back({id, std::move(work)});
    }
    queue.wake.notify_one();
}

size_t BackgroundWork::pending(Lane lane) const {
    return lanes_[static_cast<size_t>(lane)]->outstanding.size();
}

bool BackgroundWork::idle() const {
    for (const auto& lane : lanes_)
        if (!lane->outstanding.empty()) return false;
    return true;
}

void BackgroundWork::service(Clock::time_point) {
    uint64_t count = 0;
    while (::read(shared_->wake.get(), &count, sizeof count) > 0) {
    }
    handBack();
}

// Each finished work's result, in the order finished; a result may submit
// more work.
void BackgroundWork::handBack() {
    while (true) {
        Shared::Finished finished;
        {
            const std::lock_guard lock(shared_->mutex);
            if (shared_->finished.empty()) return;
            finished = std::move(shared_->finished.front());
            shared_->finished.pop_front();
        }
        lanes_[finished.lane]->forget(finished.id);
        if (finished.done) finished.done();
    }
}

void BackgroundWork::endWork() {
    ending_ = true;
    for (size_t index = 0; index < laneCount; ++index) {
        if (!mayDrop(index)) continue;
        Queue& queue = *lanes_[index];
        for (Queue::Item& item : queue.takeQueued())
            if (Undone undone = queue.forget(item.id)) undone(false);
    }
}

void BackgroundWork::abandon() {
    ending_ = true;
    handBack(); // what has finished is not abandoned
    abandoned_ = true;
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->abandoned = true;
    }
    for (auto& lane : lanes_) {
        Queue& queue = *lane;
        std::deque<Queue::Item> queued = queue.takeQueued();
        // What is left outstanding and not queued is the one under way.
        auto outstanding = std::exchange(queue.outstanding, {});
        for (auto& [id, undone] : outstanding) {
            bool queuedItem = false;
            for (const Queue::Item& item : queued)
                queuedItem = queuedItem || item.id == id;
            if (undone) undone(!queuedItem);
        }
        queue.release();
    }
}

} // namespace plotanix
