#pragma once
// A Prologix-style USB-GPIB adapter (a Prologix GPIB-USB, or an AR488 board
// copying its command set) on a serial port: the plotter sits on HP-IB
// behind it. A line starting "++" is a command for the adapter; any other
// line is data for the bus, with CR, LF, ESC and '+' escaped by ESC.
// What comes back is the bus's bytes, unchanged.

#include "serial/gpib_replies.h"
#include "serial/serial_link.h"

#include <chrono>
#include <functional>
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

struct GpibSetUp {
    // False: nothing answered "++ver" like an adapter; the port is used as a
    // plain line.
    bool answered = false;
    std::string version; // the adapter's own words
    // Lines the adapter said against the set-up's commands (complaints),
    // kept up to complaintMemory bytes; the rest only counted.
    std::vector<std::string> complaints;
    long long moreComplaints = 0;
    // The adapter answered the first "++ver" but not the one after the
    // set-up (it kept talking, or went away): the set-up may not have taken.
    bool unfinished = false;
    // The line's data, in order: through an adapter, the bus's bytes that
    // came during the set-up; from a port that is no adapter, every byte
    // it sent while it was asked.
    std::string data;
};

// The bounds of a set-up, whatever the port does: what is read and what
// the adapter says are capped, and it ends by a fixed time.
inline constexpr size_t setUpReadLimit = 64 * 1024;
inline constexpr size_t complaintMemory = 4 * 1024;
inline constexpr std::chrono::milliseconds setUpDeadline{6000};

// An answer to "++ver" as an adapter gives it: a short line of text naming
// the adapter (Prologix, AR488, GPIB) or a version number after "ver". A
// plotting host's line has other forms; text before a named adapter on the
// same line is the bus's.
bool looksLikeAdapterVersion(std::string_view line);

// The commands that put the adapter in its role, in order. The adapter's
// EEPROM is only written with settings.save; how depends on the adapter: an
// AR488 saves a snapshot with "++savecfg" after the set-up, a Prologix saves
// each change while "++savecfg 1" stands, so it is turned on before the
// set-up and off after it.
std::vector<std::string> gpibSetUpCommands(const GpibSettings& settings, std::string_view version);

using SetUpCommands = std::function<std::vector<std::string>(std::string_view version)>;

// The adapter's set-up as an exchange the loop drives, never waiting:
// asks "++ver" until the adapter answers (opening the port restarts some
// boards, which then take a second or two), then sends the set-up and asks
// "++ver" once more: the adapter's known complaints before that answer are
// about a set-up command. Every other byte is the bus's (a computer already
// sending as the adapter comes back) and kept in order. A port that sends
// anything else and no answer to the first ask is no adapter: it is asked
// no more. A line starting "++" is an adapter's echo of a command (verbose
// mode) and passed over. Bounded by setUpDeadline and setUpReadLimit.
class AdapterSetUp {
  public:
    using Clock = std::chrono::steady_clock;
    // commands: the set-up for the adapter, made once its version is known.
    AdapterSetUp(SetUpCommands commands, Clock::time_point now);
    // The lines to write to the adapter now, in order (the CR LF is the
    // writer's).
    std::vector<std::string> takeLines() { return std::exchange(lines_, {}); }
    // What the port sent.
    void onBytes(std::string_view bytes, Clock::time_point now);
    // The moment deadline() named has come.
    void onTime(Clock::time_point now);
    std::optional<Clock::time_point> deadline() const;
    // The port failed or the wait was cut short: the set-up ends as it stands.
    void stop() { finish(); }
    bool done() const { return stage_ == Stage::finished; }
    // Bytes the set-up will still read at most.
    size_t room() const { return setUpReadLimit - std::min(received_.size(), setUpReadLimit); }
    const GpibSetUp& result() const { return result_; }

  private:
    enum class Stage { asking, between, closing, fenced, finished };
    void ask(Clock::time_point now);
    void finish();
    void sortLines();
    void sort(const std::string& line);
    void keep(std::string_view bytes) { result_.data += bytes; }
    void complain(const std::string& text);

    SetUpCommands commands_;
    Clock::time_point deadline_;
    Clock::time_point until_{};
    Stage stage_ = Stage::asking;
    int asks_ = 0;
    std::vector<std::string> lines_;
    GpibSetUp result_;
    std::string received_; // every byte read, for a port that is no adapter
    std::string pending_;  // bytes not yet on a whole line
    size_t complaintBytes_ = 0;
    bool heardOthers_ = false;
};

// A data line for the bus as the adapter must be given it: CR, LF, ESC and
// '+' escaped (the adapter adds its own terminator).
std::string gpibDataLine(std::string_view text);

} // namespace plotanix
