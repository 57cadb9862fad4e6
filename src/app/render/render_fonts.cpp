// The renderer's label font, from a module loaded at the first label: most
// files have none, and FreeType and fontconfig, with what they bring, take
// longer to load at every start than such a file takes to draw. This
// loadFont stands in for the font library's, which the renderer then never
// links.

#include "page/label_font.h"
#include "render_copies.h"

#include <dlfcn.h>

#include <cstdio>

namespace plotanix {

namespace {

using FontEntry = PageFont* (*)(const std::string* face, int points);

FontEntry fontEntry() {
    std::string error;
    void* handle = openModule(PLOTANIX_FONTS_MODULE, error);
    auto entry =
        handle ? reinterpret_cast<FontEntry>(::dlsym(handle, "plotanixLoadFont")) : nullptr;
    if (handle && !entry) error = PLOTANIX_FONTS_MODULE " is not the font module";
    if (!entry) std::fprintf(stderr, "plotanix-render: %s: labels are not drawn\n", error.c_str());
    return entry;
}

} // namespace

std::unique_ptr<PageFont> loadFont(const std::string& face, int points) {
    static const FontEntry entry = fontEntry(); // once, whichever worker comes first
    return std::unique_ptr<PageFont>(entry ? entry(&face, points) : nullptr);
}

} // namespace plotanix
