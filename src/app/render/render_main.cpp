// plotanix-render: draws HP-GL files and plotter transcripts offline with
// the plotter's own reader, models and page, so each picture is the one
// the plotter would have shown. Many inputs are drawn in parallel.

#include "common/printable.h"
#include "logfile/transcript_format.h"
#include "models/models.h"
#include "output/direct_copy.h"
#include "output/enlarged_copy.h"
#include "output/png_writer.h"
#include "output/printed_copy.h"
#include "output/vector_copy.h"
#include "print/cups_print.h"
#include "render_batch.h"
#include "render_copies.h"
#include "render_extras.h"
#include "shell/signal_watch.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace plotanix {

namespace {

constexpr const char* usageLine = "usage: plotanix-render [OPTIONS] INPUT...\n";
constexpr const char* helpFooter =
    "INPUT is an HP-GL file, a plotter transcript (PLOTTER.TXT), or - for standard\n"
    "input (alone, with -o). A transcript is drawn by the model that made it (the one\n"
    "its first line names, else the HP-86B's), a file using HP-GL/2 (one of its\n"
    "own instructions, such as PE, PM or PS, or a PCL job around it) by an HP-GL/2\n"
    "device, any other file by an HP 7470A; --model forces one. Each input is drawn\n"
    "on a fresh page and written in the format -o's extension names (.png, .svg,\n"
    ".pdf), or --format's: by default beside it, its extension replaced. PNGs are\n"
    "800 x 600 pictures; the SVG and PDF pages of the 7470A and HP-GL/2 models are\n"
    "their paper (or the page size PS gave) at true size. -o - writes to standard\n"
    "output, and a device or FIFO is written into as it is.\n"
    "In a transcript the plotter's own records are dropped, NEW PAGE clears the page\n"
    "for what follows, and each SAVE PAGE #n writes the page as it stands with the\n"
    "number added (out.png -> out-00001.png); the unnumbered page is written when\n"
    "there is no SAVE PAGE marker, or when something was drawn after the last one.\n"
    "In a file, HP-GL/2's PG starts a new page, numbered the same way. A PDF holds\n"
    "all the pages of its input. A page with nothing drawn on it is written, with a\n"
    "warning saying why; a drawing off the page or in a corner of it, with one naming\n"
    "--fit.\n"
    "\n"
    "Exit status: 0 every input rendered; 1 no page image could be made; 2 bad\n"
    "usage (nothing done); 3 an input could not be read; 4 an output could not be\n"
    "written; 5 a page had nothing drawn (with --strict); 128 + the signal's number\n"
    "when stopped by one before every input was begun. With several failures, the\n"
    "status of the first in the order given.";

struct Options {
    std::vector<std::string> inputs;
    std::string output;
    int workers = 0;
    bool plotterBytes = false;
    std::string model = "auto";
    std::string paper = "letter";
    std::string format; // empty: from -o's extension, else png
    int scale = 1;
    bool quiet = false;
    bool strict = false;
    bool verbose = false;
    bool fit = false;
};

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

int workersByDefault() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Where the pages go.
enum class Target {
    beside,         // beside each input
    folder,         // into an existing folder
    file,           // into one file, replaced whole
    inPlace,        // into a device or FIFO as it stands
    standardOutput, // -o -
};

std::string lowercase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

Target targetOf(const Options& options) {
    const std::string& output = options.output;
    if (output.empty()) return Target::beside;
    if (output == "-") {
        if (options.inputs.size() > 1) throw UsageError("standard output (-o -) takes one input");
        return Target::standardOutput;
    }
    struct stat info {};
    const bool exists = ::stat(output.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) return Target::folder;
    const std::string extension = lowercase(extensionOf(output));
    const bool pageFile = extension == ".png" || extension == ".svg" || extension == ".pdf";
    if (options.inputs.size() > 1 && pageFile && output.back() != '/') {
        throw UsageError("-o " + output + " names one file, and " +
                         std::to_string(options.inputs.size()) +
                         " inputs give a page each; name a folder (-o " +
                         withExtension(output, "") + "/) or draw one input at a time");
    }
    if (options.inputs.size() > 1 || output.back() == '/') {
        throw UsageError(exists ? output + " is not a folder, and several inputs need one"
                                : "the output folder " + output + " does not exist");
    }
    return exists && !S_ISREG(info.st_mode) ? Target::inPlace : Target::file;
}

// The format: --format, else that named by the one output's extension, else PNG.
std::string chooseFormat(const Options& options, Target target) {
    const bool named = target == Target::file || target == Target::inPlace;
    const std::string extension = named ? lowercase(extensionOf(options.output)) : "";
    const bool known = extension == ".png" || extension == ".svg" || extension == ".pdf";
    if (!options.format.empty()) {
        if (known && extension != "." + options.format)
            throw UsageError("-o " + options.output + " contradicts --format " + options.format);
        return options.format;
    }
    if (known) return extension.substr(1);
    if (target == Target::file && !extension.empty()) {
        throw UsageError("the format of " + options.output +
                         " is not known: name it .png, .svg or .pdf, or give --format");
    }
    return "png";
}

// The one place an output's format is chosen: its writer, and whether pages
// keep their display list for it. The renderer's own pages need not be the
// plotter's bytes, only its pixels.
struct OutputFormat {
    std::string extension;
    PageEncoder encode;
    bool needsDisplayList = false;
    // SVG and PDF: pages' display lists spill into their copy's text.
    std::function<std::shared_ptr<ListSpill>()> spill = {};
    // An enlarged PNG: what is said of a page whose copy the encoder makes
    // from its pixels.
    std::function<std::string_view(const PageView&)> note = {};
};

OutputFormat outputFormat(const std::string& format, int scale, bool plotterBytes) {
    if (format == "png" && scale == 1) {
        const PngCompression compression =
            plotterBytes ? PngCompression::plotter : PngCompression::fast;
        return {".png", [compression](const PageView& page, FILE* file, auto&) {
                    return writePng(file, page.image, compression);
                }};
    }
    const CopyFormat kind = format == "svg"   ? CopyFormat::svg
                            : format == "pdf" ? CopyFormat::pdf
                                              : CopyFormat::png;
    return {"." + format,
            [kind, scale](const PageView& page, FILE* file, std::string& reason) {
                // A printed page with nothing on it is the blank page a plot's is.
                const bool dots = page.printed && printedPage(page.image);
                if (dots && kind != CopyFormat::png)
                    return writePrintedCopyTo(file, page.image, kind, reason);
                if (dots) {
                    reason = printedPageAsPng;
                    return false;
                }
                if (page.list == nullptr) {
                    reason = "the drawing of the page was not kept";
                    return false;
                }
                if (kind == CopyFormat::png && enlargedFromPixels(*page.list, scale))
                    return writeEnlargedPixels(file, page.image, scale, reason);
                const CopyOptions options{kind, scale,
                                          kind == CopyFormat::png ? std::nullopt : trueSize(page)};
                return writeCopy(file, *page.list, options, reason);
            },
            true,
            kind == CopyFormat::png ? nullptr : std::function([kind] { return copySpill(kind); }),
            [kind, scale](const PageView& page) {
                const bool fromPixels = kind == CopyFormat::png && !page.printed && page.list &&
                                        enlargedFromPixels(*page.list, scale);
                return std::string_view(fromPixels ? enlargedFromPixelsNote : "");
            }};
}

std::string inFolder(const std::string& folder, const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The absolute path, with the links of its existing part resolved.
std::string fullPath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path full = std::filesystem::weakly_canonical(path, error);
    return error ? std::filesystem::absolute(path, error).lexically_normal().string()
                 : full.string();
}

// The file a name stands for, whatever its spelling: its device and inode
// when it exists (hard links too), else its full path with links resolved.
std::string fileKey(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0)
        return "inode " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    return "path " + fullPath(path);
}

// Whether the file holds a SAVE PAGE marker, so that drawing it may write
// numbered pages. An unreadable file will fail anyway and writes none.
bool maySavePages(const std::string& input) {
    const int fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    std::string bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<size_t>(info.st_size) <= maxInputBytes) {
        bytes.resize(static_cast<size_t>(info.st_size));
        const ssize_t n = ::read(fd, bytes.data(), bytes.size());
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    ::close(fd);
    for (size_t at = bytes.find(transcript::recordStart); at != std::string::npos;
         at = bytes.find(transcript::recordStart, at + 1)) {
        const auto marker =
            transcript::markerAt(std::string_view(bytes).substr(at < 2 ? 0 : at - 2));
        if (marker && marker->savedPage) return true;
    }
    return false;
}

// The output whose numbered page the path would be (out-00001.png ->
// out.png), or "" when it is none.
std::string unnumbered(const std::string& path) {
    const size_t dot = path.size() - extensionOf(path).size();
    if (dot < 6 || path[dot - 6] != '-') return {};
    const bool digits = std::all_of(path.begin() + static_cast<ptrdiff_t>(dot) - 5,
                                    path.begin() + static_cast<ptrdiff_t>(dot),
                                    [](char c) { return c >= '0' && c <= '9'; });
    return digits ? path.substr(0, dot - 6) + path.substr(dot) : std::string();
}

// Where each input's page goes. Refuses names that would lose a picture or
// an input, compared as files, not as spellings: a page written over an
// input, two pages onto one file, a transcript's numbered pages onto another
// input or output.
std::vector<RenderJob> planJobs(const Options& options, Target target,
                                const std::string& extension) {
    const auto& inputs = options.inputs;
    if (inputs.size() > 1 && std::find(inputs.begin(), inputs.end(), "-") != inputs.end()) {
        throw UsageError("standard input (-) can only be drawn alone");
    }
    if (inputs[0] == "-" && target == Target::beside) {
        throw UsageError("reading standard input needs -o naming the output");
    }
    std::vector<RenderJob> jobs;
    std::map<std::string, std::string> inputKeys; // file -> input
    for (const std::string& input : inputs) {
        if (input != "-") inputKeys.emplace(fileKey(input), input);
    }
    std::map<std::string, std::string> taken; // output file -> input
    for (const std::string& input : inputs) {
        std::string output = options.output;
        if (target == Target::beside) output = withExtension(input, extension);
        if (target == Target::folder)
            output = inFolder(options.output, withExtension(input, extension));
        const bool inPlace = target == Target::inPlace || target == Target::standardOutput;
        jobs.push_back({input, output, inPlace});
        if (target == Target::standardOutput) break;
        const std::string key = fileKey(output);
        if (inputKeys.contains(key)) {
            throw UsageError(output + " would be written over an input; name the output");
        }
        if (!taken.emplace(key, input).second) {
            throw UsageError(taken[key] + " and " + input + " would both be written to " + output);
        }
    }
    // Numbered pages: only a transcript with a SAVE PAGE marker writes them.
    std::map<std::string, const RenderJob*> outputs; // full path -> its job
    for (const RenderJob& job : jobs) {
        if (!job.inPlace) outputs.emplace(fullPath(job.output), &job);
    }
    for (const RenderJob& job : jobs) {
        for (const bool input : {true, false}) {
            const std::string& name = input ? job.input : job.output;
            if ((input && name == "-") || (!input && job.inPlace)) continue;
            const auto owner = outputs.find(unnumbered(fullPath(name)));
            if (owner == outputs.end() || !maySavePages(owner->second->input)) continue;
            throw UsageError("the saved pages of " + owner->second->input + " (" +
                             numberedName(owner->second->output, 1) + ", ...) could overwrite " +
                             (input ? "the input " + name : job.input + "'s output"));
        }
    }
    return jobs;
}

void configure(CLI::App& app, Options& options) {
    app.description("Draws HP-GL files and plotter transcripts as the plotter would: a PNG\n"
                    "picture of its 800 x 600 page, or an SVG or PDF drawing.");
    app.footer(helpFooter);
    app.add_option("INPUT", options.inputs, "the files to draw, or -")->required();
    app.add_option("-o,--output", options.output,
                   "the output file (- for standard output), or the folder to write into");
    app.add_option("-j,--jobs", options.workers, "inputs drawn at once (default: one per core)")
        ->check(CLI::Range(1, 1024));
    app.add_flag("--plotter-bytes", options.plotterBytes,
                 "write exactly the bytes the plotter saves (slower to compress)");
    constexpr std::string_view modelHelp =
        "plotter model: auto (default: a transcript by hp86b, a file using HP-GL/2 "
        "by hpgl2, a PCL print by pcl, an Epson one by escp, other files by 7470a), "
        "hp86b, 7470a, hpgl2, pcl or escp";
    static_assert(modelHelp.ends_with(modelChoices));
    std::vector<std::string> models{"auto"};
    for (const ModelName& m : modelNames)
        models.emplace_back(m.text);
    app.add_option("--model", options.model, std::string(modelHelp))->check(CLI::IsMember(models));
    app.add_option("--paper", options.paper,
                   "paper of the 7470a and hpgl2 models: letter (default) or a4")
        ->check(CLI::IsMember({"letter", "a4"}));
    app.add_option("--format", options.format, "png, svg or pdf (default: -o's extension, or png)")
        ->check(CLI::IsMember({"png", "svg", "pdf"}));
    app.add_option("--scale", options.scale,
                   "PNG only: image pixels per page pixel, 1 (default) to 8; anti-aliased above 1")
        ->check(CLI::Range(1, 8));
    app.add_flag("--fit", options.fit,
                 "scale and centre the drawing on each page (HP-GL files; a transcript is drawn "
                 "where the plotter drew it)");
    app.add_flag("-q,--quiet", options.quiet, "no summary line, no warnings");
    app.add_flag("-v,--verbose", options.verbose, "say which model drew each input, and why")
        ->excludes("--quiet");
    app.add_flag("--strict", options.strict, "a page with nothing drawn fails its input");
    app.set_version_flag("-V,--version", PLOTANIX_VERSION);
}

std::string counted(int64_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// The models that drew the inputs: "7470a", or "7470a (2), hpgl2 (1)".
std::string modelsUsed(const BatchResult& result) {
    std::string used;
    const int64_t kinds = std::count_if(result.drawnBy.begin(), result.drawnBy.end(),
                                        [](int64_t count) { return count > 0; });
    for (size_t i = 0; i < result.drawnBy.size(); ++i) {
        if (result.drawnBy[i] == 0) continue;
        if (!used.empty()) used += ", ";
        used += modelName(static_cast<PlotterModel>(i));
        if (kinds > 1) used += " (" + std::to_string(result.drawnBy[i]) + ")";
    }
    return used;
}

void printSummary(const BatchResult& result, double seconds) {
    const std::string used = modelsUsed(result);
    std::fprintf(stderr, "%s, %s written, %s (%lld ignored), %lld failed, %.2f s%s\n",
                 counted(result.files, "file").c_str(), counted(result.pages, "page").c_str(),
                 counted(result.instructions, "instruction").c_str(),
                 static_cast<long long>(result.ignored), static_cast<long long>(result.failed),
                 seconds, used.empty() ? "" : ("; drawn by " + used).c_str());
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", programName, printable(text).c_str());
    std::fputs(usageLine, stderr);
    return badUsage;
}

// Printing and overlays: their options, and their runs apart from the
// batch's.
struct ExtraOptions {
    CLI::Option* print = nullptr;
    std::string queue;
    bool overlay = false;
    std::string colours;
    bool noLegend = false;
};

void configureExtras(CLI::App& app, ExtraOptions& extras) {
    extras.print =
        app.add_option("--print", extras.queue,
                       "print every page of every input through CUPS on QUEUE (none named: the "
                       "default queue), besides any -o output")
            ->type_name("[QUEUE]")
            ->expected(0, 1);
    app.add_flag("--overlay", extras.overlay,
                 "draw the inputs on one page (-o FILE), each wholly in a colour of its own, "
                 "with a legend naming them");
    app.add_option("--overlay-colours", extras.colours,
                   "with --overlay: the colour of each input after the first (black, red, "
                   "blue, green, magenta, cyan, grey, yellow or #RRGGBB, by commas); by default "
                   "the inputs take that list's colours in turn, the first black")
        ->type_name("LIST");
    app.add_flag("--no-legend", extras.noLegend, "with --overlay: no legend");
}

RenderSetup setupOf(const Options& options, bool keepList) {
    return {modelNamed(options.model), options.paper == "a4" ? Paper::a4 : Paper::letter, keepList,
            options.fit, options.scale};
}

// --overlay: one page of every input, written to -o.
int runOverlay(const Options& options, const ExtraOptions& extras) {
    if (options.inputs.size() < 2) throw UsageError("--overlay draws two inputs or more");
    if (options.output.empty() ||
        (options.output != "-" &&
         (options.output.back() == '/' || std::filesystem::is_directory(options.output))))
        throw UsageError("--overlay writes one file: name it with -o");
    if (std::find(options.inputs.begin(), options.inputs.end(), "-") != options.inputs.end())
        throw UsageError("--overlay takes files, not standard input");
    OverlayRequest request;
    request.inputs = options.inputs;
    request.output = options.output;
    Options one = options;
    one.inputs.resize(1);
    request.format =
        chooseFormat(one, options.output == "-" ? Target::standardOutput : Target::file);
    if (request.format != "png" && options.scale != 1)
        throw UsageError("--scale applies to PNG only");
    request.scale = options.scale;
    request.setup = setupOf(options, true);
    request.legend = !extras.noLegend;
    std::string why;
    if (!extras.colours.empty() && !parseColours(extras.colours, request.colours, why))
        throw UsageError(why);
    return drawOverlay(request);
}

int runProgram(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    CLI::App app{"", programName};
    Options options;
    configure(app, options);
    ExtraOptions extras;
    configureExtras(app, extras);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    // --print's value, when it is no queue's name but an input's.
    if (extras.print->count() != 0 && !extras.queue.empty() &&
        (!queueNameProblem(extras.queue).empty() || std::filesystem::exists(extras.queue))) {
        options.inputs.insert(options.inputs.begin(), extras.queue);
        extras.queue.clear();
    }
    const bool printing = extras.print->count() != 0;
    try {
        if (extras.overlay) return runOverlay(options, extras);
        if (!extras.colours.empty() || extras.noLegend)
            throw UsageError("--overlay-colours and --no-legend go with --overlay");
        if (printing &&
            std::find(options.inputs.begin(), options.inputs.end(), "-") != options.inputs.end())
            throw UsageError("--print takes files, not standard input");
    } catch (const UsageError& e) {
        return usageError(e.what());
    }
    // Printed only, unless -o names where the pages are written too.
    if (printing && options.output.empty())
        return printInputs(options.inputs, extras.queue, setupOf(options, true), options.quiet);
    std::vector<RenderJob> jobs;
    OutputFormat format;
    try {
        const Target target = targetOf(options);
        const std::string chosen = chooseFormat(options, target);
        if (chosen != "png" && options.scale != 1) throw UsageError("--scale applies to PNG only");
        if (options.plotterBytes && (chosen != "png" || options.scale != 1))
            throw UsageError("--plotter-bytes applies to PNG at scale 1 only");
        format = outputFormat(chosen, options.scale, options.plotterBytes);
        jobs = planJobs(options, target, format.extension);
    } catch (const UsageError& e) {
        return usageError(e.what());
    }
    BatchOptions batch;
    batch.workers = options.workers > 0 ? options.workers : workersByDefault();
    batch.setup = setupOf(options, format.needsDisplayList);
    batch.setup.spill = format.spill;
    batch.encode = format.encode;
    batch.note = format.note;
    // The progress line is for a terminal watching many inputs, and never
    // shares it with a page written to standard output.
    batch.showProgress = !options.quiet && jobs.size() > 1 && ::isatty(STDERR_FILENO) == 1;
    batch.verbose = options.verbose;
    batch.pdf = format.extension == ".pdf";
    batch.quiet = options.quiet;
    batch.strict = options.strict;
    if (options.inputs.size() > 1 && !options.output.empty()) batch.outputFolder = options.output;
    // Ctrl+C, Ctrl+\, a hang-up or kill stop the inputs being drawn (their
    // pages not written; no file is left half written) and leave the rest;
    // a read or write waiting on a pipe ends, and a second signal ends the
    // program at once. A closed pipe
    // on standard output is a failed write, told as one.
    const SignalWatch signals({}, SignalWatch::BlockedCalls::cutShort);
    const BatchResult result = renderAll(jobs, batch);
    if (result.notBegun > 0) {
        std::fprintf(stderr, "%s: stopped; %s not drawn\n", programName,
                     counted(result.notBegun, "file").c_str());
    }
    if (!options.quiet) {
        printSummary(
            result,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    if (printing && result.notBegun == 0) {
        const int printed =
            printInputs(options.inputs, extras.queue, setupOf(options, true), options.quiet);
        if (result.status == rendered) return printed;
    }
    return result.status;
}

} // namespace

} // namespace plotanix

int main(int argc, char** argv) {
    // Each input's page image, encoder buffers and display list are freed
    // and made again for the next: kept in the heap rather than mapped
    // afresh, their pages are touched once per worker, not once per input.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    return plotanix::runProgram(argc, argv);
}
