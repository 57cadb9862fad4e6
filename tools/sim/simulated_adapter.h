#pragma once
// A USB-GPIB adapter as an AR488 board behaves (it copies the Prologix
// command set), simulated at the master end of a pseudo-terminal: the
// program under test opens the slave as the adapter's serial port. On the
// other side is a simulated bus: a computer that sends to an address and
// reads from one, or a talk-only instrument. For the demo and the tests.

#include <chrono>
#include <cstdint>
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
    explicit SimulatedAdapter(int usbFd, std::string version = std::string(defaultVersion))
        : usbFd_(usbFd), version_(std::move(version)) {}

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
};

} // namespace plotanix::sim
