#include "shell/page_printer.h"

#include "output/printed_copy.h"
#include "output/vector_copy.h"
#include "page/display_list.h"
#include "print/cups_print.h"
#include "session/plot_session.h"

#include <atomic>
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

PagePrinter::PagePrinter(BackgroundWork& work, Told told) : work_(work), told_(std::move(told)) {}

std::string PagePrinter::queueName() const {
    return queue_ && !queue_->empty() ? *queue_ : std::string("the default queue");
}

void PagePrinter::pageSaved(PlotSession& session, const std::string& name,
                            const DisplayList* drawn) {
    if (!queue_) return;
    PdfMaker make;
    const DisplayList* list = drawn != nullptr ? drawn : session.displayList();
    if (printedPage(session.page())) {
        // A printer's page goes as its dots at their true size; the session
        // prints on, so the worker gets a copy of its own.
        auto dots = std::make_shared<const PageImage>(session.page());
        make = [dots](PrintSheet, std::string& pdf, std::string& why) {
            return documentInMemory(
                [&](FILE* file, std::string& reason) {
                    const PageImage* pages[] = {dots.get()};
                    return writePrintedPdfTo(file, pages, reason);
                },
                pdf, why);
        };
    } else if (list == nullptr) {
        told_("not printed on " + queueName() + ": the drawing of the page was not kept", true);
        return;
    } else {
        // The session draws on: the worker gets a copy of its own.
        auto drawing = std::make_shared<const DisplayList>(*list);
        make = [drawing, extent = session.plotter().pageExtent()](
                   PrintSheet sheet, std::string& pdf, std::string& why) {
            return pdfFor(*drawing, extent, sheet, pdf, why);
        };
    }
    // The job's number once the scheduler has it, for the ending's word.
    auto job = std::make_shared<std::atomic<int>>(0);
    work_.submit(
        BackgroundWork::Lane::prints,
        [queue = *queue_, name, make, job, told = told_] {
            auto outcome = std::make_shared<PrintOutcome>(printDocument(queue, name, make));
            job->store(outcome->job);
            followJob(*outcome);
            return [outcome, told] { told(outcome->said, outcome->failed()); };
        },
        [told = told_, queue = queueName(), name, job](bool running) {
            if (const int number = job->load(); number != 0)
                return told("not yet printed on " + queue + ": " + name + " (job " +
                                std::to_string(number) +
                                ") was with the print server when the program ended",
                            true);
            told("not printed on " + queue + ": " + name +
                     (running ? " was still going to the print server when the program ended"
                              : " was not handed to the print server before the program ended"),
                 true);
        });
}

} // namespace plotanix
