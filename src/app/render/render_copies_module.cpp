// The copy module's one entry, under a C name for dlsym: writePageCopyTo.

#include "output/vector_copy.h"

#include <new>
#include <string>

extern "C" __attribute__((visibility("default"))) bool
plotanixWritePageCopyTo(FILE* file, const plotanix::DisplayList* list,
                        const plotanix::CopyOptions* options, std::string* reason) {
    try {
        return plotanix::writePageCopyTo(file, *list, *options, *reason);
    } catch (const std::bad_alloc&) { // nothing may leave through a C name
        *reason = "not enough memory for the copy";
        return false;
    }
}

extern "C" __attribute__((visibility("default"))) bool
plotanixWritePdfPagesTo(FILE* file, const plotanix::PdfPage* pages, size_t count,
                        std::string* reason) {
    try {
        return plotanix::writePdfPagesTo(file, {pages, count}, *reason);
    } catch (const std::bad_alloc&) {
        *reason = "not enough memory for the copy";
        return false;
    }
}
