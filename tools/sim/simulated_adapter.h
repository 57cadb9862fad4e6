#pragma once
// A USB-GPIB adapter as an AR488 board behaves (it copies the Prologix
// command set), simulated at the master end of a pseudo-terminal: the
// program under test opens the slave as the adapter's serial port. On the
// other side is a simulated bus: a computer that sends to an address and
// reads from one, or a talk-only instrument. For the demo and the tests.

#include "simulated_instrument.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix::sim {

class SimulatedAdapter {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::string_view defaultVersion =
        "AR488 GPIB controller, ver. 0.53.04, 13/04/2025";

    // usbFd: the master side of the pseudo-terminal, owned by the caller.
    explicit SimulatedAdapter(int usbFd, std::string version = std::string(defaultVersion));

    // Takes whatever the host has written: commands, and data lines for the
    // bus. Call it when the descriptor is readable.
    void serviceHost();
    // What poll() saw on the master: a hang-up that ends is the port being
    // opened, which restarts a board set to resetOnOpen; readable, the
    // host's bytes are taken. (A master reports a hang-up only once its
    // slave has been opened and closed: open and close it once first.)
    void portEvents(short revents);
    // The board restarts when its port is opened (an Uno, a Nano, a Mega),
    // deaf for this long; zero (the default): it does not (a Leonardo).
    void resetOnOpen(Clock::duration deafFor) { resetDelay_ = deafFor; }

    // The board restarts (its port was opened, or a selected device clear
    // reached it): it hears nothing for deafFor, then comes up with the
    // settings it saved, or in controller mode.
    void restart(Clock::duration deafFor = {});

    // The computer sends bytes to the listener at this address (OUTPUT 705):
    // they reach the host when the adapter listens there (or listens only).
    // false when nobody on the bus took them.
    bool computerSends(int address, std::string_view bytes);
    // What a controller on the bus puts there before the data (unlisten,
    // its talk address, the listener's address): in listen-only mode the
    // adapter hands these over too.
    void commandBytes(std::string_view bytes);

    // The computer addresses this address to talk (ENTER 705): the line the
    // host has waiting, with the adapter's terminator; empty when nothing
    // was waiting (the adapter then sends nothing at all).
    struct Talk {
        std::string bytes;
        bool eoiOnLast = false;
    };
    Talk computerReads(int address);

    // Controller mode: an instrument on the bus at its address (owned by
    // the caller, outliving the adapter).
    void attach(SimulatedInstrument& instrument) { instruments_.push_back(&instrument); }
    // Time passes: a read in progress ("++read eoi") hands over what the
    // addressed instrument says, and ends at EOI or after the read time-out.
    // portEvents calls it.
    void tick();
    // A Prologix (its version says so) rather than an AR488.
    bool prologix() const { return version_.find("Prologix") != std::string::npos; }
    int readTimeoutMs() const { return readTimeoutMs_; }
    bool reading() const { return read_.has_value(); }

    // What the simulation saw, for the tests.
    const std::vector<std::string>& commands() const { return commands_; }
    // Every byte the host wrote while the board listened, as it came.
    const std::string& fromHost() const { return fromHost_; }
    int restarts() const { return restarts_; }
    // Nobody has the port open (the last poll() saw a hang-up).
    bool portClosed() const { return hungUp_; }
    int mode() const { return mode_; } // 0 device, 1 controller
    int address() const { return address_; }
    bool listenOnly() const { return lon_; }
    int savedCount() const { return saves_; }

  private:
    struct Settings {
        int mode = 1; // an AR488 starts as the controller
        int address = 1;
        bool eoi = false;
        int eos = 0;
        bool eotEnable = false;
    };
    void takeLine(const std::string& line, bool command);
    void command(const std::string& text);
    void answer(const std::string& text);
    bool deaf() const { return Clock::now() < deafUntil_; }
    std::string terminator() const;

    int usbFd_;
    std::string version_;
    int mode_ = 1;
    int address_ = 1;
    bool eoi_ = false;
    int eos_ = 0;
    bool eotEnable_ = false;
    bool lon_ = false;
    Settings saved_;
    bool hasSaved_ = false;
    int saves_ = 0;
    Clock::time_point deafUntil_{};
    Clock::duration resetDelay_{};
    bool hungUp_ = false;
    int restarts_ = 0;
    std::string fromHost_;

    std::string line_; // the host's line being read
    bool lineEscaped_ = false;
    bool lineCommand_ = false;  // starts with an unescaped "++"
    std::vector<bool> escaped_; // per byte of line_
    std::string talk_;          // a data line waiting for the computer to read it
    bool talkReady_ = false;
    std::vector<std::string> commands_;

    SimulatedInstrument* instrumentAt(int address) const;
    void beginRead(const std::string& arg);
    struct Read {
        bool toEoi = false;
        Clock::time_point lastByte;
    };
    std::vector<SimulatedInstrument*> instruments_;
    std::optional<Read> read_;
    std::string usbOut_;       // the talker's bytes the USB side has not taken yet
    int readTimeoutMs_ = 1200; // an AR488's default
    int auto_ = 0;
};

} // namespace plotanix::sim
