#include "models/told_plotter.h"

#include "models/dialect.h"
#include "models/models.h"

#include "page/drawing.h"

#include <cctype>
#include <utility>

namespace plotanix {

namespace {

// A choice only rises: hp86b, 7470a, a PCL print (its job may yet enter
// HP-GL/2), then HP-GL/2 or an Epson print.
int rank(PlotterModel model) {
    switch (model) {
    case PlotterModel::hp86b:
        return 0;
    case PlotterModel::hp7470a:
        return 1;
    case PlotterModel::pcl:
        return 2;
    default:
        return 3;
    }
}

std::string_view described(PlotterModel model) {
    switch (model) {
    case PlotterModel::hp7470a:
        return "the 7470A model";
    case PlotterModel::hpgl2:
        return "the HP-GL/2 model";
    case PlotterModel::pcl:
        return "the PCL printer model";
    case PlotterModel::escp:
        return "the Epson printer model";
    default:
        return "the HP-86B model";
    }
}

} // namespace

ToldPlotter::ToldPlotter(PlotterModel model, bool follows, Paper paper, const PlotterParts& parts)
    : drawing_(parts.drawing), status_(parts.status), paper_(paper), link_(parts.link),
      follows_(follows), inUse_(model) {
    keeping_ = follows_;
    make(model);
}

ToldPlotter::~ToldPlotter() = default;

void ToldPlotter::make(PlotterModel model) {
    inUse_ = model;
    model_ = makeBarePlotter(model, paper_, {drawing_, link_, status_});
    model_->onPageAdvance([this](const PageReady& ready) { return advancePage(ready); });
    model_->onUnknown([this](std::string_view mnemonic) {
        // Drawn again, the page's instructions were told when they came.
        if (drawingAgain_) return;
        ignored_ = true;
        if (!follows_ && inUse_ == PlotterModel::hp7470a && ignoredHpgl2_.empty() &&
            mnemonic.size() >= 2) {
            std::string pair(mnemonic.substr(0, 2));
            for (char& c : pair)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (toldHpgl2(pair)) ignoredHpgl2_ = pair;
        }
        tellUnknown(mnemonic);
    });
    model_->onPicture([this](int32_t width, int32_t height, int32_t depth) {
        return picture(width, height, depth);
    });
    model_->clipAtPaper(clip_);
}

void ToldPlotter::startPage() {
    model_->startPage();
    pageOffPaper_ = offPaper();
    pageTally_ = penTally();
    kept_.clear();
    runStart_ = 0;
}

void ToldPlotter::resetCounts() {
    model_->resetCounts();
    runStart_ = kept_.size();
}

void ToldPlotter::clipAtPaper(bool clip) {
    clip_ = clip;
    model_->clipAtPaper(clip);
}

void ToldPlotter::feed(std::span<const uint8_t> bytes) {
    if (!keeping_) {
        // The 7470A model reads only a print's start beside it (its ignored
        // instructions tell the rest); the HP-86B's reading parts from
        // HP-GL/2's, so the whole stream is read beside that one.
        if (!follows_ &&
            (inUse_ == PlotterModel::hp86b ? !dialect_.settled() : dialect_.mayBePrint()))
            dialect_.take({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
        model_->feed(bytes);
        return;
    }
    // A byte at a time to the dialect, so that the model told takes over
    // at the very byte that told it, however the stream was cut.
    size_t from = 0;
    for (size_t at = 0; at < bytes.size() && keeping_; ++at) {
        if (!dialect_.take(bytes[at])) continue;
        model_->feed(bytes.subspan(from, at - from));
        keep(bytes.subspan(from, at - from));
        from = at;
        switchTo(dialect_.told());
    }
    model_->feed(bytes.subspan(from));
    keep(bytes.subspan(from));
}

void ToldPlotter::keep(std::span<const uint8_t> bytes) {
    if (!keeping_) return;
    if (kept_.size() + bytes.size() > keptMost) {
        // The page can no longer be drawn again: the model in use stays.
        keeping_ = false;
        std::string().swap(kept_);
        if (choice_.empty())
            choice_ = "model: " + std::string(modelName(inUse_)) +
                      " (16 MiB on one page showed no other model's instruction)";
        return;
    }
    kept_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void ToldPlotter::switchTo(PlotterModel model) {
    offPaperBefore_ = pageOffPaper_;
    tallyBefore_ = pageTally_;
    model_.reset();
    // A plotter at power-on has asked for no handshake.
    link_.requestFlowControl(FlowControl::none);
    make(model);
    choice_ = "model: " + std::string(modelName(model)) + " (" + dialect_.why() + ")";
    // Blank paper, and the page drawn again from its start with the host's
    // replies held back: it had them as the bytes came.
    // (A plotter's picture after a print's: the picture of a plot again.)
    if (picture(800, 600, 24) == nullptr) drawing_.fillBox(0, 0, 800, 600, penColours[0]);
    model_->startPage();
    drawingAgain_ = true;
    link_.quiet = true;
    const auto* kept = reinterpret_cast<const uint8_t*>(kept_.data());
    model_->feed({kept, runStart_});
    model_->resetCounts();
    model_->feed({kept + runStart_, kept_.size() - runStart_});
    link_.quiet = false;
    drawingAgain_ = false;
    if (dialect_.settled()) {
        keeping_ = false;
        std::string().swap(kept_);
    }
}

std::string_view ToldPlotter::hint() const {
    const std::string_view own = model_->hint();
    if (follows_) {
        if (choice_.empty()) return own;
        hint_ = own.empty() ? choice_ : choice_ + "; " + std::string(own);
        return hint_;
    }
    PlotterModel told = dialect_.told();
    std::string why = dialect_.why();
    if (!ignoredHpgl2_.empty() && rank(told) < rank(PlotterModel::hpgl2)) {
        told = PlotterModel::hpgl2;
        why = "the stream uses HP-GL/2's " + ignoredHpgl2_;
    }
    // Only where this model ignored what the computer sent: never on a
    // stream it draws whole.
    if (!ignored_ || rank(told) <= rank(inUse_) || (told == PlotterModel::hp7470a && !own.empty()))
        return own;
    hint_ = why + ": " + std::string(described(told)) + " (--model " +
            std::string(modelName(told)) + ") " + (isPrinter(told) ? "prints it" : "reads it");
    return hint_;
}

} // namespace plotanix
