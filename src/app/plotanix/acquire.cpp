#include "acquire.h"

#include "adapter_notice.h"
#include "common/deadline.h"
#include "common/printable.h"
#include "journal.h"
#include "line_errors.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "models/models.h"
#include "output/png_writer.h"
#include "serial/gpib_acquire.h"
#include "shell/plot_setup.h"
#include "shell/station.h"
#include "vxi11/vxi11_line.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

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

// The adapter's set-up, then each plot, as exchanges the one loop drives:
// the port is a source of the loop (its lines written as it takes them,
// its bytes read as they come) and the acquisition the loop's activity,
// whose deadlines are the exchange's, the next plot of a series and a
// port that takes nothing.
class Acquisition : public Activity, public PollSource, private StationEvents {
  public:
    Acquisition(const Settings& settings, const InstrumentRecipe& recipe)
        : settings_(settings), recipe_(recipe), device_(devicePath(settings)), station_(*this) {
        options_.address = settings.gpibAddress != 0 ? settings.gpibAddress : recipe.address;
        // Through a VXI-11 gateway, or to a LAN instrument, the plot comes
        // by RPC: the device names the address.
        lan_ = parseVxi11Name(settings.port);
        if (lan_) {
            lanDevice_ = linkDevice(lan_->device, settings.gpibAddress, recipe.address);
            options_.address = deviceAddress(lanDevice_).value_or(0);
        }
        const double quiet = settings.quietAfter > 0 ? settings.quietAfter : recipe.quietSeconds;
        options_.quiet = std::chrono::milliseconds(std::llround(quiet * 1000));
    }

    int run();

    int descriptor() const override;
    short events() const override;
    std::optional<Clock::time_point> due() const override { return std::nullopt; }
    void service(Clock::time_point now) override;
    // Once the status is known, the station's ending: the prints asked for
    // are handed over (within a bound), the transcript closed.
    bool done() const override {
        return status_.has_value() && station_.ending.begun() && station_.ending.done();
    }
    std::optional<Clock::time_point> deadline() const override;
    void onTime(Clock::time_point now) override;
    bool takesEnding() const override { return true; }
    void onEnding(int signalNumber) override;
    void afterTurn(Clock::time_point now) override;
    // A normal end waits this long at most for the prints asked for.
    static constexpr std::chrono::seconds finishingBudget{30};

  private:
    enum class Stage { settingUp, waiting, taking };
    int prepare();
    bool reading() const { return stage_ != Stage::waiting; }
    void step(Clock::time_point now);
    void flush(Clock::time_point now);
    void portFailed();
    int setUpAdapter(const GpibSetUp& setUp, Clock::time_point now);
    int takeOne(const AcquireResult& result);
    int stop();
    int ended(int status);
    std::string defaultPortNote() const;
    PlotSession& session() { return station_.session(); }
    PageStore& store() { return station_.store(); }
    // Neither the instrument's port nor the computer's line: no events.
    void lineLost() override {}
    void lineBack() override {}
    // A print not sent is said as a failure is, and leaves the status
    // alone: the page is saved.
    void printed(const std::string& said, bool failed) override {
        if (failed) {
            failure(said);
        } else {
            report(said);
        }
    }
    std::chrono::milliseconds every() const {
        return std::chrono::milliseconds(std::llround(settings_.everySeconds * 1000));
    }

    const Settings& settings_;
    InstrumentRecipe recipe_;
    std::string device_;
    AcquireOptions options_;
    SerialLink serial_;
    NoReplies link_;
    Station station_;
    Stage stage_ = Stage::settingUp;
    std::optional<AdapterSetUp> setUp_;
    std::optional<AcquireExchange> exchange_;
    std::optional<Vxi11Address> lan_;
    std::string lanDevice_;
    std::unique_ptr<Vxi11Exchange> lanExchange_;
    std::optional<int> status_;
    std::optional<MarkedInput> marks_;
    std::optional<BlockAnswer> answer_;             // a printer's data, asked for by a query
    std::string out_;                               // lines the port has not taken yet
    std::optional<Clock::time_point> blockedSince_; // since it took nothing
    long long taken_ = 0;
    Clock::time_point first_{};
    std::string hintSaid_; // the model's word on the stream, said once each
};

int Acquisition::prepare() {
    Settings settings = settings_;
    // The instruments plot for a 7470A (or a plotter that takes its HP-GL).
    if (settings.model == PlotterModel::hp86b) settings.model = PlotterModel::hp7470a;
    if (!station_.assemble(
            settings, link_, nullptr,
            [](const PageImage& page, const std::string& path) { return savePng(page, path); }))
        return failure("cannot make the page image: not enough memory");
    LogFile& log = station_.log;
    const std::string transcript = store().pathOf(LogFile::defaultName);
    log.onTrouble([transcript](const LogFile::Trouble& trouble) {
        report(LogFile::describe(trouble, transcript));
    });
    if (!log.openLog(transcript)) {
        const int error = errno;
        if (!log.keepFailed())
            return failure(error == EWOULDBLOCK
                               ? "cannot write the transcript " + transcript +
                                     ": another Plotanix is using this folder"
                               : "cannot write the transcript: " + log.lastError());
        report(log.lastError() + "; running without a transcript");
    }
    // Watched like any capture: the page as it comes, in a browser.
    if (std::string why; !station_.followWeb(settings_, why)) return failure(why);
    if (station_.web.running()) {
        report("web view: " + station_.web.url());
        station_.web.line("HP-IB address " + std::to_string(options_.address) + " through " +
                          device_);
        station_.web.activity("Asking the instrument for its plot");
    }
    if (!lan_ && !serial_.openSerialPort(device_, lineSettingsOf(settings_)))
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

// A port that takes nothing for a second is as good as gone.
constexpr auto writeGiveUp = std::chrono::seconds(1);

int Acquisition::descriptor() const {
    if (lan_) return lanExchange_ && !status_ ? lanExchange_->descriptor() : -1;
    return events() != 0 ? serial_.fileDescriptor() : -1;
}

short Acquisition::events() const {
    if (status_) return 0;
    if (lan_) return lanExchange_ ? lanExchange_->events() : short{0};
    return static_cast<short>((reading() ? POLLIN : 0) | (out_.empty() ? 0 : POLLOUT));
}

std::optional<Clock::time_point> Acquisition::deadline() const {
    if (status_) return station_.ending.begun() ? station_.ending.deadline() : Clock::time_point{};
    std::optional<Clock::time_point> when;
    if (stage_ == Stage::settingUp) when = setUp_->deadline();
    if (stage_ == Stage::taking && exchange_ && !exchange_->done()) when = exchange_->deadline();
    if (stage_ == Stage::taking && lanExchange_) when = lanExchange_->deadline();
    if (stage_ == Stage::waiting) when = first_ + every() * taken_;
    if (blockedSince_) when = earlier(when, *blockedSince_ + writeGiveUp);
    return when;
}

void Acquisition::service(Clock::time_point now) {
    if (status_) return;
    if (lanExchange_) {
        lanExchange_->service(now);
        return step(now);
    }
    flush(now);
    if (!reading()) return step(now);
    const size_t room = stage_ == Stage::settingUp ? setUp_->room() : exchange_->room();
    std::string bytes(std::min<size_t>(room, 4096), '\0');
    const ssize_t n =
        bytes.empty() ? 0 : ::read(serial_.fileDescriptor(), bytes.data(), bytes.size());
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        portFailed(); // hung up: the adapter is gone
    } else if (n > 0) {
        size_t kept = static_cast<size_t>(n);
        if (marks_) kept = marks_->decode(reinterpret_cast<uint8_t*>(bytes.data()), kept);
        bytes.resize(kept);
        if (stage_ == Stage::settingUp) setUp_->onBytes(bytes, now);
        if (stage_ == Stage::taking) exchange_->onBytes(bytes, now);
    }
    step(now);
}

void Acquisition::onTime(Clock::time_point now) {
    if (status_) return afterTurn(now);
    if (blockedSince_ && now >= *blockedSince_ + writeGiveUp) portFailed();
    if (stage_ == Stage::settingUp) setUp_->onTime(now);
    if (stage_ == Stage::taking && exchange_) exchange_->onTime(now);
    if (stage_ == Stage::taking && lanExchange_) lanExchange_->onTime(now);
    step(now);
}

// What the exchange of the moment has to send goes out; an exchange that is
// over gives way to the next.
void Acquisition::step(Clock::time_point now) {
    while (!status_) {
        std::vector<std::string> lines;
        if (stage_ == Stage::settingUp) lines = setUp_->takeLines();
        if (stage_ == Stage::taking && exchange_) lines = exchange_->takeLines();
        for (const std::string& line : lines)
            out_ += line + "\r\n";
        flush(now);
        if (stage_ == Stage::settingUp && setUp_->done()) {
            const int status = setUpAdapter(setUp_->result(), now);
            if (status != 0 || settings_.count <= 0) status_ = status;
            stage_ = Stage::waiting;
        } else if (stage_ == Stage::waiting && now >= first_ + every() * taken_) {
            session().beginRun();
            // A printer's data asked for by a query comes as its answer,
            // perhaps an IEEE 488.2 block: the model reads the data alone.
            answer_.reset();
            if (isPrinter(settings_.model) && recipe_.name == "custom") answer_.emplace();
            const auto feed = [this](std::string_view bytes) {
                const auto span = [](std::string_view text) {
                    return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
                };
                if (!answer_) session().feed(span(bytes));
                // The transcript keeps every byte that came; the model reads the data.
                for (size_t at = 0; answer_ && at < bytes.size(); at += transcript::chunkSize) {
                    const std::string_view piece = bytes.substr(at, transcript::chunkSize);
                    session().logChunk(span(piece));
                    session().feedModel(span(answer_->take(piece)));
                }
                const RunResult counts = session().counts();
                station_.web.pageChanged(counts.instructions, counts.ignored);
            };
            if (lan_) {
                lanExchange_ = std::make_unique<Vxi11Exchange>(*lan_, lanDevice_, recipe_, options_,
                                                               feed, now, station_.work);
            } else {
                exchange_.emplace(recipe_, options_, feed, now);
            }
            stage_ = Stage::taking;
        } else if (stage_ == Stage::taking && lanExchange_ && lanExchange_->done()) {
            const int status = takeOne(lanExchange_->result());
            lanExchange_.reset();
            stage_ = Stage::waiting;
            if (status != 0 || ++taken_ >= settings_.count) status_ = status;
        } else if (stage_ == Stage::taking && exchange_ && exchange_->done() && out_.empty()) {
            // The closing lines have gone too: the plot is in.
            const int status = takeOne(exchange_->result());
            exchange_.reset();
            stage_ = Stage::waiting;
            if (status != 0 || ++taken_ >= settings_.count) status_ = status;
        } else {
            return;
        }
    }
}

void Acquisition::flush(Clock::time_point now) {
    while (!out_.empty()) {
        const ssize_t n = ::write(serial_.fileDescriptor(), out_.data(), out_.size());
        if (n > 0) {
            out_.erase(0, static_cast<size_t>(n));
            blockedSince_.reset();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!blockedSince_) blockedSince_ = now;
            return;
        }
        return portFailed();
    }
}

void Acquisition::portFailed() {
    out_.clear();
    blockedSince_.reset();
    if (stage_ == Stage::settingUp) setUp_->stop();
    // The closing lines lost with the port: the plot is in all the same.
    if (stage_ == Stage::taking) exchange_->stop(true);
}

int Acquisition::setUpAdapter(const GpibSetUp& setUp, Clock::time_point now) {
    first_ = now;
    // Nothing the port sent is lost, adapter or not.
    if (!setUp.data.empty()) {
        station_.log.writeLogBytes(reinterpret_cast<const uint8_t*>(setUp.data.data()),
                                   setUp.data.size());
        station_.log.flushLog();
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

int Acquisition::takeOne(const AcquireResult& result) {
    const RunResult counts = session().endRun();
    station_.log.flushLog();
    const std::string address =
        lanExchange_ ? lanExchange_->source() : "address " + std::to_string(options_.address);
    if (result.bytes > 0) {
        const PageStore::Saved saved = store().savePage(session().page());
        if (!saved.ok)
            return failure("cannot save " + store().pathOf(saved.name) + ": " + saved.error);
        report("page saved: " + store().pathOf(saved.name) + ", " + std::to_string(result.bytes) +
               " bytes from " + address +
               (result.outcome == AcquireResult::Outcome::plot
                    ? ", ended by " + endName(result.endedBy)
                    : std::string()) +
               ", " + std::to_string(counts.instructions) + " instructions, " +
               std::to_string(counts.ignored) + " ignored");
        if (!saved.copyError.empty())
            report("cannot save the vector copy " + store().pathOf(saved.copyName) + ": " +
                   saved.copyError);
        if (const std::string_view hint = session().hint(); !hint.empty() && hint != hintSaid_) {
            hintSaid_ = hint;
            report(hintSaid_);
        }
        store().markNewPage();
        session().newPage();
    }
    if (result.outcome == AcquireResult::Outcome::stopped) return ended(1);
    const std::string failed =
        lanExchange_ ? lanExchange_->failure() : acquireFailure(result, recipe_, options_);
    if (!failed.empty()) return failure(failed);
    if (counts.instructions == 0)
        return failure("what came from " + address + " (" + std::to_string(result.bytes) +
                       " bytes) drew nothing: is it the instrument --acquire names?");
    return 0;
}

// The program is to end: at once, with what came kept (the plot of the
// moment saved as far as it came).
int Acquisition::stop() {
    if (stage_ == Stage::settingUp) {
        setUp_->stop();
        return setUpAdapter(setUp_->result(), Clock::now());
    }
    if (stage_ == Stage::taking) {
        // A plot whose closing lines were going out is whole; the series
        // after it is not taken.
        if (lanExchange_) lanExchange_->stop();
        if (exchange_) exchange_->stop(false);
        const int status = takeOne(lanExchange_ ? lanExchange_->result() : exchange_->result());
        return status == 0 && taken_ + 1 < settings_.count ? ended(1) : status;
    }
    return ended(1);
}

int Acquisition::ended(int status) {
    const int signalNumber = SignalWatch::ending();
    const char* name = signalNumber != 0 ? sigabbrev_np(signalNumber) : nullptr;
    if (signalNumber != 0) report(std::string("stopped on SIG") + (name != nullptr ? name : "?"));
    return status;
}

// The program is to end: the plot of the moment is kept, then the station
// ends within its budget.
void Acquisition::onEnding(int) {
    if (!status_) status_ = stop();
    if (!station_.ending.begun()) station_.ending.begin(Clock::now(), Station::endingBudget, false);
}

void Acquisition::afterTurn(Clock::time_point now) {
    if (status_ && !station_.ending.begun()) station_.ending.begin(now, finishingBudget, false);
}

int Acquisition::run() {
    int status = prepare();
    if (status == 0 && lan_) {
        // No adapter to set up: the plots are asked for at once.
        stage_ = Stage::waiting;
        first_ = Clock::now();
        report("asking the instrument at " +
               (options_.address != 0 ? "HP-IB address " + std::to_string(options_.address)
                                      : lanDevice_) +
               " (" + std::string(recipe_.name) + ": " + std::string(recipe_.title) + ") through " +
               settings_.port + " (" + lanDevice_ + ", VXI-11)");
    } else if (status == 0) {
        termios tio{};
        if (::tcgetattr(serial_.fileDescriptor(), &tio) == 0 && (tio.c_iflag & PARMRK) != 0)
            marks_.emplace();
        serial_.discardInput();
        setUp_.emplace([](std::string_view) { return controllerSetUpCommands(); }, Clock::now());
    }
    if (status == 0) {
        const WatchedSource port(station_.loop, this);
        step(Clock::now());
        station_.loop.run(*this);
        status = *status_;
    }
    if (link_.asked() > NoReplies::sayAtMost)
        report("the instrument asked the plotter for output " + countText(link_.asked()) +
               " times in all");
    serial_.closeSerialPort();
    station_.closeTranscript();
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
