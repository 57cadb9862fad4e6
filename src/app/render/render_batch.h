#pragma once
// Drawing many inputs in parallel: a pool of workers, each with its own
// Renderer, takes the inputs in turn; failures and warnings are told one
// line each as they happen, with the progress on a terminal.

#include "models/models.h"
#include "render_renderer.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

// The name the renderer's messages begin with.
inline constexpr const char* programName = "plotanix-render";

// The exit status of a failed input; 0 when it rendered.
enum RenderStatus : int {
    rendered = 0,
    noPageImage = 1,
    badUsage = 2,
    inputUnreadable = 3,
    outputUnwritable = 4,
    blankPage = 5, // with --strict: a page with nothing drawn on it
};

// Why a printer's page has no enlarged copy: it is dots at their own size.
inline constexpr const char* printedPageAsPng =
    "a printed page is dots at its printer's resolution: it is not enlarged (leave out --scale)";

// No input is read past this: a larger one is refused, not cut short.
inline constexpr size_t maxInputBytes = size_t{256} << 20;

struct RenderJob {
    std::string input;  // "-" for standard input
    std::string output; // the page's file ("-": standard output)
    // The output is written into as it stands (standard output, a device, a
    // FIFO), never replaced, and takes one page. Otherwise it appears whole
    // or not at all, and a transcript's saved pages get numbered names
    // beside it.
    bool inPlace = false;
};

// Writes one page into an open file; false when it could not, with reason
// saying why (or errno telling, where it can, when reason is left empty).
using PageEncoder = std::function<bool(const PageView& page, FILE* file, std::string& reason)>;

struct BatchOptions {
    int workers = 1;
    RenderSetup setup;
    PageEncoder encode;
    // What to say of a page's copy, once an input (unless quiet): an
    // enlarged copy made from the page's pixels. Empty: nothing.
    std::function<std::string_view(const PageView& page)> note;
    bool showProgress = false; // standard error is a terminal
    bool quiet = false;        // no warning for a page with nothing drawn
    bool strict = false;       // a page with nothing drawn fails its input
    bool verbose = false;      // say which model drew each input, and why
    // PDF: an input's pages are gathered, and several make one document.
    bool pdf = false;
    // The folder every output goes into, if any: once it has gone, inputs
    // not yet begun are left.
    std::string outputFolder;
};

struct BatchResult {
    int64_t files = 0;
    int64_t failed = 0;
    int64_t pages = 0;
    int64_t instructions = 0;
    int64_t ignored = 0;
    int64_t notBegun = 0; // left when asked to stop or when the output folder went
    std::array<int64_t, std::size(modelNames)> drawnBy{}; // inputs drawn, by model
    int status = rendered; // that of the first failed input, in the order given
};

// Once a terminating signal has come (SignalWatch::ending()), inputs not yet
// begun are left and those begun are finished.
BatchResult renderAll(const std::vector<RenderJob>& jobs, const BatchOptions& options);

// dir/name.ext -> dir/name.png (with ".png" as extension); a leading dot
// names a hidden file, not an extension.
std::string withExtension(const std::string& path, const std::string& extension);
// The extension as withExtension sees it, with its dot ("" when none).
std::string extensionOf(const std::string& path);
// out.png -> out-00123.png: the last five digits, as the plotter names pages.
std::string numberedName(const std::string& output, int64_t pageNumber);

} // namespace plotanix
