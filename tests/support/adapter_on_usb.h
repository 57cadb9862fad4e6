#pragma once
// A simulated USB-GPIB adapter (an AR488) at the master end of a
// pseudo-terminal, served on a thread as its firmware would be, behind a
// link the code under test opens as its device. It can be pulled out (the
// pseudo-terminal closed, the link pointing nowhere) and plugged in again:
// a new pseudo-terminal and a fresh board. Header-only: the test binaries
// that use it link plotanix_sim.

#include "simulated_adapter.h"
#include "support/switchable_line.h"
#include "support/wait_until.h"

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace plotanix::testing {

class AdapterOnUsb {
  public:
    // resetOnOpen: the board restarts when its port is opened (an Uno), deaf
    // for this long.
    explicit AdapterOnUsb(std::chrono::milliseconds resetOnOpen = {},
                          std::string version = std::string(sim::SimulatedAdapter::defaultVersion))
        : resetOnOpen_(resetOnOpen), version_(std::move(version)) {
        plugIn();
    }
    ~AdapterOnUsb() { stopServing(); }
    AdapterOnUsb(const AdapterOnUsb&) = delete;
    AdapterOnUsb& operator=(const AdapterOnUsb&) = delete;

    const std::string& path() const { return device_.path(); }

    // A fresh board on a new pseudo-terminal; its port starts closed, so
    // its opening is seen.
    void plugIn() {
        stopServing();
        device_.plugIn([this](PtyPair& pair) {
            ::close(::open(pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
            adapter_ = std::make_unique<sim::SimulatedAdapter>(pair.masterFd(), version_);
            adapter_->resetOnOpen(resetOnOpen_);
        });
        stop_ = false;
        thread_ = std::thread([this] { serve(); });
        waitUntil([this] {
            const std::lock_guard lock(mutex_);
            return adapter_->portClosed();
        });
    }
    // The board drops off the USB.
    void pullOut() {
        stopServing();
        device_.pullOut();
    }

    // The board's state, taken while it does not serve the host.
    template <typename Look> auto look(Look look) {
        const std::lock_guard lock(mutex_);
        return look(*adapter_);
    }

  private:
    void serve() {
        while (!stop_) {
            pollfd in{device_.pair().masterFd(), POLLIN, 0};
            const int ready = ::poll(&in, 1, 20);
            {
                const std::lock_guard lock(mutex_);
                adapter_->portEvents(ready > 0 ? in.revents : 0);
            }
            // Nobody has the port open: the master reports it without end.
            if (ready > 0 && (in.revents & POLLHUP) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    void stopServing() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    SwitchableLine device_;
    std::chrono::milliseconds resetOnOpen_;
    std::string version_;
    std::unique_ptr<sim::SimulatedAdapter> adapter_;
    std::mutex mutex_;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

} // namespace plotanix::testing
