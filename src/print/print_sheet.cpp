// The sheet's geometry, the queue's name and the document in memory, apart from the scheduler's
// client: the renderer places its pages without loading it.

#include "print/cups_print.h"

#include <algorithm>
#include <cstdlib>

namespace plotanix {

PaperPlacement placeOnSheet(const std::optional<PageExtent>& area, PrintSheet sheet) {
    const double width = sheet.widthMm(), height = sheet.heightMm();
    constexpr double pictureWidth = 800, pictureHeight = 600;
    PaperPlacement placed{width, height, 0, 0, 0};
    if (!area) {
        constexpr double marginMm = 10;
        placed.pixelMm = std::min((width - 2 * marginMm) / pictureWidth,
                                  (height - 2 * marginMm) / pictureHeight);
        placed.leftMm = (width - pictureWidth * placed.pixelMm) / 2;
        placed.topMm = (height - pictureHeight * placed.pixelMm) / 2;
        return placed;
    }
    // The model puts plotter (X, Y) on pixel (X k, 599 - Y k), rounded, with
    // k = min(800 / width, 600 / height); a copy draws through pixel centres.
    constexpr double unitMm = 0.025;
    const double areaWidth = area->width * unitMm, areaHeight = area->height * unitMm;
    const double shrink = std::min({1.0, width / areaWidth, height / areaHeight});
    const double k = std::min(pictureWidth / area->width, pictureHeight / area->height);
    placed.pixelMm = unitMm / k * shrink;
    const double bottom = (height - areaHeight * shrink) / 2;
    placed.leftMm = (width - areaWidth * shrink) / 2 - 0.5 * placed.pixelMm;
    placed.topMm = height - bottom - (pictureHeight - 0.5) * placed.pixelMm;
    return placed;
}

std::string queueNameProblem(const std::string& name) {
    if (name.empty()) return "the queue has no name";
    if (name.size() > 127) return "a queue name has at most 127 characters";
    for (const char c : name) {
        if (c == '/' || c == '#' || c == ' ' || c == '\\' || c == '\'' || c == '"')
            return std::string("a queue name has no ") + (c == ' ' ? "space" : std::string(1, c));
    }
    return {};
}

bool documentInMemory(const std::function<bool(FILE* file, std::string& why)>& write,
                      std::string& pdf, std::string& why) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* file = ::open_memstream(&bytes, &size);
    if (file == nullptr) {
        why = "not enough memory for the document";
        return false;
    }
    const bool written = write(file, why);
    std::fclose(file);
    if (written) pdf.assign(bytes, size);
    std::free(bytes);
    return written;
}

} // namespace plotanix
