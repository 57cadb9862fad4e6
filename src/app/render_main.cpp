// plotanix-render: draws HP-GL files and plotter transcripts offline with
// the plotter's own reader, interpreter and page, so each picture is the one
// the plotter would have shown. Many inputs are drawn in parallel.

#include "app/render_batch.h"
#include "common/printable.h"
#include "output/png_writer.h"
#include "output/vector_copy.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace plotanix {

namespace {

constexpr const char* programName = "plotanix-render";
constexpr const char* usageLine = "usage: plotanix-render [OPTIONS] INPUT...\n";
constexpr const char* helpFooter =
    "INPUT is an HP-GL file, a plotter transcript (PLOTTER.TXT), or - for standard\n"
    "input (alone, with -o). Each input is drawn on a fresh 800 x 600 page and\n"
    "written in the chosen format: by default beside it, its extension replaced by\n"
    ".png (.svg, .pdf). In a transcript the plotter's own records are dropped (for\n"
    "the 7470a model, where that model logged them), NEW PAGE clears the page for\n"
    "what follows, and each SAVE PAGE #n writes the page as it stands with the\n"
    "number added (out.png -> out-00001.png); the unnumbered page is written when\n"
    "there is no SAVE PAGE marker, or when something was drawn after the last one.\n"
    "Render a transcript with the model (and paper) it was made with.\n"
    "\n"
    "Exit status: 0 every input rendered; 1 no page image could be made; 2 bad\n"
    "usage (nothing done); 3 an input could not be read; 4 an output could not be\n"
    "written; 128 + the signal's number when stopped by one before every input was\n"
    "begun. With several failures, the status of the first in the order given.";

struct Options {
    std::vector<std::string> inputs;
    std::string output;
    int workers = 0;
    bool plotterBytes = false;
    std::string model = "hp86b";
    std::string paper = "letter";
    std::string format = "png";
    int scale = 1;
};

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

int workersByDefault() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The one place an output's format is chosen: its file name extension, the
// writer, and whether pages keep their display list for it. The renderer's
// own pages need not be the plotter's bytes, only its pixels.
struct OutputFormat {
    std::string extension;
    PageWriter write;
    bool needsDisplayList = false;
};

OutputFormat chooseOutputFormat(const Options& options) {
    if (options.format == "png" && options.scale == 1) {
        const PngCompression compression =
            options.plotterBytes ? PngCompression::plotter : PngCompression::fast;
        // A render can be run again: no need to wait for the disk.
        return {".png", [compression](const PageView& page, const std::string& name, auto&) {
                    return savePng(page.image, name, Durability::written, compression) != 0;
                }};
    }
    const CopyFormat format = options.format == "svg"   ? CopyFormat::svg
                              : options.format == "pdf" ? CopyFormat::pdf
                                                        : CopyFormat::png;
    const int scale = options.scale;
    return {"." + options.format,
            [format, scale](const PageView& page, const std::string& name, std::string& reason) {
                if (page.list == nullptr) {
                    reason = "the drawing of the page was not kept";
                    return false;
                }
                return writePageCopy(*page.list, name, format, scale, reason, Durability::written);
            },
            true};
}

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string inFolder(const std::string& folder, const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Where each input's page goes. Refuses names that would lose a picture or
// an input: a page written over its own input, two pages onto one name.
std::vector<RenderJob> planJobs(const Options& options, const std::string& extension) {
    const auto& inputs = options.inputs;
    const bool several = inputs.size() > 1;
    if (several && std::find(inputs.begin(), inputs.end(), "-") != inputs.end()) {
        throw UsageError("standard input (-) can only be drawn alone");
    }
    if (!options.output.empty() && options.output == "-") {
        throw UsageError("-o must name a file or folder");
    }
    // With one input, -o may still name a folder to write into.
    const bool intoFolder = !options.output.empty() &&
                            (several || options.output.back() == '/' || isFolder(options.output));
    if (intoFolder && !isFolder(options.output)) {
        throw UsageError("the output folder " + options.output + " does not exist");
    }
    if (inputs[0] == "-" && options.output.empty()) {
        throw UsageError("reading standard input needs -o naming the output");
    }
    std::vector<RenderJob> jobs;
    std::map<std::string, std::string> taken; // output -> input
    for (const std::string& input : inputs) {
        std::string output = withExtension(input, extension);
        if (intoFolder) output = inFolder(options.output, output);
        if (!intoFolder && !options.output.empty()) output = options.output;
        const std::string key = std::filesystem::path(output).lexically_normal().string();
        if (std::find(inputs.begin(), inputs.end(), output) != inputs.end()) {
            throw UsageError(output + " would be written over an input; name the output");
        }
        if (!taken.emplace(key, input).second) {
            throw UsageError(taken[key] + " and " + input + " would both be written to " + output);
        }
        jobs.push_back({input, output});
    }
    return jobs;
}

void configure(CLI::App& app, Options& options) {
    app.description("Draws HP-GL files and plotter transcripts as the HP 7470A plotter would,\n"
                    "each as an 800 x 600 page: a PNG image, or an SVG or PDF drawing.");
    app.footer(helpFooter);
    app.add_option("INPUT", options.inputs, "the files to draw, or -")->required();
    app.add_option("-o,--output", options.output,
                   "the output file, or the folder to write into (with several inputs)");
    app.add_option("-j,--jobs", options.workers, "inputs drawn at once (default: one per core)")
        ->check(CLI::Range(1, 1024));
    app.add_flag("--plotter-bytes", options.plotterBytes,
                 "write exactly the bytes the plotter saves (slower to compress)");
    app.add_option("--model", options.model, "plotter model: hp86b (default) or 7470a")
        ->check(CLI::IsMember({"hp86b", "7470a"}));
    app.add_option("--paper", options.paper, "paper of the 7470a model: letter (default) or a4")
        ->check(CLI::IsMember({"letter", "a4"}));
    app.add_option("--format", options.format, "png (default), svg or pdf")
        ->check(CLI::IsMember({"png", "svg", "pdf"}));
    app.add_option("--scale", options.scale,
                   "PNG only: image pixels per page pixel, 1 (default) to 8; anti-aliased above 1")
        ->check(CLI::Range(1, 8));
    app.set_version_flag("-V,--version", PLOTANIX_VERSION);
}

std::string counted(int64_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

void printSummary(const BatchResult& result, double seconds) {
    if (result.notBegun > 0) {
        std::fprintf(stderr, "%s: stopped; %s not drawn\n", programName,
                     counted(result.notBegun, "file").c_str());
    }
    std::fprintf(stderr, "%s, %s written, %s (%lld ignored), %lld failed, %.2f s\n",
                 counted(result.files, "file").c_str(), counted(result.pages, "page").c_str(),
                 counted(result.instructions, "instruction").c_str(),
                 static_cast<long long>(result.ignored), static_cast<long long>(result.failed),
                 seconds);
}

std::atomic<int> stopSignal = 0;

void askToStop(int signal) {
    stopSignal = signal;
}

// Ctrl+C, a hang-up or kill finish the inputs begun (no file is left half
// written) and leave the rest; a second one ends the program at once.
void stopOnSignals() {
    struct sigaction action {};
    action.sa_handler = askToStop;
    action.sa_flags = SA_RESETHAND; // no SA_RESTART: a waiting read returns
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", programName, printable(text).c_str());
    std::fputs(usageLine, stderr);
    return badUsage;
}

int runProgram(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    CLI::App app{"", programName};
    Options options;
    configure(app, options);
    std::vector<RenderJob> jobs;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    if (options.format != "png" && options.scale != 1)
        return usageError("--scale applies to PNG only");
    if (options.plotterBytes && (options.format != "png" || options.scale != 1))
        return usageError("--plotter-bytes applies to PNG at scale 1 only");
    const OutputFormat format = chooseOutputFormat(options);
    try {
        jobs = planJobs(options, format.extension);
    } catch (const UsageError& e) {
        return usageError(e.what());
    }
    const RenderSetup setup{options.model == "7470a" ? PlotterModel::hp7470a : PlotterModel::hp86b,
                            options.paper == "a4" ? Paper::a4 : Paper::letter,
                            format.needsDisplayList};
    const BatchOptions batch{options.workers > 0 ? options.workers : workersByDefault(), setup,
                             format.write, ::isatty(STDERR_FILENO) == 1, &stopSignal};
    stopOnSignals();
    const BatchResult result = renderAll(jobs, batch);
    printSummary(result,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return result.status;
}

} // namespace

} // namespace plotanix

int main(int argc, char** argv) {
    return plotanix::runProgram(argc, argv);
}
