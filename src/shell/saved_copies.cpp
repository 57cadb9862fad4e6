// The part of the assembly that saves pages with their vector copies:
// apart, so that a program using the session alone does not link cairo.

#include "shell/plot_assembly.h"

#include "output/printed_copy.h"

namespace plotanix {

bool PlotAssembly::preparePage() {
    useLabelFont();
    if (vector_) copySavedPages(*vector_);
    return session.createPage();
}

void PlotAssembly::copySavedPages(CopyFormat format) {
    store.writeCopies(format == CopyFormat::svg ? ".SVG" : ".PDF",
                      [this, format](const std::string& path, std::string& reason) {
                          // A printer's page is its dots, at their true size.
                          if (printedPage(session.page()))
                              return writePrintedCopy(session.page(), path, format, reason);
                          const DisplayList* list = savedDrawing();
                          if (list == nullptr) {
                              reason = "the drawing of the page was not kept";
                              return false;
                          }
                          return writePageCopy(*list, path, format, 1, reason);
                      });
}

} // namespace plotanix
