#pragma once
// An instrument on the simulated bus behind the simulated adapter in
// controller mode: it hears what the controller sends it and, asked for
// its plot, talks HP-GL back as messages ended by EOI, with a gap before
// each (an HP 8753 sends many records; an 8568B one message), or says
// nothing, or never stops. For the demo and the tests.

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix::sim {

class SimulatedInstrument {
  public:
    using Clock = std::chrono::steady_clock;
    struct Message {
        std::string bytes;
        std::chrono::milliseconds gap{}; // silence before it
        bool eoi = true;                 // false: the instrument stops in the middle
    };

    explicit SimulatedInstrument(int address) : address_(address) {}
    int address() const { return address_; }

    // When what it hears contains trigger, it has these messages to say.
    void answers(std::string trigger, std::vector<Message> messages);
    // Asked for anything, it talks without end (no EOI ever).
    void neverStops(std::string chunk) { endless_ = std::move(chunk); }

    // The controller sent these bytes to it (its terminator included).
    void hear(std::string_view bytes);
    // Addressed to talk: what it puts on the bus now, at most most bytes,
    // and whether EOI came with the last.
    struct Talk {
        std::string bytes;
        bool eoi = false;
    };
    Talk talk(size_t most);
    void goLocal() { ++locals_; }
    void clear() { ++clears_; }

    const std::string& heard() const { return heard_; }
    int locals() const { return locals_; }
    int clears() const { return clears_; }

  private:
    struct Answer {
        std::string trigger;
        std::vector<Message> messages;
    };
    int address_;
    std::vector<Answer> answers_;
    std::deque<Message> saying_;
    Clock::time_point nextAt_{};
    size_t said_ = 0; // of the front message
    std::string endless_;
    bool talking_ = false;
    std::string heard_;
    std::string heardLine_;
    int locals_ = 0;
    int clears_ = 0;
};

// Plots as the families make them: an HP 8753's records (the first the tiny
// "\x03;;;;DF;IM;"), an HP 8566B/8568B's one message, an HP 3577A's
// messages ending ";SP0;", a TDS scope's one message.
std::vector<std::string> hp8753Records();
std::string spectrumPlot();
std::vector<std::string> hp3577aMessages();

// The instrument a recipe expects, answering it with its plot: records
// after gap each. The name is the recipe's ("hp8753", ...).
SimulatedInstrument instrumentFor(std::string_view recipe, int address,
                                  std::chrono::milliseconds gap);
// What instrumentFor's instrument sends, joined.
std::string plotOf(std::string_view recipe);

} // namespace plotanix::sim
