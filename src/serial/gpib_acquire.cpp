#include "serial/gpib_acquire.h"

#include <algorithm>
#include <cctype>

namespace plotanix {

namespace {

using namespace std::chrono_literals;
using Clock = AdapterPort::Clock;

// From the instrument facts gathered for each family; an address nobody
// has confirmed is the one the working scripts use, and said to be so.
const InstrumentRecipe recipes[] = {
    {"hp8753",
     "",
     "HP 8753C/D/E/ES network analyzers (and the 8720)",
     16,
     "OPC?;SING;",
     {"OUTPPLOT;"},
     {"CONT;"},
     PlotEnd::quiet,
     "",
     4,
     "HP 8753E HP-IB Programming and Command Reference Guide 08753-90366; AR488 issue #50 (an "
     "8753C plot through an AR488); an 8753ES capture script (address 16, OUTPPLOT)",
     "command and flow high; end by quiet medium-high; address medium (every script, no manual "
     "page)"},
    {"hp8566b",
     "hp8568b",
     "HP 8566B and 8568B spectrum analyzers",
     18,
     "",
     {"PLOT 0,0,40000,40000"},
     {},
     PlotEnd::eoi,
     "",
     3,
     "a working 8568B driver over a Prologix (one ++read eoi); HP 85660B service manual "
     "(address 18)",
     "medium"},
    {"hp8560e",
     "",
     "HP 8560 E-series spectrum analyzers (8560E to 8565E)",
     18,
     "",
     {"SNGLS;TS;", "PLOT 550,279,9750,7479;"},
     {"CONTS;"},
     PlotEnd::quiet,
     "",
     3,
     "pymeasure's HP 856xx driver (PLOT); reported working through an AR488",
     "command medium; end low-medium; address unconfirmed (18 in examples)"},
    {"hp3577a",
     "",
     "HP 3577A network analyzer",
     12,
     "",
     {"PLA"},
     {},
     PlotEnd::pattern,
     ";SP0;",
     3,
     "a working 3577A driver over a Prologix (reads messages until one ends ;SP0;)",
     "medium; address unconfirmed (12 in that driver)"},
    {"tek-tds",
     "",
     "Tektronix TDS 400A, 500, 600 and 700 oscilloscopes",
     0,
     "",
     {"HARDCopy:FORMat HPGl", "HARDCopy:PORT GPIb", "HARDCopy STARt"},
     {},
     PlotEnd::eoi,
     "",
     3,
     "Tektronix TDS Family Programmer Manual 070-9702-00, HARDCopy pp. 2-134 to 2-139; a working "
     "TDS540A driver over a Prologix",
     "flow high; end medium-high; no usual address (set in the Utility menu): give "
     "--gpib-address"},
    {"custom",
     "",
     "any other instrument: its plot command from --command",
     0,
     "",
     {},
     {},
     PlotEnd::quiet,
     "",
     3,
     "the operator",
     "the operator's"},
};

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The adapter's reads, as the PC sees them: a read ends at EOI or at the
// adapter's time-out, and neither shows on the serial side, so a read is
// taken as over once nothing has come for readOver.
class BusReader {
  public:
    BusReader(AdapterPort& port, AcquireOptions options, std::chrono::milliseconds readTimeout,
              std::function<void(std::string_view)> take)
        : port_(port), options_(options), readTimeout_(readTimeout), take_(std::move(take)) {}

    // Reads until the end rule holds, the bus is quiet for the quiet period
    // or something fails.
    AcquireResult read(PlotEnd end, std::string_view pattern) {
        using Outcome = AcquireResult::Outcome;
        AcquireResult result;
        const std::chrono::milliseconds readOver = readTimeout_ + readMargin;
        // One message is over with its read, which may outlast the quiet.
        const std::chrono::milliseconds quiet =
            end == PlotEnd::eoi ? std::max(options_.quiet, readOver) : options_.quiet;
        Clock::time_point lastByte = Clock::now();
        bool readBrought = false; // the read in progress brought bytes
        bool patternLast = false; // the bytes so far end with the pattern
        std::string tail;         // the last bytes, as long as the pattern
        if (!startRead()) return stopped(result);
        for (;;) {
            const Clock::time_point quietEnd = lastByte + quiet;
            const Clock::time_point over = std::max(readStart_, lastByte) + readOver;
            const std::optional<std::string> bytes =
                port_.read(std::min(quietEnd, over), options_.limit - result.bytes);
            if (!bytes) return stopped(result);
            const auto now = Clock::now();
            if (!bytes->empty()) {
                take_(*bytes);
                result.bytes += bytes->size();
                lastByte = now;
                readBrought = true;
                if (result.bytes >= options_.limit) {
                    result.outcome = Outcome::tooLong;
                    return result;
                }
                tail += *bytes;
                if (tail.size() > pattern.size()) tail.erase(0, tail.size() - pattern.size());
                patternLast = end == PlotEnd::pattern && tail == pattern;
                continue;
            }
            // The pattern ends a message when nothing follows it in its read.
            if (patternLast && (now >= over || now >= quietEnd)) return ended(result, end);
            if (now >= over) {
                // The read is over: for one message, at its EOI.
                if (end == PlotEnd::eoi && readBrought) return ended(result, end);
                readBrought = false;
                if (now < quietEnd) {
                    if (!startRead()) return stopped(result);
                    continue;
                }
            }
            if (now < quietEnd) continue;
            if (result.bytes == 0) return result; // nothing answered
            if (end == PlotEnd::quiet) return ended(result, end);
            // The closing pattern was due; quiet came first.
            result.outcome = Outcome::cutShort;
            return result;
        }
    }

  private:
    bool startRead() {
        readStart_ = Clock::now();
        return port_.writeLine("++read eoi");
    }
    AcquireResult stopped(AcquireResult result) const {
        result.outcome =
            port_.failed() ? AcquireResult::Outcome::portLost : AcquireResult::Outcome::stopped;
        return result;
    }
    static AcquireResult ended(AcquireResult result, PlotEnd end) {
        result.outcome = AcquireResult::Outcome::plot;
        result.endedBy = end;
        return result;
    }

    AdapterPort& port_;
    AcquireOptions options_;
    std::chrono::milliseconds readTimeout_;
    std::function<void(std::string_view)> take_;
    Clock::time_point readStart_{};
};

std::string secondsText(std::chrono::milliseconds time) {
    const auto tenths = (time.count() + 50) / 100;
    return std::to_string(tenths / 10) +
           (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " s";
}

} // namespace

std::span<const InstrumentRecipe> instrumentRecipes() {
    return recipes;
}

const InstrumentRecipe* findRecipe(std::string_view name) {
    const std::string lower = lowerCase(name);
    for (const InstrumentRecipe& recipe : recipes)
        if (lower == recipe.name || (!recipe.alias.empty() && lower == recipe.alias))
            return &recipe;
    return nullptr;
}

InstrumentRecipe customRecipe(std::string_view command) {
    InstrumentRecipe recipe = recipes[std::size(recipes) - 1];
    recipe.commands = {command};
    return recipe;
}

std::chrono::milliseconds adapterReadTimeout(const InstrumentRecipe& recipe,
                                             std::chrono::milliseconds quiet) {
    if (recipe.end != PlotEnd::eoi) return std::chrono::milliseconds(150);
    return std::clamp(quiet, std::chrono::milliseconds(150), std::chrono::milliseconds(3000));
}

std::vector<std::string> controllerSetUpCommands() {
    // The controller in charge (IFC), no read after each write, EOI with the
    // last byte of each command and LF after it (IEEE 488.2's end of a
    // message), and nothing added to what the bus sends.
    return {"++mode 1", "++ifc", "++auto 0", "++eoi 1", "++eos 2", "++eot_enable 0"};
}

AcquireResult acquirePlot(AdapterPort& port, const InstrumentRecipe& recipe,
                          const AcquireOptions& options,
                          const std::function<void(std::string_view)>& take) {
    const std::chrono::milliseconds readTimeout = adapterReadTimeout(recipe, options.quiet);
    BusReader reader(port, options, readTimeout, take);
    AcquireResult result;
    const auto failed = [&] {
        result.outcome =
            port.failed() ? AcquireResult::Outcome::portLost : AcquireResult::Outcome::stopped;
        return result;
    };
    if (!port.writeLine("++addr " + std::to_string(options.address)) ||
        !port.writeLine("++read_tmo_ms " + std::to_string(readTimeout.count())))
        return failed();
    if (!recipe.query.empty()) {
        // Its answer is one short line, read as a message of its own.
        std::string answer;
        AcquireOptions line = options;
        line.limit = 256;
        BusReader answerReader(port, line, readTimeout,
                               [&](std::string_view bytes) { answer += bytes; });
        if (!port.writeLine(gpibDataLine(recipe.query))) return failed();
        result = answerReader.read(PlotEnd::pattern, "\n");
        while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
            answer.pop_back();
        if (result.bytes == 0 || result.outcome == AcquireResult::Outcome::stopped ||
            result.outcome == AcquireResult::Outcome::portLost) {
            result.bytes = 0;
            return result;
        }
        result.answers.push_back(answer);
    }
    for (std::string_view command : recipe.commands) {
        if (!port.writeLine(gpibDataLine(command))) return failed();
    }
    std::vector<std::string> answers = std::move(result.answers);
    result = reader.read(recipe.end, recipe.pattern);
    result.answers = std::move(answers);
    // The instrument goes on as it was and back to its front panel, unless
    // the port is gone (or the program is to end: then at once).
    if (result.outcome != AcquireResult::Outcome::stopped &&
        result.outcome != AcquireResult::Outcome::portLost) {
        for (std::string_view command : recipe.after)
            port.writeLine(gpibDataLine(command));
        port.writeLine("++loc");
    }
    return result;
}

std::string acquireFailure(const AcquireResult& result, const InstrumentRecipe& recipe,
                           const AcquireOptions& options) {
    using Outcome = AcquireResult::Outcome;
    const std::string at = "address " + std::to_string(options.address);
    const std::string count = std::to_string(result.bytes) + " bytes";
    switch (result.outcome) {
    case Outcome::plot:
        return {};
    case Outcome::nothing:
        return "nothing answered at " + at + ": is the instrument on and at that address?";
    case Outcome::cutShort:
        return "the plot from " + at + " was cut short: the bus fell quiet for " +
               secondsText(options.quiet) + " after " + count + " without " +
               (recipe.end == PlotEnd::pattern ? "its closing " + std::string(recipe.pattern)
                                               : std::string("the message's end")) +
               " (--quiet-after waits longer)";
    case Outcome::tooLong:
        return "the plot from " + at + " was stopped at " + count +
               ": the instrument did not stop talking";
    case Outcome::portLost:
        return "the adapter was lost during the plot from " + at + " after " + count;
    case Outcome::stopped:
        return "stopped during the plot from " + at + " after " + count;
    }
    return {};
}

} // namespace plotanix
