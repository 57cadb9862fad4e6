#include "common/printable.h"
#include "render_batch.h"
#include "render_copies.h"
#include "render_extras.h"

#include "output/printed_copy.h"
#include "print/cups_print.h"

#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace plotanix {

namespace {

using PrintEntry = bool (*)(const std::string*, const std::string*, const PdfMaker*, PrintOutcome*);

// The input's pages that have something drawn, as one PDF on the sheet.
bool pagesPdf(const std::vector<const DrawnPage*>& pages, PrintSheet sheet, std::string& pdf,
              std::string& why) {
    std::vector<PdfPage> placed;
    std::vector<const PageImage*> printed; // a printer's pages: their dots at true size
    for (const DrawnPage* page : pages) {
        placed.push_back({&*page->list, placeOnSheet(page->extent, sheet)});
        if (printedPage(page->image)) printed.push_back(&page->image);
    }
    return documentInMemory(
        [&](FILE* file, std::string& reason) {
            return printed.empty() ? writePdfPages(file, placed, reason)
                                   : writePrintedPdfTo(file, printed, reason);
        },
        pdf, why);
}

void say(const std::string& input, const std::string& text) {
    std::fprintf(stderr, "%s: %s: %s\n", programName, printable(input).c_str(),
                 printable(text).c_str());
}

} // namespace

bool drawPages(Renderer& renderer, const std::string& input, std::vector<DrawnPage>& pages,
               std::string& why) {
    std::ifstream file(input, std::ios::binary);
    std::string bytes;
    if (file) bytes.assign(std::istreambuf_iterator<char>(file), {});
    if (!file.good() && !file.eof()) {
        why = "cannot read " + input;
        return false;
    }
    if (bytes.size() > maxInputBytes) {
        why = input + " is larger than the renderer reads";
        return false;
    }
    return drawBytes(renderer, bytes, input, pages, why);
}

bool drawBytes(Renderer& renderer, std::string_view bytes, const std::string& name,
               std::vector<DrawnPage>& pages, std::string& why) {
    const Renderer::Outcome outcome = renderer.render(
        bytes, transcriptName(name), [&](const PageView& page, std::optional<int64_t>) {
            pages.push_back({page.image, page.list ? std::optional(*page.list) : std::nullopt,
                             page.extent, page.nothingDrawn});
            return true;
        });
    if (outcome == Renderer::Outcome::noPageImage) {
        why = "not enough memory for the page";
        return false;
    }
    return true;
}

int printInputs(const std::vector<std::string>& inputs, const std::string& queue,
                const RenderSetup& setup, bool quiet) {
    std::string why;
    void* module = openModule(PLOTANIX_PRINT_MODULE, why);
    const auto entry =
        module ? reinterpret_cast<PrintEntry>(::dlsym(module, "plotanixPrintDocument")) : nullptr;
    int status = rendered;
    const auto fail = [&](const std::string& input, const std::string& text, int code) {
        say(input, text);
        if (status == rendered) status = code;
    };
    RenderSetup drawing = setup;
    drawing.keepDisplayList = true;
    Renderer renderer(drawing);
    for (const std::string& input : inputs) {
        if (entry == nullptr) {
            fail(input,
                 "not printed: " +
                     (module ? PLOTANIX_PRINT_MODULE " is not the print module" : why),
                 outputUnwritable);
            continue;
        }
        std::vector<DrawnPage> pages;
        if (!drawPages(renderer, input, pages, why)) {
            fail(input, "not printed: " + why, inputUnreadable);
            continue;
        }
        std::vector<const DrawnPage*> drawn;
        for (const DrawnPage& page : pages)
            if (page.nothingDrawn.empty() && page.list) drawn.push_back(&page);
        if (drawn.empty()) { // a warning, as for a blank page written
            if (!quiet) say(input, "not printed: nothing is drawn on its pages");
            continue;
        }
        const PdfMaker make = [&drawn](PrintSheet sheet, std::string& pdf, std::string& reason) {
            return pagesPdf(drawn, sheet, pdf, reason);
        };
        PrintOutcome outcome;
        const std::string title = std::filesystem::path(input).filename().string();
        if (!entry(&queue, &title, &make, &outcome)) {
            fail(input, outcome.said, outputUnwritable);
        } else if (!quiet) {
            say(input, outcome.said);
        }
    }
    return status;
}

} // namespace plotanix
