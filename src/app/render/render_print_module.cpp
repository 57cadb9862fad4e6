// The print module's one entry, under a C name for dlsym: printDocument,
// the job followed until it is printed (or why not).
// CUPS's client library takes longer to load than a small file takes to
// draw: only a renderer asked to print loads it.

#include "print/cups_print.h"

#include <new>

extern "C" __attribute__((visibility("default"))) bool
plotanixPrintDocument(const std::string* queue, const std::string* title,
                      const plotanix::PdfMaker* make, plotanix::PrintOutcome* outcome) {
    try {
        *outcome = plotanix::printDocument(*queue, *title, *make);
        plotanix::followJob(*outcome);
    } catch (const std::bad_alloc&) { // nothing may leave through a C name
        outcome->said = "not printed: not enough memory";
    }
    return !outcome->failed();
}
