#pragma once
// Asking an instrument on HP-IB for its plot: the USB-GPIB adapter is the
// bus's controller, the instrument is sent its recipe's commands and made
// to talk, and it talks HP-GL back (as it would to a plotter) until the bus
// falls quiet, a message ends with EOI or a closing pattern comes. No pass
// of control is needed for any instrument here.

#include "serial/gpib_adapter.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

// How an instrument's plot ends.
enum class PlotEnd {
    quiet,   // the bus has been quiet for the quiet period (many EOI records)
    eoi,     // one message, ended by EOI
    pattern, // a message ending in the recipe's closing pattern (nothing after it)
};

struct InstrumentRecipe {
    std::string_view name;  // as --acquire takes it: "hp8753"
    std::string_view alias; // another name for the same recipe, or empty
    std::string_view title; // the instruments it is for
    int address;            // its usual HP-IB address
    // Sent first, its one-line answer awaited (the sweep finished), or empty.
    std::string_view query;
    std::vector<std::string_view> commands; // then these, the last asks for the plot
    std::vector<std::string_view> after;    // sent once the plot is in
    PlotEnd end;
    std::string_view pattern; // with PlotEnd::pattern
    double quietSeconds;      // the quiet period's default
    std::string_view source;  // where the facts come from
    std::string_view confidence;
};

// Every recipe, "custom" last (its command comes from --command).
std::span<const InstrumentRecipe> instrumentRecipes();
// By name or alias, any case; nullptr when there is none.
const InstrumentRecipe* findRecipe(std::string_view name);
// The recipe with the operator's command in place of its commands.
InstrumentRecipe customRecipe(std::string_view command);

// What an acquisition needs beyond the recipe.
struct AcquireOptions {
    int address = 0;
    std::chrono::milliseconds quiet{3000};
    // The plot stops here and says so: an instrument that never stops
    // talking fills no disk.
    size_t limit = 16 * 1024 * 1024;
};

// The adapter's commands that make it the controller of the bus, in order.
std::vector<std::string> controllerSetUpCommands();

// The adapter's read time-out ("++read_tmo_ms", set before each plot):
// each "++read eoi" ends at EOI or after this long without a byte, and
// neither end shows on the serial side, so the PC takes a read as over
// once nothing has come for the time-out and a margin for the USB. Records
// follow each other at that pace, so it is short, and the quiet period
// runs on the PC across reads; a plot of one message is read whole by one
// read as long as the quiet period (a Prologix takes at most 3000 ms).
std::chrono::milliseconds adapterReadTimeout(const InstrumentRecipe& recipe,
                                             std::chrono::milliseconds quiet);
inline constexpr std::chrono::milliseconds readMargin{100};

struct AcquireResult {
    enum class Outcome {
        plot,     // the plot came whole
        nothing,  // nothing answered at the address
        cutShort, // bytes came, but the plot's end did not
        tooLong,  // the plot passed the limit
        portLost, // the adapter's port failed (unplugged) during the read
        stopped,  // the wait was cut short: the program is to end
    };
    Outcome outcome = Outcome::nothing;
    PlotEnd endedBy = PlotEnd::quiet; // with Outcome::plot
    size_t bytes = 0;                 // the plot's bytes handed over
    std::vector<std::string> answers; // the query's answer, if one was asked
};

// Asking the instrument at options.address (the adapter already the
// controller) for its plot, as an exchange the loop drives, never waiting:
// the recipe is sent and the plot read, each piece handed to take as it
// comes; then the instrument is returned to local. No device clear is ever
// sent (an 8560 presets itself on one). The adapter's reads end at EOI or
// at its time-out, and neither shows on the serial side, so a read is
// taken as over once nothing has come for the time-out and readMargin.
class AcquireExchange {
  public:
    using Clock = std::chrono::steady_clock;
    using Take = std::function<void(std::string_view)>;
    AcquireExchange(const InstrumentRecipe& recipe, const AcquireOptions& options, Take take,
                    Clock::time_point now);
    // The lines to write to the adapter now, in order (the CR LF is the
    // writer's). The closing ones may still be here once it is done.
    std::vector<std::string> takeLines() { return std::exchange(lines_, {}); }
    // What the adapter handed on from the bus: at most room() bytes.
    void onBytes(std::string_view bytes, Clock::time_point now);
    // The moment deadline() named has come.
    void onTime(Clock::time_point now);
    std::optional<Clock::time_point> deadline() const;
    // The port failed (portFailed) or the program is to end: at once, with
    // what came kept and nothing more sent.
    void stop(bool portFailed);
    bool done() const { return phase_ == Phase::finished; }
    size_t room() const { return read_.limit - read_.result.bytes; }
    const AcquireResult& result() const { return result_; }

  private:
    enum class Phase { asking, plotting, finished };
    // One reading: until its end holds, the bus is quiet or it is stopped.
    struct Reading {
        PlotEnd end = PlotEnd::quiet;
        std::string_view pattern;
        size_t limit = 0;
        std::chrono::milliseconds quiet{};
        Clock::time_point lastByte{};
        Clock::time_point readStart{};
        bool readBrought = false; // the read in progress brought bytes
        bool patternLast = false; // the bytes so far end with the pattern
        std::string tail;         // the last bytes, as long as the pattern
        AcquireResult result;
    };
    void begin(PlotEnd end, std::string_view pattern, size_t limit, Clock::time_point now);
    void startRead(Clock::time_point now);
    void sendCommands(Clock::time_point now);
    void readEnded(Clock::time_point now);

    InstrumentRecipe recipe_;
    AcquireOptions options_;
    Take take_;
    std::chrono::milliseconds readOver_;
    Phase phase_ = Phase::asking;
    Reading read_;
    std::string answer_;
    std::vector<std::string> lines_;
    AcquireResult result_;
};

// An answer to a query as IEEE 488.2 sends arbitrary data: a block of
// definite length ("#", a digit n, n digits giving the length, the bytes)
// or of indefinite length ("#0", the bytes to the end); anything else is
// the bytes themselves. Its data alone is passed on, so that a printer
// model reads the print, not the block's header or the line end after it.
class BlockAnswer {
  public:
    // The data among the answer's next bytes.
    std::string take(std::string_view bytes);

  private:
    enum class At { first, count, length, data, after, raw };
    At at_ = At::first;
    int digits_ = 0;
    size_t left_ = 0;
};

// The line the operator reads when the acquisition did not give a whole
// plot; empty for a plot that came whole.
std::string acquireFailure(const AcquireResult& result, const InstrumentRecipe& recipe,
                           const AcquireOptions& options);

} // namespace plotanix
