#pragma once
// A simulated VXI-11 gateway on the loopback, served on a thread as its
// firmware would be, with the simulated instruments behind it. Header-only:
// the test binaries that use it link plotanix_sim.

#include "simulated_gateway.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace plotanix::testing {

class GatewayOnLan {
  public:
    explicit GatewayOnLan(sim::GatewayBehaviour behaviour = {}) : gateway_(std::move(behaviour)) {}
    ~GatewayOnLan() { stop(); }
    GatewayOnLan(const GatewayOnLan&) = delete;
    GatewayOnLan& operator=(const GatewayOnLan&) = delete;

    // Attached before start, outliving the gateway.
    void attach(sim::SimulatedInstrument& instrument) { gateway_.attach(instrument); }
    void start() {
        thread_ = std::thread([this] {
            while (!stop_) {
                const std::lock_guard lock(mutex_);
                gateway_.serve(std::chrono::milliseconds(2));
            }
        });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // "vxi11:127.0.0.1:PORT" and the device, if any.
    std::string line(const std::string& device = {}) const {
        return "vxi11:127.0.0.1:" + std::to_string(gateway_.portmapperPort()) +
               (device.empty() ? "" : "/" + device);
    }
    // The gateway's state, taken while it does not serve.
    template <typename Look> auto look(Look look) {
        const std::lock_guard lock(mutex_);
        return look(gateway_);
    }

  private:
    sim::SimulatedGateway gateway_;
    std::mutex mutex_;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

} // namespace plotanix::testing
