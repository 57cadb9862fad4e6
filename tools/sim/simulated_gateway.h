#pragma once
// A VXI-11 LAN/GPIB gateway (as an E5810 or an ICS 8065 is), simulated on
// the loopback: a portmapper that knows the core channel's port, and the
// core channel in front of the simulated instruments ("gpib0,ADDR" each at
// its address; "inst0" the first attached, as a LAN instrument). Served a
// turn at a time, a push parser on its own wait; it can answer slowly,
// split its replies, answer a procedure with an error code, drop the
// connection at a read or answer nothing at all. For the demo and the tests.

#include "common/unique_fd.h"
#include "simulated_instrument.h"
#include "vxi11/rpc_wire.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plotanix::sim {

// How the simulated gateway misbehaves, if it does.
struct GatewayBehaviour {
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds latency{}; // before each reply
    size_t readPiece = 0;                // a read's most bytes (reason 0 then); 0: as asked
    size_t sendPiece = 0;                // replies go out this many bytes a turn; 0: whole
    uint32_t maxRecvSize = 1024;
    std::map<uint32_t, int32_t> errors{}; // a procedure and the error code it answers
    uint32_t silentAt = 0;                // a procedure never answered
    int dropAtRead = 0;                   // the connection closes at this device_read (1 first)
    bool noCoreChannel = false;           // the portmapper answers port 0
};

class SimulatedGateway {
  public:
    using Clock = std::chrono::steady_clock;
    using Behaviour = GatewayBehaviour;

    explicit SimulatedGateway(Behaviour behaviour = {});
    ~SimulatedGateway();
    SimulatedGateway(const SimulatedGateway&) = delete;
    SimulatedGateway& operator=(const SimulatedGateway&) = delete;

    // Owned by the caller, outliving the gateway.
    void attach(SimulatedInstrument& instrument) { instruments_.push_back(&instrument); }
    uint16_t portmapperPort() const { return portmapperPort_; }
    uint16_t corePort() const { return corePort_; }
    // One turn: waits at most wait for its sockets, then serves what came
    // and what is due.
    void serve(std::chrono::milliseconds wait);

    // What the simulation saw, for the tests.
    int calls(vxi11::Procedure procedure) const;
    int getPorts() const { return getPorts_; }
    int linksOpen() const { return static_cast<int>(links_.size()); }
    const std::vector<std::string>& devicesLinked() const { return devices_; }
    // Each device_write's flags and bytes, in order.
    const std::vector<vxi11::WriteParms>& writes() const { return writes_; }

  private:
    struct Connection;
    struct Link {
        SimulatedInstrument* instrument = nullptr;
        const Connection* owner = nullptr;
    };
    struct PendingRead {
        uint32_t xid = 0;
        vxi11::ReadParms parms;
        Clock::time_point until{};
        std::string data;
    };
    void accept(int listener, bool core);
    void readFrom(Connection& connection);
    void handle(Connection& connection, const vxi11::Call& call);
    void reply(Connection& connection, uint32_t xid, const std::string& results);
    void advanceRead(Connection& connection, Clock::time_point now);
    void sendSome(Connection& connection, Clock::time_point now);
    SimulatedInstrument* deviceNamed(const std::string& device) const;

    Behaviour behaviour_;
    uint16_t portmapperPort_ = 0, corePort_ = 0; // set by the listeners' making, after
    UniqueFd portmapper_, core_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<SimulatedInstrument*> instruments_;
    std::map<int32_t, Link> links_;
    int32_t nextLid_ = 1;
    std::map<uint32_t, int> calls_;
    int getPorts_ = 0;
    int reads_ = 0;
    std::vector<std::string> devices_;
    std::vector<vxi11::WriteParms> writes_;
};

} // namespace plotanix::sim
