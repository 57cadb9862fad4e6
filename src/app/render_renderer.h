#pragma once
// One page and the plotter's core, made once and reused for any number of
// inputs: each input (an HP-GL file or a transcript) is drawn on a fresh
// white page exactly as the plotter would draw it. Not shared between
// threads: each worker has its own.

#include "page/page_image.h"
#include "session/plot_session.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace plotanix {

// The plotter a renderer draws as, and whether its pages keep the list of
// what is drawn on them (for vector and enlarged copies).
struct RenderSetup {
    PlotterModel model = PlotterModel::hp86b;
    Paper paper = Paper::letter;
    bool keepDisplayList = false;
};

// A page as it stands: its pixels, and what is drawn on it when kept.
struct PageView {
    const PageImage& image;
    const DisplayList* list = nullptr;
};

// A page to be written: the number of its SAVE PAGE marker, or none for the
// page as it stands at the end. False stops the rendering.
using PageSink = std::function<bool(const PageView& page, std::optional<int64_t> number)>;

struct RenderCounts {
    int64_t instructions = 0;
    int64_t ignored = 0;
    int64_t pages = 0;
};

class Renderer {
  public:
    explicit Renderer(const RenderSetup& setup = {});
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // Makes the page; false when it cannot be made. Once, before render.
    bool prepare();
    // Draws the input and hands each page to write, in order; false when
    // write refused a page (nothing after it is drawn). counts() tells what
    // this input held.
    bool render(std::string_view input, const PageSink& write);
    const RenderCounts& counts() const { return counts_; }

  private:
    struct Core;
    std::unique_ptr<Core> core_;
    RenderCounts counts_;
};

} // namespace plotanix
