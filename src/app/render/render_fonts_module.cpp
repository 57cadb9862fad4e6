// The font module's one entry, under a C name for dlsym: loadFont.

#include "page/label_font.h"

#include <new>
#include <string>

extern "C" __attribute__((visibility("default"))) plotanix::PageFont*
plotanixLoadFont(const std::string* face, int points) {
    try {
        return plotanix::loadFont(*face, points).release();
    } catch (const std::bad_alloc&) { // nothing may leave through a C name
        return nullptr;
    }
}
