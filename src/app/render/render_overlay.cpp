#include "common/printable.h"
#include "output/enlarged_copy.h"
#include "output/ink_overlay.h"
#include "output/png_writer.h"
#include "render_batch.h"
#include "render_copies.h"
#include "render_extras.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace plotanix {

namespace {

const std::map<std::string, Colour, std::less<>> colourNames = {
    {"black", overlayPalette[0]}, {"red", overlayPalette[1]},     {"blue", overlayPalette[2]},
    {"green", overlayPalette[3]}, {"magenta", overlayPalette[4]}, {"cyan", overlayPalette[5]},
    {"grey", overlayPalette[6]},  {"yellow", overlayPalette[7]},
};

constexpr Colour paperColour = 0xFFFFFF;

// What the layer's list holds, added to the overlay's in the layer's colours.
void addList(DisplayList& into, const DisplayList& from,
             const std::function<Colour(Colour)>& colour) {
    std::vector<PathPoint> points;
    for (const ListItem& item : from.items()) {
        // White is paper, as on the raster: it must not hide what lies below.
        if ((item.colour & 0xFFFFFF) == paperColour) continue;
        const Colour c = colour(item.colour);
        switch (item.kind) {
        case ItemKind::polyline:
            for (uint32_t i = 0; i + 1 < item.count; ++i)
                into.addLine(from.points()[item.first + i], from.points()[item.first + i + 1], c);
            break;
        case ItemKind::segments:
            for (uint32_t i = 0; i + 1 < item.count; i += 2)
                into.addLine(from.points()[item.first + i], from.points()[item.first + i + 1], c);
            break;
        case ItemKind::box:
            into.addBox(from.boxes()[item.first], c);
            break;
        case ItemKind::label: {
            const ListLabel& label = from.labels()[item.first];
            into.addLabel(label, from.text(label), from.faces()[label.face], c);
            break;
        }
        case ItemKind::path: {
            const ListPath& path = from.paths()[item.first];
            const auto rings = std::span(from.rings()).subspan(path.firstRing, path.ringCount);
            uint32_t count = 0;
            for (const uint32_t ring : rings)
                count += ring;
            points.clear();
            for (uint32_t i = 0; i < count; ++i) {
                const ListPathPoint& p = from.pathPoints()[path.firstPoint + i];
                points.push_back({p.x, p.y});
            }
            into.addPath({points, rings, path.rule}, c);
            break;
        }
        }
    }
}

// The legend's row for input k: its name, drawn by the 7470A model at the
// top left of its page, a row lower for each input.
std::string legendRow(const std::string& input, size_t k) {
    std::string name = std::filesystem::path(input).filename().string();
    std::replace_if(
        name.begin(), name.end(), [](char c) { return std::iscntrl(uint8_t(c)); }, '?');
    return "IN;SP1;SI0.15,0.22;PA300," + std::to_string(7300 - 300 * int(k)) + ";LB" + name +
           "\x03;";
}

} // namespace

bool parseColours(const std::string& text, std::vector<Colour>& colours, std::string& why) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string word = text.substr(start, comma - start);
        start = comma + 1;
        if (const auto named = colourNames.find(word); named != colourNames.end()) {
            colours.push_back(named->second);
            continue;
        }
        const bool hex = word.size() == 7 && word[0] == '#' &&
                         std::all_of(word.begin() + 1, word.end(), ::isxdigit);
        if (!hex) {
            why = "--overlay-colours: " + word +
                  " is no colour (black, red, blue, green, magenta, cyan, grey, yellow or "
                  "#RRGGBB)";
            return false;
        }
        const unsigned long rgb = std::stoul(word.substr(1), nullptr, 16);
        // Red in the low byte, as the page keeps it.
        colours.push_back(Colour((rgb >> 16) & 0xFF) | Colour(rgb & 0xFF00) |
                          Colour((rgb & 0xFF) << 16));
    }
    return true;
}

int drawOverlay(const OverlayRequest& request) {
    RenderSetup setup = request.setup;
    setup.keepDisplayList = true;
    Renderer renderer(setup);
    Renderer legendRenderer({PlotterModel::hp7470a, Paper::letter, true});
    const auto fail = [](const std::string& text, int status) {
        std::fprintf(stderr, "%s: %s\n", programName, printable(text).c_str());
        return status;
    };
    // One colour an input, all its pens and its legend's row in it.
    const std::vector<Colour> inks = overlayInks(request.inputs.size(), request.colours);
    std::optional<DrawnPage> overlay;
    for (size_t k = 0; k < request.inputs.size(); ++k) {
        const std::string& input = request.inputs[k];
        std::vector<DrawnPage> pages, legend;
        std::string why;
        if (!drawPages(renderer, input, pages, why))
            return fail(input + ": " + why, inputUnreadable);
        // The last page with something drawn on it; a transcript of many
        // saved pages is said.
        const auto last = std::find_if(pages.rbegin(), pages.rend(),
                                       [](const DrawnPage& p) { return p.nothingDrawn.empty(); });
        if (last == pages.rend() || !last->list)
            return fail(input + ": nothing is drawn on it", blankPage);
        if (last->image.indexed())
            return fail(input + ": a printed page is dots, not a drawing: it is not overlaid",
                        inputUnreadable);
        if (pages.size() > 1)
            std::fprintf(stderr, "%s: %s: %zu pages; the last with a drawing is overlaid\n",
                         programName, printable(input).c_str(), pages.size());
        const auto colour = [ink = inks[k]](Colour) { return ink; };
        if (!overlay) { // the first input's page, its drawing in its colour
            overlay = *last;
            overlay->list.emplace();
            overlay->list->setPageSize(last->list->width(), last->list->height());
        }
        layInk(overlay->image, last->image, colour);
        addList(*overlay->list, *last->list, colour);
        if (request.legend && drawBytes(legendRenderer, legendRow(input, k), "", legend, why) &&
            !legend.empty() && legend.back().list) {
            layInk(overlay->image, legend.back().image, colour);
            addList(*overlay->list, *legend.back().list, colour);
        }
    }
    const PageView view{
        overlay->image, &*overlay->list, overlay->extent, request.setup.paper, {}, {}};
    const bool raster = request.format == "png" && request.scale == 1;
    const CopyFormat kind = request.format == "svg"   ? CopyFormat::svg
                            : request.format == "pdf" ? CopyFormat::pdf
                                                      : CopyFormat::png;
    std::string reason;
    const bool fromPixels =
        kind == CopyFormat::png && enlargedFromPixels(*view.list, request.scale);
    const auto write = [&](FILE* file) {
        if (raster) return writePng(file, view.image, PngCompression::fast);
        if (fromPixels) return writeEnlargedPixels(file, view.image, request.scale, reason);
        return writeCopy(
            file, *view.list,
            {kind, request.scale, kind == CopyFormat::png ? std::nullopt : trueSize(view)}, reason);
    };
    const bool written = request.output == "-"
                             ? write(stdout) && std::fflush(stdout) == 0
                             : writeFileAtomically(request.output, Durability::written, write);
    if (!written) {
        if (reason.empty()) reason = std::strerror(errno);
        return fail("cannot write " + request.output + ": " + reason, outputUnwritable);
    }
    if (fromPixels) fail(enlargedFromPixelsNote, rendered);
    return rendered;
}

} // namespace plotanix
