#include "app/page_copies.h"

#include "output/vector_copy.h"
#include "session/page_store.h"
#include "session/plot_session.h"

namespace plotanix {

void copyPagesAs(const std::string& setting, const PlotSession& session, PageStore& store) {
    if (setting != "svg" && setting != "pdf") {
        store.writeCopies({}, {});
        return;
    }
    const CopyFormat format = setting == "svg" ? CopyFormat::svg : CopyFormat::pdf;
    store.writeCopies(setting == "svg" ? ".SVG" : ".PDF",
                      [&session, format](const std::string& path, std::string& reason) {
                          const DisplayList* list = session.displayList();
                          if (list == nullptr) {
                              reason = "the drawing of the page was not kept";
                              return false;
                          }
                          return writePageCopy(*list, path, format, 1, reason);
                      });
}

} // namespace plotanix
