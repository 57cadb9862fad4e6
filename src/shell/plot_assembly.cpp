#include "shell/plot_assembly.h"

#include "output/png_writer.h"
#include "page/label_font.h"

namespace plotanix {

namespace {

bool savePage(const PageImage& page, const std::string& path) {
    return savePng(page, path);
}

} // namespace

PlotAssembly::PlotAssembly(const PlotSetup& setup, ByteLink& link, LogFile& log, StatusLine* status,
                           PageStore::Writer writer)
    : session(link, log, status, setup.model, setup.paper),
      store(setup.dir, log, writer ? std::move(writer) : savePage) {
    // The copy is drawn again from the page's display list.
    session.keepDisplayList(setup.vector.has_value());
    if (!setup.vector) return;
    const CopyFormat format = *setup.vector;
    store.writeCopies(format == CopyFormat::svg ? ".SVG" : ".PDF",
                      [this, format](const std::string& path, std::string& reason) {
                          const DisplayList* list = session.displayList();
                          if (list == nullptr) {
                              reason = "the drawing of the page was not kept";
                              return false;
                          }
                          return writePageCopy(*list, path, format, 1, reason);
                      });
}

PlotAssembly::~PlotAssembly() = default;

bool PlotAssembly::preparePage() {
    font_ = loadFont("Courier New", 12);
    session.useFont(font_.get());
    return session.createPage();
}

} // namespace plotanix
