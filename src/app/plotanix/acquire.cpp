#include "acquire.h"

#include "adapter_notice.h"
#include "common/deadline.h"
#include "common/printable.h"
#include "journal.h"
#include "line_errors.h"
#include "logfile/log_file.h"
#include "output/png_writer.h"
#include "page_printer.h"
#include "plot_setup.h"
#include "serial/gpib_acquire.h"
#include "shell/plot_assembly.h"
#include "shell/signal_watch.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <poll.h>

namespace plotanix {

// Named apart: the program's files are built as one (unity build).
namespace acquiring {

void report(const std::string& text) {
    std::fputs(journalLine(text).c_str(), stdout);
    std::fflush(stdout);
}

// The one line that says what failed.
int failure(const std::string& text) {
    std::fputs(("plotanix: " + printable(text) + "\n").c_str(), stderr);
    std::fflush(stderr);
    return 1;
}

std::string endName(PlotEnd end) {
    switch (end) {
    case PlotEnd::eoi:
        return "EOI";
    case PlotEnd::pattern:
        return "its closing pattern";
    default:
        return "quiet";
    }
}

std::string describeEnd(const InstrumentRecipe& recipe) {
    switch (recipe.end) {
    case PlotEnd::eoi:
        return "one message, ended by EOI";
    case PlotEnd::pattern:
        return "messages until one ends " + std::string(recipe.pattern);
    default:
        return "records until the bus is quiet";
    }
}

// The plotter's replies have nowhere to go: the instrument is the talker
// and is never made to listen for them. A query in its stream is said,
// the first few times, and counted.
class NoReplies : public ByteLink {
  public:
    int writeSerial(std::string_view bytes) override {
        reply_ += bytes;
        return static_cast<int>(bytes.size());
    }
    void replyComplete() override {
        if (++asked_ <= sayAtMost) {
            std::string reply = std::exchange(reply_, {});
            while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n'))
                reply.pop_back();
            report("the instrument asked the plotter for output (an OI; or OS; ...): no answer "
                   "sent (it would have been \"" +
                   reply + "\")");
        }
        reply_.clear();
    }
    long long asked() const { return asked_; }
    static constexpr long long sayAtMost = 5;

  private:
    std::string reply_;
    long long asked_ = 0;
};

// Waits until the time or the ending signal; false at the signal.
bool waitUntil(Clock::time_point when, int endingFd) {
    for (;;) {
        const int left = msUntil(when);
        if (left <= 0) return true;
        pollfd ending{endingFd, POLLIN, 0};
        const int ready = ::poll(&ending, 1, std::min(left, 60000));
        if (ready > 0) return false;
    }
}

class Acquisition {
  public:
    Acquisition(const Settings& settings, const InstrumentRecipe& recipe)
        : settings_(settings), recipe_(recipe), device_(devicePath(settings)),
          plotting_(
              setupOf(settings), link_, log_, nullptr,
              [](const PageImage& page, const std::string& path) { return savePng(page, path); }) {
        options_.address = settings.gpibAddress != 0 ? settings.gpibAddress : recipe.address;
        const double quiet = settings.quietAfter > 0 ? settings.quietAfter : recipe.quietSeconds;
        options_.quiet = std::chrono::milliseconds(std::llround(quiet * 1000));
    }

    int run();

  private:
    static PlotSetup setupOf(const Settings& settings) {
        PlotSetup setup = plotSetupOf(settings);
        // The instruments plot for a 7470A (or a plotter that takes its HP-GL).
        if (setup.model == PlotterModel::hp86b) setup.model = PlotterModel::hp7470a;
        return setup;
    }
    int prepare();
    int setUpAdapter(AdapterPort& port);
    int takeOne(AdapterPort& port);
    int ended(int status);
    std::string defaultPortNote() const;

    const Settings& settings_;
    InstrumentRecipe recipe_;
    std::string device_;
    AcquireOptions options_;
    SignalWatch signals_;
    SerialLink serial_;
    NoReplies link_;
    LogFile log_;
    PlotAssembly plotting_;
    // A print not sent is said as a failure is, and leaves the status alone:
    // the page is saved.
    PagePrinter printer_{[](const std::string& said) {
        if (said.starts_with("not printed")) {
            failure(said);
        } else {
            report(said);
        }
    }};
};

int Acquisition::prepare() {
    printer_.follow(settings_.print);
    const std::string transcript = plotting_.store.pathOf(LogFile::defaultName);
    log_.onTrouble([transcript](const LogFile::Trouble& trouble) {
        report(LogFile::describe(trouble, transcript));
    });
    if (!log_.openLog(transcript)) {
        const int error = errno;
        if (!log_.keepFailed())
            return failure("cannot write the transcript " + transcript + ": " +
                           (error == EWOULDBLOCK ? "another Plotanix is using this folder"
                                                 : std::strerror(error)));
        report(log_.lastError() + "; running without a transcript");
    }
    if (!plotting_.preparePage()) return failure("cannot make the page image: not enough memory");
    if (!serial_.openSerialPort(device_, lineSettingsOf(settings_)))
        return failure("cannot open " + device_ + ": " + openErrorReason(serial_.openError()) +
                       defaultPortNote());
    return 0;
}

// Without a port named, COM1 was only the default: the operator is told so,
// and how to name the adapter's.
std::string Acquisition::defaultPortNote() const {
    if (portNamed(settings_)) return {};
    return "; no port was named, so COM1 (" + device_ +
           ") was asked: name the adapter's port, as in plotanix --acquire " + settings_.acquire +
           " /dev/ttyACM0 (ls /dev/serial/by-id/ lists the USB ones)";
}

int Acquisition::setUpAdapter(AdapterPort& port) {
    serial_.discardInput();
    const GpibSetUp setUp =
        setUpGpibAdapterWith(port, [](std::string_view) { return controllerSetUpCommands(); });
    // Nothing the port sent is lost, adapter or not.
    if (!setUp.data.empty()) {
        log_.writeLogBytes(reinterpret_cast<const uint8_t*>(setUp.data.data()), setUp.data.size());
        log_.flushLog();
    }
    if (SignalWatch::ending() != 0) return ended(1);
    if (!setUp.answered)
        return failure("no USB-GPIB adapter answered on " + device_ +
                       (portNamed(settings_) ? ": is it plugged in, and is this its port?"
                                             : defaultPortNote()));
    GpibSettings place;
    for (const std::string& line : adapterNotice(setUp, place, device_)) {
        if (line.starts_with("On ")) continue; // the device mode's place on the bus
        report(line);
    }
    report("asking the instrument at HP-IB address " + std::to_string(options_.address) + " (" +
           std::string(recipe_.name) + ": " + std::string(recipe_.title) + ") through " + device_ +
           " (" + setUp.version + ")");
    return 0;
}

int Acquisition::takeOne(AdapterPort& port) {
    plotting_.session.beginRun();
    const AcquireResult result =
        acquirePlot(port, recipe_, options_, [this](std::string_view bytes) {
            plotting_.session.feed(
                std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        });
    const RunResult counts = plotting_.session.endRun();
    log_.flushLog();
    const std::string address = "address " + std::to_string(options_.address);
    if (result.bytes > 0) {
        const PageStore::Saved saved = plotting_.store.savePage(plotting_.session.page());
        if (!saved.ok)
            return failure("cannot save " + plotting_.store.pathOf(saved.name) + ": " +
                           saved.error);
        report("page saved: " + plotting_.store.pathOf(saved.name) + ", " +
               std::to_string(result.bytes) + " bytes from " + address +
               (result.outcome == AcquireResult::Outcome::plot
                    ? ", ended by " + endName(result.endedBy)
                    : std::string()) +
               ", " + std::to_string(counts.instructions) + " instructions, " +
               std::to_string(counts.ignored) + " ignored");
        if (!saved.copyError.empty())
            report("cannot save the vector copy " + plotting_.store.pathOf(saved.copyName) + ": " +
                   saved.copyError);
        printer_.pageSaved(plotting_.session, saved.name);
        plotting_.store.markNewPage();
        plotting_.session.newPage();
    }
    // The earlier plots' prints that have gone, said between plots.
    printer_.source()->service(Clock::now());
    if (result.outcome == AcquireResult::Outcome::stopped) return ended(1);
    const std::string failed = acquireFailure(result, recipe_, options_);
    if (!failed.empty()) return failure(failed);
    if (counts.instructions == 0)
        return failure("what came from " + address + " (" + std::to_string(result.bytes) +
                       " bytes) drew nothing: is it the instrument --acquire names?");
    return 0;
}

int Acquisition::ended(int status) {
    const int signalNumber = SignalWatch::ending();
    const char* name = signalNumber != 0 ? sigabbrev_np(signalNumber) : nullptr;
    if (signalNumber != 0) report(std::string("stopped on SIG") + (name != nullptr ? name : "?"));
    return status;
}

int Acquisition::run() {
    int status = prepare();
    if (status == 0) {
        FdAdapterPort port(serial_.fileDescriptor(), signals_.endingDescriptor());
        status = setUpAdapter(port);
        const auto first = Clock::now();
        const auto every = std::chrono::milliseconds(std::llround(settings_.everySeconds * 1000));
        for (long long i = 0; status == 0 && i < settings_.count; ++i) {
            if (!waitUntil(first + every * i, signals_.endingDescriptor())) {
                status = ended(1);
                break;
            }
            status = takeOne(port);
        }
    }
    if (link_.asked() > NoReplies::sayAtMost)
        report("the instrument asked the plotter for output " + countText(link_.asked()) +
               " times in all");
    serial_.closeSerialPort();
    printer_.finish();
    log_.truncateLog();
    log_.closeLog();
    return status;
}

} // namespace acquiring

using namespace acquiring;

std::string instrumentList() {
    std::string list;
    for (const InstrumentRecipe& recipe : instrumentRecipes()) {
        std::string name(recipe.name);
        if (!recipe.alias.empty()) name += ", " + std::string(recipe.alias);
        list += name + ": " + std::string(recipe.title) + "\n";
        list += "    address: " +
                (recipe.address != 0 ? std::to_string(recipe.address)
                                     : std::string("none (give --gpib-address)")) +
                "\n";
        std::string sent;
        if (!recipe.query.empty()) sent += std::string(recipe.query) + " (its answer awaited), ";
        for (std::string_view command : recipe.commands)
            sent += std::string(command) + ", ";
        if (recipe.commands.empty()) sent += "--command TEXT, ";
        sent.resize(sent.size() - 2);
        list += "    sends: " + sent + "\n";
        if (!recipe.after.empty()) {
            std::string after;
            for (std::string_view command : recipe.after)
                after += (after.empty() ? "" : ", ") + std::string(command);
            list += "    then: " + after + "\n";
        }
        std::array<char, 16> quiet{};
        std::snprintf(quiet.data(), quiet.size(), "%g", recipe.quietSeconds);
        list += "    end: " + describeEnd(recipe) + " (quiet after " + quiet.data() + " s)\n";
        list += "    facts: " + std::string(recipe.source) + "; confidence " +
                std::string(recipe.confidence) + "\n";
    }
    return list;
}

int runAcquire(const Settings& settings) {
    const InstrumentRecipe* named = findRecipe(settings.acquire);
    if (named == nullptr) return failure("unknown instrument " + settings.acquire);
    const InstrumentRecipe recipe =
        named->name == "custom" ? customRecipe(settings.command) : *named;
    Acquisition acquisition(settings, recipe);
    return acquisition.run();
}

} // namespace plotanix
