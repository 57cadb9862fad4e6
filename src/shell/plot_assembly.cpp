#include "shell/plot_assembly.h"

#include "logfile/log_file.h"
#include "models/models.h"
#include "output/png_writer.h"
#include "page/label_font.h"
#include "page/page_fit.h"

#include <cerrno>

#include <mutex>

namespace plotanix {

namespace {

bool savePage(const PageImage& page, const std::string& path) {
    return savePng(page, path);
}

} // namespace

PlotAssembly::PlotAssembly(const PlotSetup& setup, ByteLink& link, LogFile& log, StatusLine* status,
                           PageStore::Writer writer)
    : vector_(setup.vector), fileWriter_(writer ? std::move(writer) : savePage),
      session(link, log, status, setup.model, setup.paper),
      store(setup.dir, log, [this](const PageImage& page, const std::string& path) {
          return writePage(page, path);
      }) {
    // A copy is drawn again from the page's display list.
    session.keepDisplayList(setup.vector.has_value() || setup.keepDrawing);
    session.fitCopies(setup.fit);
    // The transcript says which model made it, so that it is drawn again by
    // that model; the HP-86B's transcripts stay as they always were.
    log.nameModel(setup.model == PlotterModel::hp86b ? std::string_view() : modelName(setup.model));
}

PlotAssembly::~PlotAssembly() = default;

bool PlotAssembly::writePage(const PageImage& page, const std::string& path) {
    fitted_.reset();
    const std::optional<Drawing::Placement> fit = session.fitting();
    if (!fit) return fileWriter_(page, path);
    auto made = std::make_shared<FittedPage>(drawFitted(*session.displayList(), *fit));
    if (!made->image) {
        errno = ENOMEM;
        return false;
    }
    fitted_ = std::shared_ptr<const DisplayList>(made, &made->list);
    return fileWriter_(*made->image, path);
}

void PlotAssembly::useLabelFont() {
    if (!fontTried_) {
        // fontconfig's first use sets up shared state: one thread at a time
        // (the renderer's workers each have an assembly).
        static std::mutex loading;
        const std::lock_guard lock(loading);
        font_ = loadFont("Courier New", 12);
        fontTried_ = true;
    }
    session.useFont(font_.get());
}

} // namespace plotanix
