#include "serial/gpib_acquire.h"

#include <algorithm>
#include <cctype>

namespace plotanix {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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

AcquireExchange::AcquireExchange(const InstrumentRecipe& recipe, const AcquireOptions& options,
                                 Take take, Clock::time_point now)
    : recipe_(recipe), options_(options), take_(std::move(take)),
      readOver_(adapterReadTimeout(recipe, options.quiet) + readMargin) {
    lines_ = {"++addr " + std::to_string(options.address),
              "++read_tmo_ms " + std::to_string(adapterReadTimeout(recipe, options.quiet).count())};
    if (recipe_.query.empty()) {
        sendCommands(now);
        return;
    }
    // Its answer is one short line, read as a message of its own.
    lines_.push_back(gpibDataLine(recipe_.query));
    begin(PlotEnd::pattern, "\n", 256, now);
}

void AcquireExchange::sendCommands(Clock::time_point now) {
    phase_ = Phase::plotting;
    for (std::string_view command : recipe_.commands)
        lines_.push_back(gpibDataLine(command));
    begin(recipe_.end, recipe_.pattern, options_.limit, now);
}

void AcquireExchange::begin(PlotEnd end, std::string_view pattern, size_t limit,
                            Clock::time_point now) {
    read_ = Reading{};
    read_.end = end;
    read_.pattern = pattern;
    read_.limit = limit;
    // One message is over with its read, which may outlast the quiet.
    read_.quiet = end == PlotEnd::eoi ? std::max(options_.quiet, readOver_) : options_.quiet;
    read_.lastByte = now;
    startRead(now);
}

void AcquireExchange::startRead(Clock::time_point now) {
    read_.readStart = now;
    lines_.push_back("++read eoi");
}

std::optional<AcquireExchange::Clock::time_point> AcquireExchange::deadline() const {
    if (done()) return std::nullopt;
    return std::min(read_.lastByte + read_.quiet,
                    std::max(read_.readStart, read_.lastByte) + readOver_);
}

void AcquireExchange::onBytes(std::string_view bytes, Clock::time_point now) {
    if (done() || bytes.empty()) return;
    bytes = bytes.substr(0, room());
    if (phase_ == Phase::asking) {
        answer_ += bytes;
    } else {
        take_(bytes);
    }
    read_.result.bytes += bytes.size();
    read_.lastByte = now;
    read_.readBrought = true;
    if (room() == 0) {
        read_.result.outcome = AcquireResult::Outcome::tooLong;
        return readEnded(now);
    }
    std::string& tail = read_.tail;
    tail += bytes;
    if (tail.size() > read_.pattern.size()) tail.erase(0, tail.size() - read_.pattern.size());
    read_.patternLast = read_.end == PlotEnd::pattern && tail == read_.pattern;
}

void AcquireExchange::onTime(Clock::time_point now) {
    using Outcome = AcquireResult::Outcome;
    if (done()) return;
    Reading& r = read_;
    const Clock::time_point quietEnd = r.lastByte + r.quiet;
    const Clock::time_point over = std::max(r.readStart, r.lastByte) + readOver_;
    if (now < std::min(quietEnd, over)) return;
    const auto ended = [&] {
        r.result.outcome = Outcome::plot;
        r.result.endedBy = r.end;
        readEnded(now);
    };
    // The pattern ends a message when nothing follows it in its read.
    if (r.patternLast) return ended();
    if (now >= over) {
        // The read is over: for one message, at its EOI.
        if (r.end == PlotEnd::eoi && r.readBrought) return ended();
        r.readBrought = false;
        if (now < quietEnd) return startRead(now);
    }
    if (now < quietEnd) return;
    if (r.result.bytes == 0) return readEnded(now); // nothing answered
    if (r.end == PlotEnd::quiet) return ended();
    // The closing pattern was due; quiet came first.
    r.result.outcome = Outcome::cutShort;
    readEnded(now);
}

void AcquireExchange::stop(bool portFailed) {
    if (done()) return;
    lines_.clear();
    read_.result.outcome =
        portFailed ? AcquireResult::Outcome::portLost : AcquireResult::Outcome::stopped;
    readEnded({});
}

void AcquireExchange::readEnded(Clock::time_point now) {
    using Outcome = AcquireResult::Outcome;
    const Outcome outcome = read_.result.outcome;
    const bool broken = outcome == Outcome::stopped || outcome == Outcome::portLost;
    if (phase_ == Phase::asking) {
        result_ = read_.result;
        if (result_.bytes == 0 || broken) {
            result_.bytes = 0;
            phase_ = Phase::finished;
            return;
        }
        while (!answer_.empty() && (answer_.back() == '\n' || answer_.back() == '\r'))
            answer_.pop_back();
        result_.answers.push_back(answer_);
        return sendCommands(now);
    }
    std::vector<std::string> answers = std::move(result_.answers);
    result_ = read_.result;
    result_.answers = std::move(answers);
    phase_ = Phase::finished;
    // The instrument goes on as it was and back to its front panel, unless
    // the port is gone (or the program is to end: then at once).
    if (broken) return;
    for (std::string_view command : recipe_.after)
        lines_.push_back(gpibDataLine(command));
    lines_.push_back("++loc");
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

std::string BlockAnswer::take(std::string_view bytes) {
    std::string data;
    for (size_t at = 0; at < bytes.size();) {
        const char c = bytes[at];
        switch (at_) {
        case At::first:
            at_ = c == '#' ? At::count : At::raw;
            at += c == '#' ? 1 : 0;
            break;
        case At::count:
            ++at;
            if (c >= '1' && c <= '9') {
                digits_ = c - '0';
                at_ = At::length;
            } else {
                // "#0" runs to the end; a "#" that starts no block is data.
                if (c != '0') data += {'#', c};
                at_ = At::raw;
            }
            break;
        case At::length:
            ++at;
            if (c < '0' || c > '9') { // no length after all: the rest as it comes
                at_ = At::raw;
                data += c;
                break;
            }
            left_ = std::min<size_t>(left_ * 10 + static_cast<size_t>(c - '0'), size_t(1) << 40);
            if (--digits_ == 0) at_ = left_ > 0 ? At::data : At::after;
            break;
        case At::data: {
            const size_t n = std::min(left_, bytes.size() - at);
            data.append(bytes.substr(at, n));
            at += n;
            left_ -= n;
            if (left_ == 0) at_ = At::after;
            break;
        }
        case At::after: // the line end that ends the answer
            return data;
        case At::raw:
            data.append(bytes.substr(at));
            return data;
        }
    }
    return data;
}

} // namespace plotanix
