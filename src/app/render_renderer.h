#pragma once
// One page and the plotter's core, made once and reused for any number of
// inputs: each input (an HP-GL file or a transcript) is drawn on a fresh
// white page exactly as the plotter would draw it. Not shared between
// threads: each worker has its own.

#include "page/page_image.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace plotanix {

// A page to be written: the number of its SAVE PAGE marker, or none for the
// page as it stands at the end. False stops the rendering.
using PageSink = std::function<bool(const PageImage& page, std::optional<int64_t> number)>;

struct RenderCounts {
    int64_t instructions = 0;
    int64_t ignored = 0;
    int64_t pages = 0;
};

class Renderer {
  public:
    Renderer();
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
