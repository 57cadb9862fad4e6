#pragma once
// Drawing many inputs in parallel: a pool of workers, each with its own
// Renderer, takes the inputs in turn; failures are told one line each as
// they happen, with the progress on a terminal.

#include "app/render_renderer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plotanix {

// The exit status of a failed input; 0 when it rendered.
enum RenderStatus : int {
    rendered = 0,
    noPageImage = 1,
    badUsage = 2,
    inputUnreadable = 3,
    outputUnwritable = 4,
};

struct RenderJob {
    std::string input;  // "-" for standard input
    std::string output; // the page's file; saved pages get numbered names beside it
};

// Writes one page to a file; false when the file could not be written, with
// reason saying why (or errno telling, where it can, when reason is left
// empty). Leaves no partial file.
using PageWriter =
    std::function<bool(const PageView& page, const std::string& fileName, std::string& reason)>;

struct BatchOptions {
    int workers = 1;
    RenderSetup setup;
    PageWriter writePage;
    bool showProgress = false; // standard error is a terminal
    // Set (to the signal's number) when the user asks to stop: inputs not
    // yet begun are left, those begun are finished.
    const std::atomic<int>* stopSignal = nullptr;
};

struct BatchResult {
    int64_t files = 0;
    int64_t failed = 0;
    int64_t pages = 0;
    int64_t instructions = 0;
    int64_t ignored = 0;
    int64_t notBegun = 0;  // left when asked to stop
    int status = rendered; // that of the first failed input, in the order given
};

BatchResult renderAll(const std::vector<RenderJob>& jobs, const BatchOptions& options);

// dir/name.ext -> dir/name.png (with ".png" as extension); a leading dot
// names a hidden file, not an extension.
std::string withExtension(const std::string& path, const std::string& extension);
// out.png -> out-00123.png: the last five digits, as the plotter names pages.
std::string numberedName(const std::string& output, int64_t pageNumber);

} // namespace plotanix
