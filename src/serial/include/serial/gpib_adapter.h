#pragma once
// A Prologix-style USB-GPIB adapter (a Prologix GPIB-USB, or an AR488 board
// copying its command set) on a serial port: the plotter sits on HP-IB
// behind it. A line starting "++" is a command for the adapter; any other
// line is data for the bus, with CR, LF, ESC and '+' escaped by ESC.
// What comes back is the bus's bytes, unchanged.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plotanix {

struct GpibSettings {
    // The plotter at its address on the bus, or listening to every byte a
    // talk-only instrument sends.
    enum class Role { device, listenOnly };
    Role role = Role::device;
    int address = 5; // 1..30; "PLOTTER IS 705" is select code 7, address 5
    // Store the set-up in the adapter's EEPROM (it wears: only when asked).
    bool save = false;
};

// The adapter's serial side, as the set-up talks to it.
class AdapterPort {
  public:
    virtual ~AdapterPort() = default;
    // Writes one line (the CR LF is added); false when the port failed.
    virtual bool writeLine(std::string_view line) = 0;
    // The next line the adapter sends (CR and LF taken off), waiting at most
    // timeout; nullopt when none came (or the wait was cut short).
    virtual std::optional<std::string> readLine(std::chrono::milliseconds timeout) = 0;
};

struct GpibSetUp {
    // False: nothing answered "++ver" like an adapter; the port is used as a
    // plain line.
    bool answered = false;
    std::string version; // the adapter's own words
    // Lines the adapter sent back to the set-up commands (complaints).
    std::vector<std::string> complaints;
    // Bus bytes that came before the last answer, on its line: the first of
    // the computer's data.
    std::string busData;
};

// The adapter's serial side on a descriptor: lines read with a time-out that
// a readable interrupt descriptor (the signal wake-up) cuts short. What came
// after the last line read is kept: it is the bus's data.
class FdAdapterPort : public AdapterPort {
  public:
    FdAdapterPort(int fd, int interruptFd) : fd_(fd), interruptFd_(interruptFd) {}
    bool writeLine(std::string_view line) override;
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) override;
    // Bytes read past the last line: the first of the computer's data.
    std::string takeLeftover() { return std::exchange(buffer_, {}); }
    // Every byte read, lines included: what a port that is no adapter gave.
    std::string takeReceived() { return std::exchange(received_, {}); }

  private:
    int fd_;
    int interruptFd_;
    std::string buffer_;
    std::string received_;
};

// The commands that put the adapter in its role, in order. The adapter's
// EEPROM is only written with settings.save; how depends on the adapter: an
// AR488 saves a snapshot with "++savecfg" after the set-up, a Prologix saves
// each change while "++savecfg 1" stands, so it is turned on before the
// set-up and off after it.
std::vector<std::string> gpibSetUpCommands(const GpibSettings& settings, std::string_view version);

// Asks "++ver" until the adapter answers (opening the port restarts some
// boards, which then take a second or two), then sends the set-up and asks
// "++ver" once more: whatever comes before that answer is a complaint about
// a set-up command, and anything after it is the bus's. A line that is no
// text (noise) is no adapter; one starting "++" is an adapter's echo of a
// command (verbose mode) and passed over.
GpibSetUp setUpGpibAdapter(AdapterPort& port, const GpibSettings& settings);

// A reply to the computer as the adapter must be given it: the reply's own
// line end taken off, CR, LF, ESC and '+' escaped, then CR LF, so the bus
// carries exactly the reply and the adapter's terminator (CR LF, with EOI on
// its last byte).
std::string gpibReplyLine(std::string_view reply);

} // namespace plotanix
