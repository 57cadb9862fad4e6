#include "shell/station.h"

#include "shell/page_writes.h"
#include "shell/plot_setup.h"

#include <algorithm>

namespace plotanix {

Station::Station(StationEvents& events, std::initializer_list<int> signals)
    : events_(events), signals(signals), line(&events),
      window([this] { events_.displayLost(); }, [this] { events_.displayBack(); }),
      printer(work,
              [this](const std::string& said, bool failed) { events_.printed(said, failed); }) {
    loop.watch(&work);
    line.link().useBackground(&work);
    loop.watch(&window);
    line.watchIn(loop);
}

Station::~Station() {
    if (web.source() != nullptr) loop.unwatch(web.source());
}

bool Station::assemble(const Settings& settings, ByteLink& replies, StatusLine* status,
                       PageStore::Writer writer) {
    plotting_ = std::make_unique<PlotAssembly>(plotSetupOf(settings), replies, log, status,
                                               std::move(writer));
    if (!plotting_->preparePage()) return false;
    showPage();
    printer.follow(settings.print);
    // Every output a saved page goes to beside its files, in one place.
    plotting_->store.onSaved([this](const PageStore::Saved& saved) {
        web.pageSaved(saved.name);
        printer.pageSaved(plotting_->session, saved.name, plotting_->savedDrawing());
    });
    return true;
}

void Station::disassemble() {
    web.showPage({});
    plotting_.reset();
}

// The web view asks for the page when a browser needs it: a snapshot is
// made of the session's page as it is then.
void Station::showPage() {
    web.showPage(
        [this]() -> const PageImage* { return plotting_ ? &plotting_->session.page() : nullptr; });
}

bool Station::followWeb(const Settings& settings, std::string& why) {
    PollSource* const before = web.source();
    const bool following = web.follow(settings, why, &work);
    if (web.source() != before) {
        loop.unwatch(before);
        loop.watch(web.source());
        // A server started anew shows the page of the moment.
        if (plotting_) showPage();
    }
    return following;
}

void Station::writeApart(std::shared_ptr<const PageImage> page, const std::string& path,
                         Written written) {
    PlotAssembly& plotting = *plotting_;
    plotting.useFitted(nullptr);
    const std::optional<Drawing::Placement> fit = plotting.session.fitting();
    if (!fit) {
        writePageApart(work, plotting.fileWriter(), std::move(page), path, std::move(written));
        return;
    }
    // --fit: the page drawn again fitted, from a copy of its list (the
    // session draws on meanwhile).
    auto whole = std::make_shared<const DisplayList>(*plotting.session.displayList());
    writeFittedApart(work, plotting.fileWriter(), std::move(whole), *fit, path,
                     [this, written = std::move(written)](
                         bool ok, int error, std::shared_ptr<const DisplayList> fitted) {
                         if (plotting_) plotting_->useFitted(std::move(fitted));
                         written(ok, error);
                     });
}

std::optional<LogFile::Trouble> Station::closeTranscript() {
    log.truncateLog();
    std::optional<LogFile::Trouble> unwritten = log.trouble();
    log.closeLog();
    if (unwritten) unwritten->kind = LogFile::Trouble::Kind::unwritten;
    return unwritten;
}

std::string droppedRepliesNote(size_t bytes) {
    if (bytes == 0) return "";
    return std::to_string(bytes) +
           (bytes == 1 ? " reply byte the computer had not taken was dropped at the end"
                       : " reply bytes the computer had not taken were dropped at the end");
}

// ---------------------------------------------------------------- the ending

void Station::Ending::begin(Clock::time_point now, Clock::duration budget, bool keepLine) {
    begun_ = true;
    budgetEnd_ = now + budget;
    station_.work.endWork();
    // Replies a host is not reading (a telnet host flooding requests, a
    // serial host holding its XOFF) are not waited for: the budget is the
    // transcript's and the page's.
    repliesDropped_ += station_.line.link().dropUnsent();
    if (keepLine) {
        // What the line holds now, not what a peer that never falls quiet
        // goes on sending: the budget is the page's and the prints'.
        bytes_.emplace(
            station_.line, station_.log,
            std::min(keepingBudget, std::chrono::duration_cast<std::chrono::milliseconds>(budget)));
    } else if (station_.log.isOpen()) {
        station_.log.flushLog();
    }
    settle(now);
}

bool Station::Ending::done() const {
    const BackgroundWork& work = station_.work;
    const bool settled = workSettled_ || (work.pending(BackgroundWork::Lane::pages) == 0 &&
                                          work.pending(BackgroundWork::Lane::prints) == 0);
    return begun_ && (!bytes_ || bytes_->done()) && settled;
}

void Station::Ending::onLineData(Clock::time_point now) {
    if (bytes_) bytes_->onLineData(now);
    settle(now);
}

void Station::Ending::onLineLost() {
    if (bytes_) bytes_->onLineLost();
}

std::optional<Clock::time_point> Station::Ending::deadline() const {
    std::optional<Clock::time_point> when = bytes_ ? bytes_->deadline() : std::nullopt;
    if (!workSettled_) when = earlier(when, budgetEnd_);
    return when;
}

void Station::Ending::onTime(Clock::time_point now) {
    if (bytes_ && !bytes_->done()) bytes_->onTime(now);
    settle(now);
}

size_t Station::Ending::repliesDropped() {
    repliesDropped_ += station_.line.link().dropUnsent();
    return repliesDropped_;
}

// Page files and prints are waited for until the budget is spent; look-ups
// and overlays never are. What is left then is abandoned, and told.
void Station::Ending::settle(Clock::time_point now) {
    if (workSettled_) return;
    BackgroundWork& work = station_.work;
    const bool waited = work.pending(BackgroundWork::Lane::pages) == 0 &&
                        work.pending(BackgroundWork::Lane::prints) == 0;
    if (!waited && now < budgetEnd_) return;
    work.abandon();
    workSettled_ = true;
}

} // namespace plotanix
