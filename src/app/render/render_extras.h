#pragma once
// What the renderer does besides writing each input's pages: printing
// them through CUPS (--print), and drawing several inputs on one page
// (--overlay). Both draw with the renderer's own models, one input at a
// time.

#include "render_renderer.h"

#include <optional>
#include <string>
#include <vector>

namespace plotanix {

// An input's pages as drawn: each page with what is drawn on it.
struct DrawnPage {
    PageImage image;
    std::optional<DisplayList> list;
    std::optional<PageExtent> extent;
    std::string nothingDrawn;
};
// False with why in one line when the input cannot be read or drawn.
bool drawPages(Renderer& renderer, const std::string& input, std::vector<DrawnPage>& pages,
               std::string& why);
// The same for bytes in memory, named as the input (for its model's choice).
bool drawBytes(Renderer& renderer, std::string_view bytes, const std::string& name,
               std::vector<DrawnPage>& pages, std::string& why);

// Each input's pages with something drawn, as one job on the queue (empty:
// the default queue); one line each on standard error (the failures only
// when quiet). The exit status of the first failure, else 0.
int printInputs(const std::vector<std::string>& inputs, const std::string& queue,
                const RenderSetup& setup, bool quiet);

struct OverlayRequest {
    std::vector<std::string> inputs;
    std::string output; // a file, or - for standard output
    std::string format; // png, svg or pdf
    int scale = 1;      // PNG only
    RenderSetup setup;
    // The colour of each input after the first, all its pens in it; the
    // others take the palette's colours not taken (the first input black).
    std::vector<Colour> colours;
    bool legend = true;
};
// Parses --overlay-colours' list (names or #RRGGBB, by commas); why when
// it cannot.
bool parseColours(const std::string& text, std::vector<Colour>& colours, std::string& why);
// The exit status.
int drawOverlay(const OverlayRequest& request);

} // namespace plotanix
