#pragma once
// The VXI-11 line: --acquire through a LAN/GPIB gateway or to a LAN
// instrument. "vxi11:HOST[:PORT][/DEVICE]" names it (PORT the portmapper's,
// 111 unless named; DEVICE "gpib0,ADDR[,SEC]" through a gateway or "inst0",
// the default, on a LAN instrument). The exchange asks the portmapper for
// the core channel, links to the device, sends the recipe's commands,
// reads the plot and lets the link go, each call an RPC the one loop
// drives over the project's own non-blocking TCP.

#include "common/deadline.h"
#include "common/poll_source.h"
#include "serial/gpib_acquire.h"
#include "serial/net_line.h"
#include "vxi11/rpc_wire.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

struct Vxi11Address {
    std::string host;
    std::string port = "111"; // the portmapper's
    std::string device;       // as named; empty when none was
};

inline constexpr std::string_view vxi11Prefix = "vxi11:";
inline constexpr const char* vxi11NameForm = "vxi11:HOST[:PORT][/DEVICE]";
bool isVxi11Name(std::string_view name);
// None when the name is not a well-formed VXI-11 line: a host, a port from
// 1 to 65535, a device a name of letters and digits with at most two HP-IB
// addresses after it (primary and secondary, 0 to 30).
std::optional<Vxi11Address> parseVxi11Name(std::string_view name);

// The device to link to: the one named; an interface named alone ("gpib0")
// with the instrument's address after it; none named, the LAN instrument
// "inst0", or "gpib0,N" when an address was given (--gpib-address).
std::string linkDevice(std::string_view named, int givenAddress, int usualAddress);
// The primary HP-IB address a device names ("gpib0,16" 16), if any.
std::optional<int> deviceAddress(std::string_view device);

// Asking the device for its plot by the recipe, as an activity of the one
// loop: it is the loop's source for the connection of the moment (the
// portmapper's, then the core channel's) and says when it must act. Each
// call is one RPC and one answer: GETPORT, create_link, device_write for
// each command (in pieces of at most the link's maxRecvSize, END with the
// last), device_read until the plot's end (the END reason for a message,
// the recipe's closing pattern, or quiet: a read that times out with
// nothing), the recipe's closing commands, device_local, and destroy_link
// at the end and at every ending the link is still there for. No device
// clear: no recipe asks for one (an 8560 presets itself on one).
class Vxi11Exchange : public PollSource {
  public:
    using Take = std::function<void(std::string_view)>;
    // What is beyond the AcquireResult's outcomes: the gateway itself.
    enum class Trouble {
        none,
        noPortmapper,  // no connection, or no answer, on the portmapper's port
        noCoreChannel, // the portmapper knows no VXI-11 core channel
        noConnection,  // the core channel's port took no connection
        refused,       // a call answered with a VXI-11 error code
        rpcRefused,    // a call not accepted (RPC's own reply status)
        silent,        // a call not answered within its deadline
        dropped,       // the connection closed during the exchange
        garbled,       // a reply that is not a well-formed one
    };
    // Beyond the recipe's deadline (the io_timeout sent), how long a call is
    // given before the gateway counts as silent.
    static constexpr std::chrono::milliseconds answerMargin{1500};
    // The largest read asked for in one device_read.
    static constexpr uint32_t readSize = 64 * 1024;
    // A reply longer than this is no gateway's.
    static constexpr size_t maxReply = readSize + 4096;

    // A gateway's host name is looked up on work's look-up lane.
    Vxi11Exchange(Vxi11Address address, std::string device, const InstrumentRecipe& recipe,
                  const AcquireOptions& options, Take take, Clock::time_point now,
                  BackgroundWork& work);
    ~Vxi11Exchange() override;
    Vxi11Exchange(const Vxi11Exchange&) = delete;
    Vxi11Exchange& operator=(const Vxi11Exchange&) = delete;

    int descriptor() const override;
    short events() const override;
    std::optional<Clock::time_point> due() const override { return deadline(); }
    void service(Clock::time_point now) override;

    std::optional<Clock::time_point> deadline() const;
    void onTime(Clock::time_point now);
    // The program is to end: destroy_link is sent once, if a link is up
    // (without waiting for its answer), and what came is kept.
    void stop();
    bool done() const { return phase_ == Phase::finished; }
    const AcquireResult& result() const { return result_; }
    Trouble trouble() const { return trouble_; }
    // The calls answered so far: the RPC round trips.
    int roundTrips() const { return roundTrips_; }
    // Where the plot came from, for the operator: "address 16 through
    // vxi11:lab-gw" or "inst0 at vxi11:scope".
    std::string source() const;
    // The one line saying what failed; empty for a plot that came whole.
    std::string failure() const;

  private:
    enum class Phase { portmap, connecting, linking, asking, writing, reading, closing, finished };
    void connect(const std::string& port, Clock::time_point now);
    void call(uint32_t program, uint32_t version, uint32_t procedure, const std::string& arguments,
              std::chrono::milliseconds wait, Clock::time_point now);
    void answered(const std::string& message, Clock::time_point now);
    void replied(const std::string& results, Clock::time_point now);
    void writeNext(Clock::time_point now);
    void readNext(Clock::time_point now);
    void readAnswered(int32_t error, int32_t reason, std::string_view data, Clock::time_point now);
    void messageEnded(Clock::time_point now);
    void plotEnded(AcquireResult::Outcome outcome, Clock::time_point now);
    void closeLink(Clock::time_point now);
    void fail(Trouble trouble, Clock::time_point now, std::string detail = {});
    void finish();
    void flush();
    std::chrono::milliseconds ioTimeout() const { return options_.quiet; }

    Vxi11Address address_;
    std::string device_;
    InstrumentRecipe recipe_;
    AcquireOptions options_;
    Take take_;
    Phase phase_ = Phase::portmap;
    BackgroundWork& work_;
    std::unique_ptr<NetLine> line_;
    std::string out_; // the call the line has not taken yet
    uint32_t xid_ = 0;
    uint32_t procedure_ = 0;
    std::string_view callName_; // the call of the moment, for the operator
    bool awaiting_ = false;
    Clock::time_point answerBy_{};
    int32_t lid_ = 0;
    bool linked_ = false;
    uint32_t maxRecvSize_ = 1024;
    std::vector<std::string> writes_; // messages still to send, the first in progress
    size_t written_ = 0;              // of the first
    bool localSent_ = false;
    PlotEnd end_ = PlotEnd::quiet;
    std::string_view pattern_;
    size_t limit_ = 0;
    size_t readBytes_ = 0; // of the reading in progress
    size_t plotBytes_ = 0; // handed over
    std::string tail_;     // of the message in progress, as long as the pattern
    std::string answer_;   // the query's
    std::string detail_;
    int32_t error_ = 0;
    Trouble trouble_ = Trouble::none;
    int roundTrips_ = 0;
    AcquireResult result_;
    vxi11::RecordReader reader_{maxReply};
};

} // namespace plotanix
