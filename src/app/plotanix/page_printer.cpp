#include "page_printer.h"

#include "output/vector_copy.h"
#include "page/display_list.h"
#include "session/plot_session.h"

#include <memory>

namespace plotanix {

namespace {

// The page's PDF for the sheet, at the plotter's true size.
bool pdfFor(const DisplayList& list, const std::optional<PageExtent>& extent, PrintSheet sheet,
            std::string& pdf, std::string& why) {
    return documentInMemory(
        [&](FILE* file, std::string& reason) {
            return writePageCopyTo(file, list, {CopyFormat::pdf, 1, placeOnSheet(extent, sheet)},
                                   reason);
        },
        pdf, why);
}

} // namespace

PagePrinter::PagePrinter(std::function<void(const std::string& said)> told)
    : told_(told), spooler_([told](const PrintOutcome& outcome) { told(outcome.said); }) {}

void PagePrinter::pageSaved(PlotSession& session, const std::string& name) {
    if (!queue_) return;
    const DisplayList* list = session.displayList();
    if (list == nullptr) {
        const std::string queue = queue_->empty() ? std::string("the default queue") : *queue_;
        told_("not printed on " + queue + ": the drawing of the page was not kept");
        return;
    }
    // The session draws on: the spooler's thread gets a copy of its own.
    auto drawing = std::make_shared<const DisplayList>(*list);
    spooler_.print(*queue_, name,
                   [drawing, extent = session.plotter().pageExtent()](
                       PrintSheet sheet, std::string& pdf, std::string& why) {
                       return pdfFor(*drawing, extent, sheet, pdf, why);
                   });
}

} // namespace plotanix
