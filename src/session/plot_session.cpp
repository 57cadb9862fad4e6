#include "session/plot_session.h"

#include "hpgl/interpreter.h"
#include "logfile/log_file.h"

namespace plotanix {

namespace {

std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, InstructionReader& reader,
                                     Drawing& drawing, ByteLink& link, LogFile& log,
                                     StatusLine* status) {
    if (model == PlotterModel::hp7470a)
        return std::make_unique<Hp7470a>(reader, drawing, link, log, status, paper);
    return std::make_unique<Interpreter>(reader, drawing, link, log, status);
}

} // namespace

PlotSession::PlotSession(ByteLink& link, LogFile& log, StatusLine* status, PlotterModel model,
                         Paper paper)
    : link_(link), log_(log), status_(status), model_(model), paper_(paper), reader_(link, log),
      plotter_(makePlotter(model, paper, reader_, drawing_, link, log, status)) {}

PlotSession::~PlotSession() = default;

bool PlotSession::createPage() {
    page_ = createPageImage(pageWidth, pageHeight, 24);
    if (!page_) return false;
    // Blank paper from the start, so a page saved before any run is white.
    blankPage();
    return true;
}

void PlotSession::restartPlotter() {
    plotter_ = makePlotter(model_, paper_, reader_, drawing_, link_, log_, status_);
    reader_.startRun();
}

void PlotSession::keepDisplayList(bool on) {
    if (on && !list_) list_ = std::make_unique<DisplayList>();
    if (!on) list_.reset();
    drawing_.recordInto(list_.get());
}

void PlotSession::blankPage() {
    newPagePending_ = false;
    if (!page_) return;
    drawing_.beginDrawing(*page_);
    drawing_.fillBox(0, 0, pageWidth, pageHeight, penColours[0]);
    drawing_.endDrawing();
}

RunResult PlotSession::run(Start start) {
    if (!page_) return {};
    drawing_.beginDrawing(*page_);
    drawing_.selectFont(font_);
    if (newPagePending_) {
        newPagePending_ = false;
        drawing_.fillBox(0, 0, pageWidth, pageHeight, penColours[0]);
    }
    if (start == Start::fresh) plotter_->startRun();
    reader_.startRun();
    plotter_->instructionCount = 0;
    plotter_->ignoredCount = 0;
    plotter_->runInstructionLoop();
    drawing_.endDrawing();
    log_.flushLog();
    return {plotter_->instructionCount, plotter_->ignoredCount};
}

} // namespace plotanix
